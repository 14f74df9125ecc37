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

// The bar's line for a terminal `columns` wide: never longer than
// columns - 1, so that it cannot wrap. `share` from 0 to 1; `eta` in
// seconds, negative when not known yet.
std::string ProgressLine(int columns, double share, const std::string &count, double eta,
                         const std::string &name);

// A one-line bar on stderr, redrawn in place at most every 100 ms, as wide
// as the terminal: the share done, the count, an estimate of the time
// left and the file at hand. Lines printed through Print appear above it.
// Thread-safe; does nothing when disabled.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled);
    ~ProgressBar() { Clear(); }
    void Update(uint64_t done, uint64_t total, const char *unit, const std::string &name);
    void Print(const std::string &line);
    void Clear();

private:
    bool enabled_;
    bool shown_ = false;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
};

struct JobResult {
    uint64_t pixels = 0;
    uint64_t bytes_in = 0;  // encode: the input files' sizes
    uint64_t bytes_out = 0; // encode: the outputs' sizes
    uint64_t outputs = 0;   // files written
    bool skipped = false;   // the output existed (--skip-existing)
    std::vector<std::string> warnings;
    std::vector<std::string> notes; // shown with -v
};

// One file's work. It reports rows through `rows` (for a progress bar of a
// single large picture) and throws FileError on failure.
using Job = std::function<JobResult(size_t index, const RowProgress &rows)>;

struct BatchOptions {
    unsigned threads = 1;
    bool progress = false; // draw the bar (stderr is a terminal)
    bool quiet = false;    // no summary
    bool verbose = false;  // the jobs' notes
    const char *verb = "decoded";
    bool summary = true;
    bool sizes = false; // the summary gives the bytes in and out (encode)
};

struct BatchTotals {
    size_t done = 0;
    size_t failed = 0;
    size_t skipped = 0;
    uint64_t pixels = 0;
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
    uint64_t outputs = 0;
    double seconds = 0;
    bool stopped = false; // a stop was asked for; nothing more was started
};

// Runs job(i) for every i below names.size(). Prints "pxc: NAME: reason"
// for each failure and "pxc: warning: NAME: ..." for each warning, then
// the summary. After a stop request no job is started, the jobs under way
// end without a line each, and there is no summary.
BatchTotals RunBatch(const std::vector<std::string> &names, const BatchOptions &options, const Job &job);

std::string SummaryLine(const BatchOptions &options, const BatchTotals &totals);

// Whether the batch under way has files that no worker has started yet:
// a job then leaves the other cores to them rather than take one more
// thread for itself. False outside a batch.
bool FilesWaiting();

} // namespace pxc

#endif
