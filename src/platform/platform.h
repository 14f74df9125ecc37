// The few operating-system services the plug-in uses. On Windows they are
// the multimedia file I/O (mmio), movable local memory and file handles;
// elsewhere a small layer of our own with the same observable behaviour.
// Nothing outside this folder knows which of the two it got.
#ifndef PXCM_PLATFORM_H
#define PXCM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

// A read-only, buffered byte stream (an HMMIO on Windows); null = none.
typedef struct PlatformStreamTag *PlatformStream;
// A movable, zero-initialised memory block (an HLOCAL on Windows); null = none.
typedef struct PlatformBlockTag *PlatformBlock;
// An open file handle of the host: a HANDLE on Windows, a descriptor elsewhere.
typedef uintptr_t PlatformFile;

// Opens a file by name, read-only, deny-write, buffered. Null on failure.
PlatformStream PlatformOpenFile(const char *name);
// Moves to `offset` bytes from the start. False on failure.
bool PlatformSeek(PlatformStream stream, intptr_t offset);
// Opens a stream over `size` bytes at `block`; a null block makes the
// platform allocate a zero-filled buffer of that size. Null on failure.
PlatformStream PlatformOpenMemory(void *block, intptr_t size);
// Address and size of a memory stream's buffer. False on failure.
bool PlatformStreamBuffer(PlatformStream stream, uint8_t **data, int32_t *size);
// Reads up to n bytes: the count delivered, 0 at the end, negative on error.
int32_t PlatformRead(PlatformStream stream, void *dest, int32_t n);
// Closes the stream (null is not allowed). False on failure.
bool PlatformClose(PlatformStream stream);

// Movable zero-initialised blocks. A size the platform cannot provide gives
// null. A zero-size block can be allocated, but locking it gives null (on
// Windows that is what the system does; the portable layer does the same so
// that empty pictures behave alike everywhere).
PlatformBlock PlatformBlockAlloc(uint64_t size);
void *PlatformBlockLock(PlatformBlock block);
void PlatformBlockUnlock(PlatformBlock block);
void PlatformBlockFree(PlatformBlock block);
uint64_t PlatformBlockSize(PlatformBlock block);

// General heap, for the decoder's working storage. Null on failure.
void *PlatformHeapAlloc(size_t size);
void PlatformHeapFree(void *p);

// Reads up to n bytes from a host file handle; *got is the count read.
bool PlatformFileRead(PlatformFile file, void *dest, uint32_t n, uint32_t *got);
// Moves a host file handle's position back by `count` bytes.
bool PlatformFileRewind(PlatformFile file, uint32_t count);

#endif
