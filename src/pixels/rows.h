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

// The move-to-front list of offsets, kept as positions into
// INITIAL_OFFSETS, four bits each, entry 0 in the lowest bits: a move to
// front is a few shifts and masks on one word.
struct OffsetList {
    uint64_t order;
};

constexpr uint64_t INITIAL_ORDER = 0xA9876543210ULL;

inline void ResetOffsetList(OffsetList *list) { list->order = INITIAL_ORDER; }

// Moves entry w (0 to 10) to the front; returns its position in INITIAL_OFFSETS.
inline uint32_t MoveToFrontIndex(OffsetList *list, uint32_t w) {
    const uint32_t shift = 4 * w;
    const uint64_t order = list->order;
    const uint64_t chosen = (order >> shift) & 15;
    const uint64_t below = order & ((static_cast<uint64_t>(1) << shift) - 1);
    const uint64_t above = ((order >> shift) >> 4) << shift << 4;
    list->order = above | (below << 4) | chosen;
    return static_cast<uint32_t>(chosen);
}

// Entry i of the list.
inline OffsetPair OffsetAt(const OffsetList *list, uint32_t i) {
    return INITIAL_OFFSETS[(list->order >> (4 * i)) & 15];
}

// Moves entry w to the front and returns it.
inline OffsetPair MoveToFront(OffsetList *list, uint32_t w) {
    return INITIAL_OFFSETS[MoveToFrontIndex(list, w)];
}

// Everything one picture's decode carries from row to row.
struct RowDecoder {
    StreamReader reader;
    WorkBlock *work;
    OffsetList offsets;
    int64_t delta[OFFSET_COUNT]; // dy * stride + 3 * dx of each of INITIAL_OFFSETS
    int32_t countdown;           // tokens left before the next table set
    uint8_t *pixels;   // the bitmap, height * stride bytes, zero-filled
    int64_t size;      // height * stride
    int64_t stride;
    int32_t width;
    int32_t height;
};

// Stride of a 24-bit row: 3 * width rounded up to a multiple of 4.
inline int64_t RowStride(uint32_t width) { return (static_cast<int64_t>(width) * 3 + 3) & ~3LL; }

// Sets up a picture's decode: the reader at the source's position (the byte
// after the header), the list at its initial order, a table set due.
void StartRowDecoder(RowDecoder *state, InputSource source, WorkBlock *work, uint8_t *pixels,
                     uint32_t width, uint32_t height);

// Decodes image row m (0 is the top). ERR_NONE, or the first error of the
// bit stream.
int32_t DecodeRow(RowDecoder *state, int32_t m);

#endif
