// Outside Windows: what a caller needs to use the blocks GetPicture returns.
#include "platform/platform.h"
#include "plugin/pxcm.h"

#if !defined(_WIN32)
extern "C" void *LockBlock(PxcmBlock block) {
    return block == nullptr ? nullptr : PlatformBlockLock(static_cast<PlatformBlock>(block));
}

extern "C" void UnlockBlock(PxcmBlock block) {
    if (block != nullptr) PlatformBlockUnlock(static_cast<PlatformBlock>(block));
}

extern "C" void FreeBlock(PxcmBlock block) {
    if (block != nullptr) PlatformBlockFree(static_cast<PlatformBlock>(block));
}

extern "C" uint64_t GetBlockSize(PxcmBlock block) {
    return block == nullptr ? 0 : PlatformBlockSize(static_cast<PlatformBlock>(block));
}
#endif
