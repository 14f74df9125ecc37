// Shared pieces of the fuzz targets: the header rules, restated here on
// purpose rather than taken from the library, and the size cap.
#ifndef PXCM_FUZZ_HARNESS_H
#define PXCM_FUZZ_HARNESS_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

// Every decode costs time in proportion to width x height, whatever the
// input's length: past the end of the data the stream reads as zero bits,
// and a table set whose token code is a single symbol decodes a whole
// picture from them. A 65535 x 65535 header would allocate 12.9 GB and take
// minutes, so inputs that claim more than this many pixels are refused
// before the library is called (the test suite covers huge headers with
// fault injection instead).
constexpr uint64_t FUZZ_MAX_PIXELS = 1u << 20;

constexpr size_t FUZZ_HEADER_SIZE = 24;

// A failed check: print what and where, then abort so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);              \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

inline uint32_t FuzzLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t FuzzLe16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

// The acceptance rule of the 24-byte header.
inline bool FuzzHeaderAccepted(const uint8_t *p, size_t size) {
    if (size < FUZZ_HEADER_SIZE) return false;
    return p[0] == 'P' && p[1] == 'X' && p[2] == 'C' && p[3] == 'M' && FuzzLe32(p + 4) == 0x10000 &&
           FuzzLe32(p + 8) == 0 && FuzzLe32(p + 16) == 24 && FuzzLe32(p + 20) == 0;
}

// Width and height as the header claims them (0 when too short to say).
inline uint64_t FuzzClaimedPixels(const uint8_t *p, size_t size) {
    if (size < 16) return 0;
    return static_cast<uint64_t>(FuzzLe16(p + 12)) * FuzzLe16(p + 14);
}

inline uint64_t FuzzStride(uint32_t width) { return (static_cast<uint64_t>(width) * 3 + 3) & ~3ull; }

#endif
