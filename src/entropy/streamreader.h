// The bit reader the picture decoder runs on: the same bits as BitReader
// (MSB-first, zero bits past the end of the data for ever), but it pulls
// the source in large chunks and holds up to 64 bits, so that a symbol
// usually costs a table look-up and two shifts.
#ifndef PXCM_STREAMREADER_H
#define PXCM_STREAMREADER_H

#include <stdint.h>
#include <string.h>

#include "source/source.h"

constexpr int32_t STREAM_CHUNK = 16384;

enum StreamState : int32_t {
    STREAM_READING = 0,
    STREAM_ENDED = 1, // the source has no more data: zero bits follow
    STREAM_FAILED = 2 // a source read failed: ERR_READ once the bits run out
};

struct StreamReader {
    InputSource source;
    uint8_t *chunk;       // STREAM_CHUNK bytes of storage
    const uint8_t *next;  // next unread byte of the chunk
    const uint8_t *end;   // end of the bytes in the chunk
    uint64_t bits;        // left-aligned: the next bit is bit 63
    int32_t held;         // valid bits at the top of bits
    int32_t state;
};

inline void StartStreamReader(StreamReader *r, InputSource source, uint8_t *chunk) {
    r->source = source;
    r->chunk = chunk;
    r->next = chunk;
    r->end = chunk;
    r->bits = 0;
    r->held = 0;
    r->state = STREAM_READING;
}

// Tops up the bit buffer to at least 57 bits where the data allows. Bits
// below the valid ones are either zero or the true next bits of the stream,
// so or-ing them in again is harmless. After the end of the data the
// buffer counts as full of zero bits.
void RefillStream(StreamReader *r);

inline void FillStream(StreamReader *r) {
    if (r->end - r->next >= 8) {
        uint64_t v;
        memcpy(&v, r->next, 8);
        v = __builtin_bswap64(v);
        r->bits |= v >> r->held;
        r->next += (63 - r->held) >> 3;
        r->held |= 56;
    } else {
        RefillStream(r);
    }
}

inline int32_t PeekBits(StreamReader *r, int32_t n, uint32_t *value) {
    if (r->held < n) {
        FillStream(r);
        if (r->held < n) return ERR_READ; // only after a failed read
    }
    *value = n == 0 ? 0 : static_cast<uint32_t>(r->bits >> (64 - n));
    return ERR_NONE;
}

inline void DropBits(StreamReader *r, int32_t n) {
    r->bits <<= n;
    r->held -= n;
}

inline int32_t ReadBits(StreamReader *r, int32_t n, uint32_t *value) {
    int32_t result = PeekBits(r, n, value);
    if (result != ERR_NONE) return result;
    DropBits(r, n);
    return ERR_NONE;
}

#endif
