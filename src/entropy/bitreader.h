// MSB-first bit input over an input source, with look-ahead. Past the end
// of the data it delivers zero bits for ever.
#ifndef PXCM_BITREADER_H
#define PXCM_BITREADER_H

#include <stdint.h>

#include "source/source.h"

// The longest peek a caller may ask for.
constexpr int32_t MAX_PEEK_BITS = 25;

struct BitReader {
    InputSource source;
    int32_t held;  // valid bits held, 0 to 32; negative after over-dropping at the end
    uint32_t bits; // the held bits, right-aligned; bits above held - 1 are zero
};

// Bytes that still fit into 32 bits, by the number of bits held.
extern const uint8_t REFILL_BYTES[32];

inline void StartBitReader(BitReader *reader, InputSource source) {
    reader->source = source;
    reader->held = 0;
    reader->bits = 0;
}

// The slow half of PeekBits: refills and answers a peek of more bits than held.
int32_t RefillAndPeek(BitReader *reader, int32_t n, uint32_t *value);

// Places the next n bits (0 to 25), first bit most significant, in the low
// n bits of *value; consumes nothing. ERR_READ on a source read error.
inline int32_t PeekBits(BitReader *reader, int32_t n, uint32_t *value) {
    if (reader->held >= n) {
        *value = static_cast<uint32_t>(static_cast<uint64_t>(reader->bits) >> (reader->held - n));
        return 0;
    }
    return RefillAndPeek(reader, n, value);
}

// Consumes n bits; never fails. held may go negative past the end of the data.
inline void DropBits(BitReader *reader, int32_t n) {
    reader->held -= n;
    if (reader->held > 0)
        reader->bits &= static_cast<uint32_t>((static_cast<uint64_t>(1) << reader->held) - 1);
    else
        reader->bits = 0;
}

inline int32_t ReadBits(BitReader *reader, int32_t n, uint32_t *value) {
    int32_t result = PeekBits(reader, n, value);
    if (result != 0) return result;
    DropBits(reader, n);
    return 0;
}

#endif
