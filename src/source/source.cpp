#include "source/source.h"

#include <string.h>

int32_t OpenSource(InputSource *out, const char *location, SourceExtent extent, uint32_t mode) {
    *out = nullptr;
    switch (mode & SOURCE_KIND_MASK) {
    case SOURCE_KIND_MEMORY: {
        InputSource s = PlatformOpenMemory(const_cast<char *>(location), extent);
        if (s == nullptr) return ERR_MEMORY;
        *out = s;
        return ERR_NONE;
    }
    case SOURCE_KIND_FILE: {
        InputSource s = PlatformOpenFile(location);
        if (s == nullptr) return ERR_READ;
        if (extent != 0 && !PlatformSeek(s, extent)) {
            PlatformClose(s);
            return ERR_READ;
        }
        *out = s;
        return ERR_NONE;
    }
    default:
        return ERR_INTERNAL;
    }
}

// A probe reference with any bit above the low 16 set is a pointer to the
// file's head; otherwise it is a host file handle.
static bool ProbeIsPointer(ProbeRef probe_ref) { return (probe_ref >> 16) != 0; }

int32_t OpenProbe(InputSource *out, ProbeRef probe_ref) {
    *out = nullptr;
    if (ProbeIsPointer(probe_ref)) {
        InputSource s = PlatformOpenMemory(reinterpret_cast<void *>(probe_ref), PROBE_SIZE);
        if (s == nullptr) return ERR_MEMORY;
        *out = s;
        return ERR_NONE;
    }
    // Copy the file's head into a memory stream of our own and put the
    // handle's position back where the host had it.
    InputSource s = PlatformOpenMemory(nullptr, PROBE_SIZE);
    if (s == nullptr) return ERR_MEMORY;
    uint8_t *buffer = nullptr;
    int32_t size = 0;
    uint32_t got = 0;
    if (!PlatformStreamBuffer(s, &buffer, &size) || size < PROBE_SIZE) goto fail;
    memset(buffer, 0, PROBE_SIZE);
    if (!PlatformFileRead(probe_ref, buffer, PROBE_SIZE, &got)) goto fail;
    if (got > static_cast<uint32_t>(PROBE_SIZE)) goto fail;
    if (!PlatformFileRewind(probe_ref, got)) goto fail;
    *out = s;
    return ERR_NONE;
fail:
    PlatformClose(s);
    return ERR_READ;
}

int32_t ReadExact(InputSource source, void *dest, int32_t n) {
    return PlatformRead(source, dest, n) == n ? ERR_NONE : ERR_READ;
}

void CloseSource(InputSource source, int32_t *result) {
    bool ok = source != nullptr && PlatformClose(source);
    if (!ok && result != nullptr && *result == ERR_NONE) *result = ERR_READ;
}
