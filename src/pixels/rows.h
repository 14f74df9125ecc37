// The row decoder: tokens into the pixels of a bottom-up 24-bit bitmap.
//
// It works on the bytes at hand: the whole bitmap, or a window over some
// of its rows (see picture.h). Positions are relative to the start of those
// bytes; `lo` and `hi` say where the bitmap's own bytes begin and end
// among them. Bytes below lo read as zero, a literal whose reference
// starts within the last 3 bytes before hi or past it has a black
// reference, a run from at or past hi writes zeros, and nothing is ever
// written at or past hi.
#ifndef PXCM_ROWS_H
#define PXCM_ROWS_H

#include <stdint.h>

#include "entropy/bitreader.h"
#include "entropy/decodetable.h"
#include "format/format.h"

// The move-to-front list of offsets, kept as positions into
// INITIAL_OFFSETS, four bits each, entry 0 in the lowest bits: a move to
// front is a few shifts and masks on one word.
struct OffsetList {
    uint64_t order;
};

constexpr uint64_t InitialOrder() {
    uint64_t order = 0;
    for (uint32_t i = 0; i < OFFSET_COUNT; i++) order |= static_cast<uint64_t>(i) << (4 * i);
    return order;
}

inline void ResetOffsetList(OffsetList *list) { list->order = InitialOrder(); }

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
    BitReader reader;
    WorkBlock *work;
    OffsetList offsets;
    int64_t delta[OFFSET_COUNT]; // dy * stride + 3 * dx of each of INITIAL_OFFSETS
    int64_t reach_down;          // the most bytes a reference lies before its pixel
    int64_t reach_up;            // the most bytes it lies after it
    int32_t countdown;           // tokens left before the next table set
    uint8_t *bytes;              // the bytes at hand
    int64_t lo;                  // where the bitmap starts among them (0 or more)
    int64_t hi;                  // where it ends, or where the bytes at hand end
    int64_t stride;
    int32_t width;
};

// Sets up a picture's decode: the reader as started by the caller (on the
// byte after the header), the list at its initial order, a table set due.
void StartRowDecoder(RowDecoder *state, const BitReader *reader, WorkBlock *work, uint32_t width);

// What a row's tokens may read of bytes no token has written yet: the
// REACH_BEHIND bytes before the row (a reference in the row lies at most
// that far behind its pixel) and the last REACH_BEHIND bytes of its stride
// (a reference into a row above lies at most that far behind the pixel's
// place there). Rows of a stride up to REACH_BEHIND are read all over.
constexpr int64_t REACH_BEHIND = PIXEL_BYTES * -static_cast<int64_t>(MIN_DX);

// Decodes the row that starts at byte `out` of the bytes at hand. The
// bytes REACH_BEHIND says must be zero (no token of an earlier row writes
// into a later one); the rest of the row may hold anything, as every
// byte of it is written before it is read. ERR_NONE, or the first error of
// the bit stream (ERR_READ, ERR_STREAM); the row's pixels from the token
// that failed on are then zero (but for the channels a failing literal
// wrote), as though the row had been zero before.
int32_t DecodeRow(RowDecoder *state, int64_t out);

#endif
