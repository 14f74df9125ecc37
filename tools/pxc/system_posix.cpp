// The operating-system services of system.h on POSIX systems.
#include "system.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "common.h"
#include "plugin/pxcm.h"

namespace pxc {

// ---------------------------------------------------------------- stop

namespace {

std::atomic<int> g_stop_signal{0};

void OnStopSignal(int signal_number) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal_number);
    g_cancel.store(true);
}

std::string ErrnoText(int e) { return strerror(e); }

} // namespace

void InstallStopHandlers() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read waiting on a pipe returns, and the stop is seen.
    // SA_RESETHAND: the second signal finds the default action, which ends
    // the program.
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

bool StopRequested() { return g_cancel.load(std::memory_order_relaxed); }
int StopSignal() { return g_stop_signal.load(); }
void SetStopRequest(int signal_number) {
    g_stop_signal.store(signal_number);
    g_cancel.store(signal_number != 0);
}
int StopExitStatus() { return 128 + (StopSignal() != 0 ? StopSignal() : SIGINT); }

// ---------------------------------------------------------------- command line

void PrepareStandardStreams() {}

std::vector<std::string> ProgramArguments(int argc, char **argv) { return std::vector<std::string>(argv, argv + argc); }

// The shell has expanded the patterns already.
std::vector<std::string> ExpandWildcards(const std::string &name) { return {name}; }

// ---------------------------------------------------------------- terminal

bool IsTerminal(StandardStream stream) { return isatty(static_cast<int>(stream)) == 1; }

unsigned UsableProcessors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

int TerminalColumns() {
    if (!isatty(STDERR_FILENO)) return 0;
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char *columns = getenv("COLUMNS")) {
        const int n = atoi(columns);
        if (n > 0) return n;
    }
    return 80;
}

void WriteText(StandardStream stream, const std::string &text) {
    fwrite(text.data(), 1, text.size(), stream == STANDARD_OUTPUT ? stdout : stderr);
}

// ---------------------------------------------------------------- input

NodeKind KindOf(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? NodeKind::MISSING : NodeKind::UNREADABLE;
    if (S_ISREG(st.st_mode)) return NodeKind::REGULAR;
    if (S_ISDIR(st.st_mode)) return NodeKind::DIRECTORY;
    return NodeKind::OTHER;
}

MappedFile::MappedFile(const std::string &path) {
    // O_NONBLOCK: opening a FIFO without a writer returns at once; the
    // node's type is checked before anything is read.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw FileError("cannot open: " + ErrnoText(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        close(fd);
        throw FileError("cannot read: " + ErrnoText(e));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        throw FileError(S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file");
    }
    handle_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
    if (size_ > 0 && size_ <= SIZE_MAX) {
        void *p = mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) data_ = static_cast<const uint8_t *>(p);
    }
}

void MappedFile::Close() {
    if (data_ != nullptr) munmap(const_cast<uint8_t *>(data_), static_cast<size_t>(size_));
    if (handle_ >= 0) close(static_cast<int>(handle_));
    data_ = nullptr;
    handle_ = -1;
    size_ = 0;
}

size_t MappedFile::Read(uint64_t offset, void *dest, size_t n) const {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(static_cast<int>(handle_), static_cast<uint8_t *>(dest) + done, n - done,
                                  static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR && !StopRequested()) continue;
        if (got < 0) throw FileError("cannot read: " + ErrnoText(errno));
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void MappedFile::Forget(uint64_t offset, uint64_t length) const {
    if (data_ == nullptr || offset >= size_) return;
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t end = length > size_ - offset ? size_ : offset + length;
    const uint64_t first = (offset + page - 1) / page * page;
    end = end / page * page;
    if (end > first)
        madvise(const_cast<uint8_t *>(data_) + first, static_cast<size_t>(end - first), MADV_DONTNEED);
}

size_t ReadStandardInput(void *dest, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = read(STDIN_FILENO, static_cast<uint8_t *>(dest) + done, n - done);
        if (got < 0 && errno == EINTR) {
            if (StopRequested()) break;
            continue;
        }
        if (got < 0) throw FileError("cannot read: " + ErrnoText(errno));
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

// ---------------------------------------------------------------- output

OutputPlace PlaceOf(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return {OutputKind::NEW, path};
        throw FileError("cannot write " + path + ": " + ErrnoText(errno));
    }
    std::string target = path;
    if (S_ISLNK(st.st_mode)) {
        // Followed: whatever the link points to is written, the link stays.
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) == nullptr || stat(resolved, &st) != 0)
            throw FileError("output " + path + " is a symbolic link to nothing");
        target = resolved;
    }
    if (S_ISREG(st.st_mode)) return {OutputKind::EXISTING, target};
    if (S_ISDIR(st.st_mode)) throw FileError("output " + path + " is a folder");
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return {OutputKind::STREAM, target};
    throw FileError("output " + path + " is neither a file nor a character device nor a FIFO");
}

