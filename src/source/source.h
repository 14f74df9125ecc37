// Input sources: the host's source descriptions turned into one kind of
// read-only sequential byte stream.
#ifndef PXCM_SOURCE_H
#define PXCM_SOURCE_H

#include <stdint.h>

#include "format/format.h"
#include "platform/platform.h"

// An open read-only stream positioned at the picture's first byte; null
// when nothing is open.
typedef PlatformStream InputSource;

// The host's integers that widen to pointer size in 64-bit builds: the
// source extent and the probe reference.
typedef intptr_t SourceExtent;
typedef uintptr_t ProbeRef;

constexpr int32_t PROBE_SIZE = 2048;
constexpr uint32_t SOURCE_KIND_MASK = 7;
constexpr uint32_t SOURCE_KIND_FILE = 0;   // location = file name, extent = offset of the picture
constexpr uint32_t SOURCE_KIND_MEMORY = 1; // location = the picture's bytes, extent = their count

// Opens the source of GetPictureInfo and GetPicture. Nothing is open on failure.
int32_t OpenSource(InputSource *out, const char *location, SourceExtent extent, uint32_t mode);
// Opens a source over exactly 2048 bytes for IsSupported.
int32_t OpenProbe(InputSource *out, ProbeRef probe_ref);
// ERR_NONE when exactly n bytes were read, ERR_READ otherwise.
int32_t ReadExact(InputSource source, void *dest, int32_t n);
// Plain read: the count delivered, 0 at the end of the data, negative on error.
inline int32_t ReadSome(InputSource source, void *dest, int32_t n) {
    return PlatformRead(source, dest, n);
}
// Closes the source; a null source or a failed close turns *result from
// ERR_NONE into ERR_READ (an error already there stays). result may be null.
void CloseSource(InputSource source, int32_t *result);

#endif
