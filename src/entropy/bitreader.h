// The bit reader: MSB-first bits after the header, zero bits past the end
// of the data for ever. It holds up to 64 bits, left-aligned in one word,
// and takes whole bytes eight at a time where it can: from the caller's
// memory directly, or from an input source pulled in chunks.
//
// It also counts: every bit a decode drops is one it used, and those past
// the end of the data are the zero bits it made up.
#ifndef PXCM_BITREADER_H
#define PXCM_BITREADER_H

#include <stdint.h>
#include <string.h>

#include "format/format.h"
#include "source/source.h"

// Bytes the reader pulls from a source at a time.
constexpr int32_t READ_CHUNK = 16384;
// After a fill the reader holds at least this many bits, unless a read failed.
constexpr int32_t FILLED_BITS = 57;

enum BitReaderState : int32_t {
    READER_READING = 0, // more data may come from the source
    READER_ENDED = 1,   // no more data: zero bits follow
    READER_FAILED = 2   // a source read failed: ERR_READ once the bits run out
};

struct BitReader {
    uint64_t bits;        // left-aligned: the next bit is bit 63
    int32_t held;         // valid bits at the top of bits
    int32_t state;
    const uint8_t *next;  // next byte not yet in bits
    const uint8_t *end;   // end of the bytes at hand
    const uint8_t *start; // first byte at hand
    uint64_t taken;       // bytes at hand before `start` (earlier chunks)
    uint64_t zeros;       // zero bits made up past the end of the data
    InputSource source;   // null for a reader over memory
    uint8_t *chunk;       // READ_CHUNK bytes of storage for a source
};

// A reader at the source's current position (the byte after the header).
void StartSourceReader(BitReader *r, InputSource source, uint8_t *chunk);
// A reader over size bytes of memory, which it reads in place.
void StartMemoryReader(BitReader *r, const uint8_t *data, size_t size);

// Tops the bits up to at least FILLED_BITS where the data allows, the
// careful way: byte by byte at the end of the bytes at hand, pulling the
// next chunk from the source, and counting the made-up zero bits once the
// data has ended (the reader then counts as full).
void RefillBits(BitReader *r);

// The same, eight bytes at a time where at least eight are at hand. Bits
// below the valid ones are either zero or the true next bits of the
// stream, so or-ing them in again is harmless.
inline void FillBits(BitReader *r) {
    if (r->end - r->next >= 8) {
        uint64_t v;
        memcpy(&v, r->next, 8);
        v = __builtin_bswap64(v);
        r->bits |= v >> r->held;
        r->next += (63 - r->held) >> 3;
        r->held |= 56;
    } else {
        RefillBits(r);
    }
}

// The next n bits (0 to 32), first bit most significant, in the low n bits
// of *value; consumes nothing. ERR_READ only after a failed source read,
// when fewer than n bits are left.
inline int32_t PeekBits(BitReader *r, int32_t n, uint32_t *value) {
    if (r->held < n) {
        FillBits(r);
        if (r->held < n) return ERR_READ;
    }
    *value = n == 0 ? 0 : static_cast<uint32_t>(r->bits >> (64 - n));
    return ERR_NONE;
}

// Consumes n bits, at most as many as held.
inline void DropBits(BitReader *r, int32_t n) {
    r->bits <<= n;
    r->held -= n;
}

inline int32_t ReadBits(BitReader *r, int32_t n, uint32_t *value) {
    int32_t result = PeekBits(r, n, value);
    if (result != ERR_NONE) return result;
    DropBits(r, n);
    return ERR_NONE;
}

// Bits the decode has consumed so far.
inline uint64_t BitsUsed(const BitReader *r) {
    return (r->taken + static_cast<uint64_t>(r->next - r->start)) * 8 + r->zeros -
           static_cast<uint64_t>(r->held);
}

// Of those, the bits that lay past the end of the data.
inline uint64_t BitsPastEnd(const BitReader *r) {
    if (r->state != READER_ENDED || r->next != r->end) return 0;
    const uint64_t data = (r->taken + static_cast<uint64_t>(r->end - r->start)) * 8;
    const uint64_t used = BitsUsed(r);
    return used > data ? used - data : 0;
}

#endif
