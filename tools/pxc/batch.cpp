#include "batch.h"

#include <stdio.h>

#include <thread>

#include "common.h"
#include "plugin/pxcm.h"

namespace pxc {

void ProgressBar::Draw(uint64_t done, uint64_t total, const char *unit) {
    constexpr int WIDTH = 30;
    const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const int filled = static_cast<int>(share * WIDTH);
    char bar[WIDTH + 1];
    for (int i = 0; i < WIDTH; i++) bar[i] = i < filled ? '#' : '.';
    bar[WIDTH] = '\0';
    fprintf(stderr, "\r[%s] %3d%%  %s %llu/%llu\033[K", bar, static_cast<int>(share * 100), unit,
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    fflush(stderr);
    shown_ = true;
}

void ProgressBar::Update(uint64_t done, uint64_t total, const char *unit) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    Draw(done, total, unit);
}

void ProgressBar::Print(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) fputs("\r\033[K", stderr);
    shown_ = false;
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
    last_ = {}; // redraw the bar at the next update
}

void ProgressBar::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
    }
    shown_ = false;
}

std::string SummaryLine(const char *verb, const BatchTotals &t) {
    char text[160];
    snprintf(text, sizeof text, "%s %zu file%s, %zu failed, %.1f Mpixel in %.2f s", verb, t.done,
             t.done == 1 ? "" : "s", t.failed, static_cast<double>(t.pixels) / 1e6, t.seconds);
    return text;
}

BatchTotals RunBatch(const std::vector<std::string> &names, const BatchOptions &options, const Job &job) {
    const auto start = std::chrono::steady_clock::now();
    const size_t count = names.size();
    ProgressBar bar(options.progress);
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::mutex totals_mutex;
    BatchTotals totals;

    // A single picture shows its rows; a batch shows its files.
    const bool by_rows = count == 1;
    const RowProgress row_progress = [&](const char *what, uint64_t done, uint64_t total) {
        if (by_rows) bar.Update(done, total, what);
    };

    auto worker = [&]() {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= count) return;
            bool ok = false;
            JobResult result;
            std::string error;
            if (g_cancel.load()) {
                error = ResultMessage(ERR_ABORTED);
            } else {
                try {
                    result = job(i, row_progress);
                    ok = true;
                } catch (const FileError &e) {
                    error = e.what();
                } catch (const std::bad_alloc &) {
                    error = "out of memory";
                }
            }
            for (const std::string &w : result.warnings) bar.Print("pxc: warning: " + names[i] + ": " + w);
            if (!ok) bar.Print("pxc: " + names[i] + ": " + error);
            {
                std::lock_guard<std::mutex> lock(totals_mutex);
                if (ok) {
                    totals.done++;
                    totals.pixels += result.pixels;
                } else {
                    totals.failed++;
                }
            }
            const size_t n = finished.fetch_add(1) + 1;
            if (!by_rows) bar.Update(n, count, "files");
        }
    };

    unsigned threads = options.threads == 0 ? 1 : options.threads;
    if (threads > count) threads = static_cast<unsigned>(count);
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; t++) pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool) t.join();
    bar.Clear();

    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!options.quiet) fprintf(stderr, "%s\n", SummaryLine(options.verb, totals).c_str());
    return totals;
}

} // namespace pxc
