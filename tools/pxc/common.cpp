#include "common.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "format/format.h"
#include "plugin/pxcm.h"

namespace pxc {

std::atomic<bool> g_cancel{false};

namespace {

void OnInterrupt(int) { g_cancel.store(true); }

std::string Errno(int e) { return strerror(e); }

} // namespace

void InstallCancelHandler() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::string ResultMessage(int32_t result) {
    switch (result) {
    case ERR_NONE: return "no error";
    case ERR_ABORTED: return "cancelled";
    case ERR_BAD_FORMAT: return "not a PXCM picture";
    case ERR_NO_MEMORY: return "out of memory";
    case ERR_MEMORY: return "cannot lock memory";
    case ERR_READ: return "file cannot be read or is cut short";
    case PXCM_ERR_TRUNCATED: return ResultMessage(ERR_READ);
    case PXCM_ERR_STREAM: return "damaged picture data";
    case ERR_INTERNAL: return "unsupported source";
    case ERR_NOT_IMPLEMENTED: return "not implemented";
    default: return "unknown error (code " + std::to_string(result) + ")";
    }
}

std::string FileResultMessage(int32_t result, const uint8_t *head, size_t size) {
    static const char TAG[4] = {'P', 'X', 'C', 'M'};
    if ((result == ERR_READ || result == PXCM_ERR_TRUNCATED) && size < HEADER_SIZE &&
        memcmp(head, TAG, std::min<size_t>(size, 4)) != 0)
        return ResultMessage(ERR_BAD_FORMAT);
    return ResultMessage(result);
}

std::string FileResultMessage(int32_t result, const std::string &path) {
    if (result != ERR_READ) return ResultMessage(result);
    uint8_t head[24];
    size_t got = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot open: " + Errno(errno);
    ssize_t n;
    while (got < sizeof head && (n = read(fd, head + got, sizeof head - got)) > 0) got += static_cast<size_t>(n);
    close(fd);
    return FileResultMessage(result, head, got);
}

std::vector<uint8_t> ReadHead(const std::string &path, size_t n) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError("cannot open: " + Errno(errno));
    std::vector<uint8_t> head(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, head.data() + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            const int e = errno;
            close(fd);
            throw FileError("cannot read: " + Errno(e));
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    head.resize(got);
    return head;
}

std::vector<uint8_t> ReadWholeFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError("cannot open: " + Errno(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        throw FileError("cannot read: " + Errno(e));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        throw FileError("not a regular file");
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc &) {
        close(fd);
        throw FileError("out of memory");
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int e = errno;
            close(fd);
            throw FileError("cannot read: " + Errno(e));
        }
        if (got == 0) break; // shrank while we read: take what is there
        done += static_cast<size_t>(got);
    }
    close(fd);
    bytes.resize(done);
    return bytes;
}

void CheckOutputFree(const std::string &path, bool force) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) throw FileError("output " + path + " is a directory");
    if (!force) throw FileError("output " + path + " exists (use --force to replace it)");
}

OutputFile::OutputFile(const std::string &path, bool force) : path_(path), force_(force) {
    CheckOutputFree(path, force);
    std::filesystem::path p(path);
    std::filesystem::path dir = p.parent_path();
    static std::atomic<unsigned> counter{0};
    std::string name(".");
    name.append(p.filename().string());
    name.append(".pxc-");
    name.append(std::to_string(getpid()));
    name.append("-");
    name.append(std::to_string(counter.fetch_add(1)));
    temp_ = (dir / name).string();
    fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) throw FileError("cannot create " + path + ": " + Errno(errno));
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) close(fd_);
    if (!temp_.empty()) unlink(temp_.c_str());
}

void OutputFile::Write(const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ssize_t n = write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError("cannot write " + path_ + ": " + Errno(errno));
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void OutputFile::Commit() {
    if (g_cancel.load()) throw FileError(ResultMessage(ERR_ABORTED));
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) throw FileError("cannot write " + path_ + ": " + Errno(errno));
    if (force_) {
        if (rename(temp_.c_str(), path_.c_str()) != 0)
            throw FileError("cannot create " + path_ + ": " + Errno(errno));
    } else {
        // A hard link fails when the name is taken, so a file that appeared
        // meanwhile is left alone.
        if (link(temp_.c_str(), path_.c_str()) != 0) {
            int e = errno;
            if (e == EEXIST) throw FileError("output " + path_ + " exists (use --force to replace it)");
            if (e != EPERM && e != ENOTSUP && e != EOPNOTSUPP)
                throw FileError("cannot create " + path_ + ": " + Errno(e));
            // No hard links on this file system: check, then rename.
            CheckOutputFree(path_, false);
            if (rename(temp_.c_str(), path_.c_str()) != 0)
                throw FileError("cannot create " + path_ + ": " + Errno(errno));
        }
        unlink(temp_.c_str());
    }
    temp_.clear();
}

std::string Extension(const std::string &path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return ext;
}

std::string OutputName(const std::string &input, const std::string &dir_out,
                       const std::string &extension) {
    std::filesystem::path in(input);
    std::filesystem::path name = in.stem();
    name += extension;
    if (dir_out.empty()) return (in.parent_path() / name).string();
    return (std::filesystem::path(dir_out) / name).string();
}

} // namespace pxc
