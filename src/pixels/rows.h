// The row decoder: tokens into pixels of a bottom-up 24-bit buffer.
#ifndef PXCM_ROWS_H
#define PXCM_ROWS_H

#include <stdint.h>

#include "entropy/prefix.h"
#include "entropy/streamreader.h"

constexpr int32_t REBUILD_PERIOD = 16384;
constexpr int32_t OFFSET_COUNT = 11;
constexpr uint32_t FIRST_RUN_TOKEN = 216;
constexpr uint32_t RUN_TOKEN_BIAS = 214; // a run token t copies t - 214 pixels

// A reference offset: dx pixels to the right, dy rows upward.
struct OffsetPair {
    int32_t dx;
    int32_t dy;
};

extern const OffsetPair INITIAL_OFFSETS[OFFSET_COUNT];

struct OffsetList {
    OffsetPair entries[OFFSET_COUNT];
    int64_t delta[OFFSET_COUNT]; // dy * stride + 3 * dx for each entry, moved along
};

// Everything one picture's decode carries from row to row.
struct RowDecoder {
    StreamReader reader;
    WorkBlock *work;
    OffsetList offsets;
    int32_t countdown; // tokens left before the next table set
    uint8_t *pixels;   // the bitmap, height * stride bytes, zero-filled
    int64_t size;      // height * stride
    int64_t stride;
    int32_t width;
    int32_t height;
};

// Stride of a 24-bit row: 3 * width rounded up to a multiple of 4.
inline int64_t RowStride(uint32_t width) { return (static_cast<int64_t>(width) * 3 + 3) & ~3LL; }

// Sets the list to INITIAL_OFFSETS; deltas are computed for rows `stride` bytes apart.
void ResetOffsetList(OffsetList *list, int64_t stride = 0);
// Moves entry w to the front and returns it.
OffsetPair MoveToFront(OffsetList *list, uint32_t w);

// Sets up a picture's decode: the reader at the source's position (the byte
// after the header), the list at its initial order, a table set due.
void StartRowDecoder(RowDecoder *state, InputSource source, WorkBlock *work, uint8_t *pixels,
                     uint32_t width, uint32_t height);

// Decodes image row m (0 is the top). ERR_NONE, or the first error of the
// bit stream.
int32_t DecodeRow(RowDecoder *state, int32_t m);

#endif
