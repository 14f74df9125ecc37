// Windows builds of the library tests: the block helpers that pxcm.h
// declares only outside Windows, over the local-memory calls a Windows host
// uses on the blocks GetPicture returns. Force-included into the tests.
#ifndef PXCM_TESTS_BLOCKS_WIN_H
#define PXCM_TESTS_BLOCKS_WIN_H

#if defined(_WIN32)
#include <stdint.h>
#include <windows.h>

inline void *LockBlock(void *block) {
    return block == nullptr ? nullptr : LocalLock(static_cast<HLOCAL>(block));
}
inline void UnlockBlock(void *block) {
    if (block != nullptr) LocalUnlock(static_cast<HLOCAL>(block));
}
inline void FreeBlock(void *block) {
    if (block != nullptr) LocalFree(static_cast<HLOCAL>(block));
}
inline uint64_t GetBlockSize(void *block) {
    return block == nullptr ? 0 : LocalSize(static_cast<HLOCAL>(block));
}
#endif

#endif