OutputHandle CreateTemporary(const std::string &folder, std::string *temp_path) {
    // A short name, so that any legal output name fits beside it.
    std::string name = (folder.empty() ? std::string(".") : folder) + "/.pxc-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw FileError("cannot create a file in " + (folder.empty() ? std::string(".") : folder) + ": " +
                                ErrnoText(errno));
    // mkstemp makes the file private; give it the usual mode.
    static const mode_t mask = [] {
        const mode_t m = umask(022);
        umask(m);
        return m;
    }();
    fchmod(fd, 0666 & ~mask);
    *temp_path = name;
    return fd;
}

OutputHandle OpenStream(const std::string &target) {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
    const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO) throw FileError("output " + target + " is a FIFO that nobody reads");
        throw FileError("cannot write " + target + ": " + ErrnoText(errno));
    }
    if (isatty(fd)) {
        close(fd);
        throw FileError("output " + target + " is a terminal");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

OutputHandle StandardOutputHandle() { return STDOUT_FILENO; }

void WriteAll(OutputHandle handle, const void *data, size_t size, const std::string &what) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const ssize_t n = write(static_cast<int>(handle), p, size);
        if (n < 0 && errno == EINTR) {
            if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
            continue;
        }
        if (n < 0) throw FileError("cannot write " + what + ": " + ErrnoText(errno));
        p += n;
        size -= static_cast<size_t>(n);
    }
}

bool CloseHandle(OutputHandle handle) {
    if (handle == STDOUT_FILENO) return true;
    return close(static_cast<int>(handle)) == 0;
}

void PublishTemporary(const std::string &temp_path, const std::string &target, bool replace) {
    if (replace) {
        // Only a regular file is replaced: a node that took the name since
        // it was checked is left as it is.
        struct stat st;
        if (lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            throw FileError("output " + target + " is no longer a regular file");
        if (rename(temp_path.c_str(), target.c_str()) != 0)
            throw FileError("cannot create " + target + ": " + ErrnoText(errno));
        return;
    }
    // A hard link fails when the name is taken, so a file that appeared
    // meanwhile is kept.
    if (link(temp_path.c_str(), target.c_str()) != 0) {
        const int e = errno;
        if (e == EEXIST) throw FileError("output " + target + " exists (use --force to replace it)");
        if (e != EPERM && e != ENOTSUP && e != EOPNOTSUPP)
            throw FileError("cannot create " + target + ": " + ErrnoText(e));
        // No hard links on this file system: check, then rename.
        struct stat st;
        if (lstat(target.c_str(), &st) == 0) throw FileError("output " + target + " exists (use --force to replace it)");
        if (rename(temp_path.c_str(), target.c_str()) != 0)
            throw FileError("cannot create " + target + ": " + ErrnoText(errno));
        return;
    }
    unlink(temp_path.c_str());
}

void RemoveFile(const std::string &path) { unlink(path.c_str()); }

std::string LastErrorText() { return ErrnoText(errno); }

// ---------------------------------------------------------------- memory

namespace {

// The sanitizers see overruns only in blocks of the C heap: there every
// block comes from it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool PAGED_BLOCKS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool PAGED_BLOCKS = false;
#else
constexpr bool PAGED_BLOCKS = true;
#endif
#else
constexpr bool PAGED_BLOCKS = true;
#endif

bool Paged(size_t size) { return PAGED_BLOCKS && size >= LARGE_PAGE; }

// The size of a paged block: whole large pages.
size_t PagedSize(size_t size) { return (size + (LARGE_PAGE - 1)) & ~(LARGE_PAGE - 1); }

} // namespace

void *AllocateLarge(size_t size) {
    if (!Paged(size)) return malloc(size == 0 ? 1 : size);
    if (size > SIZE_MAX - 2 * LARGE_PAGE) return nullptr;
    const size_t paged = PagedSize(size);
    // A large page more than needed, and the parts before and after an
    // aligned run given back.
    void *p = mmap(nullptr, paged + LARGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto *start = static_cast<uint8_t *>(p);
    const uintptr_t address = reinterpret_cast<uintptr_t>(start);
    uint8_t *block = start + ((LARGE_PAGE - address % LARGE_PAGE) % LARGE_PAGE);
    if (block > start) munmap(start, static_cast<size_t>(block - start));
    uint8_t *end = block + paged;
    if (start + paged + LARGE_PAGE > end) munmap(end, static_cast<size_t>(start + paged + LARGE_PAGE - end));
#ifdef MADV_HUGEPAGE
    madvise(block, paged, MADV_HUGEPAGE); // a wish: without such pages the block works all the same
#endif
    return block;
}

void FreeLarge(void *block, size_t size) {
    if (block == nullptr) return;
    if (!Paged(size)) {
        free(block);
        return;
    }
    munmap(block, PagedSize(size));
}

} // namespace pxc
