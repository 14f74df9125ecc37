#include "batch.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <thread>

#include "common.h"
#include "images.h"
#include "plugin/pxcm.h"

namespace pxc {

namespace {

std::string Duration(double seconds) {
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        snprintf(text, sizeof text, "%lluh%02llum", s / 3600, s / 60 % 60);
    } else {
        snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
    }
    return text;
}

} // namespace

std::string ProgressLine(int columns, double share, const std::string &count, double eta,
                         const std::string &name) {
    if (columns < 2) return "";
    const size_t room = static_cast<size_t>(columns - 1);
    if (share < 0) share = 0;
    if (share > 1) share = 1;
    char percent[8];
    snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(share * 100));
    std::string tail = std::string(percent) + " " + count;
    if (eta >= 0) tail += "  " + Duration(eta) + " left";
    if (tail.size() >= room) return tail.substr(0, room);
    // The text first, then up to 16 characters of the name, then the bar
    // (10 to 30 cells), then the rest of the name.
    const size_t BAR_MIN = 10, BAR_MAX = 30, NAME_MIN = 16;
    const size_t name_first = name.empty() ? 0 : 2 + std::min(name.size(), NAME_MIN);
    size_t bar = 0;
    if (room >= tail.size() + name_first + BAR_MIN + 3) bar = std::min(BAR_MAX, room - tail.size() - name_first - 3);
    std::string line;
    if (bar > 0) {
        line.assign(1, '[');
        line.append(static_cast<size_t>(share * static_cast<double>(bar)), '#');
        line.resize(1 + bar, '.');
        line.append("] ");
    }
    line += tail;
    if (!name.empty() && line.size() + 2 + 4 <= room) {
        const size_t left = room - line.size() - 2;
        // A long name keeps its end, which tells files apart.
        line.append(2, ' ');
        if (name.size() <= left) {
            line.append(name);
        } else {
            line.append("...");
            line.append(name, name.size() - (left - 3), std::string::npos);
        }
    }
    return line;
}

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

void ProgressBar::Update(uint64_t done, uint64_t total, const char *unit, const std::string &name) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double eta = share > 0.01 && elapsed > 1.0 ? elapsed * (1 - share) / share : -1;
    const std::string count = std::string(unit) + " " + std::to_string(done) + "/" + std::to_string(total);
    const std::string line = ProgressLine(TerminalColumns(), share, count, eta, name);
    WriteText(STANDARD_ERROR, "\r" + line + "\033[K");
    fflush(stderr);
    shown_ = true;
}

void ProgressBar::Print(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) WriteText(STANDARD_ERROR, "\r\033[K");
    shown_ = false;
    WriteText(STANDARD_ERROR, line + "\n");
    fflush(stderr);
    last_ = {}; // redraw the bar at the next update
}

void ProgressBar::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) {
        WriteText(STANDARD_ERROR, "\r\033[K");
        fflush(stderr);
    }
    shown_ = false;
}

std::string SummaryLine(const BatchOptions &options, const BatchTotals &t) {
    char text[400];
    int n = snprintf(text, sizeof text, "%s %zu file%s, %zu failed", options.verb, t.done, t.done == 1 ? "" : "s",
                     t.failed);
    if (t.skipped > 0) n += snprintf(text + n, sizeof text - n, ", %zu skipped (output exists)", t.skipped);
    if (options.sizes && t.pixels > 0 && t.bytes_in > 0) {
        n += snprintf(text + n, sizeof text - n, ": %llu bytes in, %llu bytes out (%.1f%%), %.2f bits per pixel",
                      static_cast<unsigned long long>(t.bytes_in), static_cast<unsigned long long>(t.bytes_out),
                      100.0 * static_cast<double>(t.bytes_out) / static_cast<double>(t.bytes_in),
                      8.0 * static_cast<double>(t.bytes_out) / static_cast<double>(t.pixels));
    }
    snprintf(text + n, sizeof text - n, "; %.1f Mpixel in %.2f s", static_cast<double>(t.pixels) / 1e6, t.seconds);
    return text;
}

namespace {
// The files of the batch under way that no worker has taken yet.
std::atomic<size_t> g_unstarted{0};
} // namespace

bool FilesWaiting() { return g_unstarted.load() != 0; }

BatchTotals RunBatch(const std::vector<std::string> &names, const BatchOptions &options, const Job &job) {
    const auto start = std::chrono::steady_clock::now();
    const size_t count = names.size();
    ProgressBar bar(options.progress);
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::mutex totals_mutex;
    BatchTotals totals;
    std::string current; // the file last started, for the bar

    // A single file shows its rows; a batch shows its files.
    const bool by_rows = count == 1;
    unsigned threads = options.threads == 0 ? 1 : options.threads;
    if (threads > count) threads = static_cast<unsigned>(count);
    // On several threads the largest files go first, so that none of them
    // is left to run alone at the end while the other threads wait.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t{0});
    if (threads > 1) {
        std::vector<uintmax_t> sizes(count, 0);
        for (size_t i = 0; i < count; i++) {
            std::error_code error;
            if (names[i] != "-" && std::filesystem::is_regular_file(names[i], error)) {
                const uintmax_t size = std::filesystem::file_size(names[i], error);
                if (!error) sizes[i] = size;
            }
        }
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
    }
    auto worker = [&]() {
        const ThreadBuffers buffers;
        for (;;) {
            if (StopRequested()) return;
            const size_t slot = next.fetch_add(1);
            if (slot >= count) return;
            g_unstarted.fetch_sub(1);
            const size_t i = order[slot];
            {
                std::lock_guard<std::mutex> lock(totals_mutex);
                current = names[i];
            }
            const RowProgress rows = [&](const char *what, uint64_t done, uint64_t total) {
                if (by_rows) bar.Update(done, total, what, names[i]);
            };
            if (!by_rows) {
                std::string name;
                {
                    std::lock_guard<std::mutex> lock(totals_mutex);
                    name = current;
                }
                bar.Update(finished.load(), count, "files", name);
            }
            bool ok = false;
            JobResult result;
            std::string error;
            try {
                result = job(i, rows);
                ok = true;
            } catch (const FileError &e) {
                error = e.what();
            } catch (const std::bad_alloc &) {
                error = "out of memory";
            }
            if (!ok && StopRequested()) return; // stopped: no line per file
            for (const std::string &w : result.warnings) bar.Print("pxc: warning: " + names[i] + ": " + w);
            if (options.verbose)
                for (const std::string &note : result.notes) bar.Print("pxc: " + names[i] + ": " + note);
            if (!ok) bar.Print("pxc: " + names[i] + ": " + error);
            {
                std::lock_guard<std::mutex> lock(totals_mutex);
                if (!ok) {
                    totals.failed++;
                } else if (result.skipped) {
                    totals.skipped++;
                } else {
                    totals.done++;
                }
                totals.pixels += result.pixels;
                totals.bytes_in += result.bytes_in;
                totals.bytes_out += result.bytes_out;
                totals.outputs += result.outputs;
            }
            const size_t n = finished.fetch_add(1) + 1;
            if (!by_rows) bar.Update(n, count, "files", names[i]);
        }
    };

    g_unstarted.store(count);
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; t++) pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool) t.join();
    g_unstarted.store(0); // after a stop, the files never started
    bar.Clear();

    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    totals.stopped = StopRequested();
    if (!totals.stopped && options.summary && !options.quiet)
        WriteText(STANDARD_ERROR, SummaryLine(options, totals) + "\n");
    return totals;
}

} // namespace pxc
