// Portable platform layer: buffered POSIX file I/O, memory streams and
// movable blocks of our own, behaving as the Windows services do where the
// decoder can tell.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef PXCM_FAULTS
#include "platform/faults.h"
#define FAULT(call, failure)                                                                       \
    do {                                                                                           \
        if (FaultsHit(call)) return failure;                                                       \
    } while (0)
#else
#define FAULT(call, failure) ((void)0)
#endif

namespace {

constexpr int32_t FILE_BUFFER_SIZE = 16384;

} // namespace

// A file stream reads through its own buffer; a memory stream reads the
// caller's block (or one it allocated itself) directly.
struct PlatformStreamTag {
    int fd;          // -1 for a memory stream
    uint8_t *data;   // the memory block, or the file buffer
    int64_t size;    // bytes in the memory block, or bytes now in the file buffer
    int64_t pos;     // next byte to deliver from data
    bool owns_data;  // data was allocated here
};

struct PlatformBlockTag {
    uint64_t size;
    int32_t locks;
    alignas(16) uint8_t data[16]; // the block's bytes start here
};

PlatformStream PlatformOpenFile(const char *name) {
    FAULT(CALL_OPEN_FILE, nullptr);
    if (name == nullptr) return nullptr;
    // Only regular files are sources. O_NONBLOCK keeps the open of a FIFO
    // without a writer from waiting for one; the type is checked before any
    // read, so the flag never matters for the files that are kept.
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    auto *s = static_cast<PlatformStreamTag *>(calloc(1, sizeof(PlatformStreamTag)));
    auto *buffer = static_cast<uint8_t *>(malloc(FILE_BUFFER_SIZE));
    if (s == nullptr || buffer == nullptr) {
        free(s);
        free(buffer);
        close(fd);
        return nullptr;
    }
    s->fd = fd;
    s->data = buffer;
    s->owns_data = true;
    return s;
}

bool PlatformSeek(PlatformStream s, intptr_t offset) {
    FAULT(CALL_SEEK, false);
    if (offset < 0) return false;
    if (s->fd < 0) {
        if (offset > s->size) return false;
        s->pos = offset;
        return true;
    }
    if (lseek(s->fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    s->size = 0;
    s->pos = 0;
    return true;
}

PlatformStream PlatformOpenMemory(void *block, intptr_t size) {
    FAULT(CALL_OPEN_MEMORY, nullptr);
    if (size < 0) return nullptr;
    auto *s = static_cast<PlatformStreamTag *>(calloc(1, sizeof(PlatformStreamTag)));
    if (s == nullptr) return nullptr;
    s->fd = -1;
    s->size = size;
    if (block != nullptr) {
        s->data = static_cast<uint8_t *>(block);
    } else {
        s->data = static_cast<uint8_t *>(calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
        if (s->data == nullptr) {
            free(s);
            return nullptr;
        }
        s->owns_data = true;
    }
    return s;
}

bool PlatformStreamBuffer(PlatformStream s, uint8_t **data, int32_t *size) {
    FAULT(CALL_GET_INFO, false);
    if (s->fd >= 0 || s->size > INT32_MAX) return false;
    *data = s->data;
    *size = static_cast<int32_t>(s->size);
    return true;
}

int32_t PlatformRead(PlatformStream s, void *dest, int32_t n) {
    FAULT(CALL_READ, -1);
    if (n <= 0) return 0;
    auto *out = static_cast<uint8_t *>(dest);
    int32_t done = 0;
    while (done < n) {
        if (s->pos >= s->size) {
            if (s->fd < 0) break;
            ssize_t got;
            do {
                got = read(s->fd, s->data, FILE_BUFFER_SIZE);
            } while (got < 0 && errno == EINTR);
            if (got < 0) return -1;
            if (got == 0) break;
            s->size = got;
            s->pos = 0;
        }
        int64_t take = s->size - s->pos;
        if (take > n - done) take = n - done;
        memcpy(out + done, s->data + s->pos, static_cast<size_t>(take));
        s->pos += take;
        done += static_cast<int32_t>(take);
    }
    return done;
}

bool PlatformClose(PlatformStream s) {
    bool failed = false;
#ifdef PXCM_FAULTS
    failed = FaultsHit(CALL_CLOSE);
#endif
    // A failed close still releases everything: nothing may leak.
    if (s->fd >= 0 && close(s->fd) != 0) failed = true;
    if (s->owns_data) free(s->data);
    free(s);
    return !failed;
}

PlatformBlock PlatformBlockAlloc(uint64_t size) {
    FAULT(CALL_BLOCK_ALLOC, nullptr);
    if (size > SIZE_MAX - sizeof(PlatformBlockTag)) return nullptr;
    auto *b = static_cast<PlatformBlockTag *>(
        calloc(1, offsetof(PlatformBlockTag, data) + static_cast<size_t>(size) + 1));
    if (b == nullptr) return nullptr;
    b->size = size;
    return b;
}

void *PlatformBlockLock(PlatformBlock b) {
    FAULT(CALL_BLOCK_LOCK, nullptr);
    if (b == nullptr || b->size == 0) return nullptr;
    b->locks++;
    return b->data;
}

void PlatformBlockUnlock(PlatformBlock b) {
    if (b != nullptr && b->locks > 0) b->locks--;
}

void PlatformBlockFree(PlatformBlock b) { free(b); }

uint64_t PlatformBlockSize(PlatformBlock b) { return b == nullptr ? 0 : b->size; }

void *PlatformHeapAlloc(size_t size) {
    FAULT(CALL_HEAP_ALLOC, nullptr);
    return malloc(size);
}

void PlatformHeapFree(void *p) { free(p); }

bool PlatformFileRead(PlatformFile file, void *dest, uint32_t n, uint32_t *got) {
    FAULT(CALL_FILE_READ, false);
    // Like ReadFile on a disk file: read until n bytes or the end of the file.
    auto *out = static_cast<uint8_t *>(dest);
    uint32_t done = 0;
    while (done < n) {
        ssize_t r = read(static_cast<int>(file), out + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) break;
        done += static_cast<uint32_t>(r);
    }
    *got = done;
    return true;
}

bool PlatformFileRewind(PlatformFile file, uint32_t count) {
    FAULT(CALL_FILE_REWIND, false);
    return lseek(static_cast<int>(file), -static_cast<off_t>(count), SEEK_CUR) >= 0;
}
