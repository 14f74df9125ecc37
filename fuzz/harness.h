// Shared pieces of the fuzz targets: the size cap and the check macro. The
// header rule they judge results by is the tests' own restatement
// (tests/support/header_rule.h), not the library's parser.
#ifndef PXCM_FUZZ_HARNESS_H
#define PXCM_FUZZ_HARNESS_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "format/format.h"
#include "support/header_rule.h"

// Every decode costs time in proportion to width x height, whatever the
// input's length: past the end of the data the stream reads as zero bits,
// and a table set whose token code is a single symbol decodes a whole
// picture from them. A 65535 x 65535 header would allocate 12.9 GB and take
// minutes, so inputs that claim more than this many pixels are refused
// before the library is called (the test suite covers huge headers with
// fault injection instead).
constexpr uint64_t FUZZ_MAX_PIXELS = 1u << 20;

// A failed check: print what and where, then abort so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);              \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// Width times height as the header claims them (0 when too short to say).
inline uint64_t FuzzClaimedPixels(const uint8_t *p, size_t size) {
    return static_cast<uint64_t>(ClaimedWidth(p, size)) * ClaimedHeight(p, size);
}

#endif
