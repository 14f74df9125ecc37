// Windows platform layer: the multimedia file I/O, movable local memory and
// file handles of the system itself.
#include "platform/platform.h"

#include <windows.h>
#include <mmsystem.h>
#include <stdlib.h>
#include <string.h>

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

HMMIO AsMmio(PlatformStream s) { return reinterpret_cast<HMMIO>(s); }
PlatformStream FromMmio(HMMIO h) { return reinterpret_cast<PlatformStream>(h); }
HLOCAL AsLocal(PlatformBlock b) { return reinterpret_cast<HLOCAL>(b); }

} // namespace

PlatformStream PlatformOpenFile(const char *name) {
    FAULT(CALL_OPEN_FILE, nullptr);
    if (name == nullptr) return nullptr;
    // mmioOpenA takes a writable name buffer; it does not change it on open.
    char path[MAX_PATH * 2];
    size_t len = strlen(name);
    if (len >= sizeof path) return nullptr;
    memcpy(path, name, len + 1);
    return FromMmio(mmioOpenA(path, nullptr, MMIO_READ | MMIO_DENYWRITE | MMIO_ALLOCBUF));
}

bool PlatformSeek(PlatformStream s, intptr_t offset) {
    FAULT(CALL_SEEK, false);
    if (offset < 0 || offset > 0x7fffffff) return false;
    return mmioSeek(AsMmio(s), static_cast<LONG>(offset), SEEK_SET) != -1;
}

PlatformStream PlatformOpenMemory(void *block, intptr_t size) {
    FAULT(CALL_OPEN_MEMORY, nullptr);
    if (size < 0 || size > 0x7fffffff) return nullptr;
    MMIOINFO info;
    memset(&info, 0, sizeof info);
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = static_cast<HPSTR>(block);
    info.cchBuffer = static_cast<LONG>(size);
    info.adwInfo[0] = 0; // growth increment: the memory file cannot grow
    DWORD flags = MMIO_READ | MMIO_DENYWRITE;
    if (block == nullptr) flags |= MMIO_ALLOCBUF;
    return FromMmio(mmioOpenA(nullptr, &info, flags));
}

bool PlatformStreamBuffer(PlatformStream s, uint8_t **data, int32_t *size) {
    FAULT(CALL_GET_INFO, false);
    MMIOINFO info;
    memset(&info, 0, sizeof info);
    if (mmioGetInfo(AsMmio(s), &info, 0) != MMSYSERR_NOERROR) return false;
    *data = reinterpret_cast<uint8_t *>(info.pchBuffer);
    *size = info.cchBuffer;
    return info.pchBuffer != nullptr;
}

int32_t PlatformRead(PlatformStream s, void *dest, int32_t n) {
    FAULT(CALL_READ, -1);
    return mmioRead(AsMmio(s), static_cast<HPSTR>(dest), n);
}

bool PlatformClose(PlatformStream s) {
#ifdef PXCM_FAULTS
    if (FaultsHit(CALL_CLOSE)) {
        mmioClose(AsMmio(s), 0); // still release it: the failure is simulated
        return false;
    }
#endif
    return mmioClose(AsMmio(s), 0) == 0;
}

PlatformBlock PlatformBlockAlloc(uint64_t size) {
    FAULT(CALL_BLOCK_ALLOC, nullptr);
    if (size > static_cast<uint64_t>(SIZE_MAX)) return nullptr;
    return reinterpret_cast<PlatformBlock>(
        LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, static_cast<SIZE_T>(size)));
}

void *PlatformBlockLock(PlatformBlock b) {
    FAULT(CALL_BLOCK_LOCK, nullptr);
    return LocalLock(AsLocal(b));
}

void PlatformBlockUnlock(PlatformBlock b) { LocalUnlock(AsLocal(b)); }

void PlatformBlockFree(PlatformBlock b) { LocalFree(AsLocal(b)); }

uint64_t PlatformBlockSize(PlatformBlock b) { return LocalSize(AsLocal(b)); }

void *PlatformHeapAlloc(size_t size) {
    FAULT(CALL_HEAP_ALLOC, nullptr);
    return malloc(size);
}

void PlatformHeapFree(void *p) { free(p); }

bool PlatformFileRead(PlatformFile file, void *dest, uint32_t n, uint32_t *got) {
    FAULT(CALL_FILE_READ, false);
    DWORD count = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file), dest, n, &count, nullptr)) return false;
    *got = count;
    return true;
}

bool PlatformFileRewind(PlatformFile file, uint32_t count) {
    FAULT(CALL_FILE_REWIND, false);
    SetLastError(NO_ERROR);
    DWORD r = SetFilePointer(reinterpret_cast<HANDLE>(file), -static_cast<LONG>(count), nullptr,
                             FILE_CURRENT);
    return !(r == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}
