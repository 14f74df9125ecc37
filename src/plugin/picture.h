// Movable blocks handed to the host, allocated and locked together.
#ifndef PXCM_PICTURE_H
#define PXCM_PICTURE_H

#include <stdint.h>

#include "platform/platform.h"
#include "plugin/pxcm.h"

// Allocates a movable zeroed block and locks it. ERR_NO_MEMORY when it cannot
// be allocated, ERR_MEMORY (and the block freed) when it cannot be locked;
// the handle and pointer are null then.
int32_t AllocLocked(uint64_t size, PxcmBlock *handle, void **pointer);
// Unlocks the block; frees it too when pointer is not null.
void ReleaseLocked(PxcmBlock handle, void *pointer);

#endif
