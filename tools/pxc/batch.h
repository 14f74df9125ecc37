// Running one job per file on worker threads, with a progress bar on a
// terminal, a line per failure and a closing summary.
#ifndef PXC_BATCH_H
#define PXC_BATCH_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common.h"

namespace pxc {

// A one-line bar on stderr, redrawn at most every 100 ms. Lines printed
// through Print appear above it. Thread-safe.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Clear(); }
    void Update(uint64_t done, uint64_t total, const char *unit);
    void Print(const std::string &line);
    void Clear();

private:
    void Draw(uint64_t done, uint64_t total, const char *unit);

    bool enabled_;
    bool shown_ = false;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_{};
};

struct JobResult {
    uint64_t pixels = 0;
    std::vector<std::string> warnings;
};

// One file's work. It reports rows through `rows` (for a progress bar of a
// single large picture) and throws FileError on failure.
using Job = std::function<JobResult(size_t index, const RowProgress &rows)>;

struct BatchOptions {
    unsigned threads = 1;
    bool progress = false; // draw the bar (stderr is a terminal)
    bool quiet = false;    // no summary
    const char *verb = "decoded";
};

struct BatchTotals {
    size_t done = 0;
    size_t failed = 0;
    uint64_t pixels = 0;
    double seconds = 0;
};

// Runs job(i) for every i below names.size(). Prints "pxc: NAME: reason"
// for each failure and "pxc: warning: NAME: ..." for each warning, then
// the summary. Jobs that were not started when Ctrl-C came count as failed.
BatchTotals RunBatch(const std::vector<std::string> &names, const BatchOptions &options, const Job &job);

std::string SummaryLine(const char *verb, const BatchTotals &totals);

} // namespace pxc

#endif
