// The plain reference decoders that the tests and the fuzz targets compare
// the library against. Deliberately simple, and apart from the library's
// own code paths:
//
// - PlainBitReader: 32 bits held, 1 to 4 bytes fetched per refill from an
//   input source (REFILL_BYTES), zero bits past the end of the data.
// - PrefixDecoder: a canonical code as 256 slots indexed by the next 8
//   bits, with binary trees below them for the longer codes, built by
//   chaining the symbol entries by length; nodes come from a pool of 2 n.
//   DecodeSymbol works on either bit reader.
// - reference_bits.h: the whole format bit by bit (RefBits, RefCode,
//   RefPicture), with nothing outside the bitmap ever read or written.
#ifndef PXCM_TESTS_REFERENCE_H
#define PXCM_TESTS_REFERENCE_H

#include <stdint.h>

#include "format/format.h"
#include "source/source.h"
#include "support/reference_bits.h"

// ------------------------------------------------------------ plain bit reader

struct PlainBitReader {
    InputSource source;
    int32_t held;  // valid bits held, 0 to 32; negative after over-dropping at the end
    uint32_t bits; // the held bits, right-aligned; bits above held - 1 are zero
};

// The longest peek a caller of the plain reader may ask for.
constexpr int32_t PLAIN_MAX_PEEK = 25;

// Bytes that still fit into 32 bits, by the number of bits held.
extern const uint8_t REFILL_BYTES[32];

inline void StartPlainReader(PlainBitReader *reader, InputSource source) {
    reader->source = source;
    reader->held = 0;
    reader->bits = 0;
}

// The slow half of PeekBits: refills and answers a peek of more bits than held.
int32_t RefillAndPeek(PlainBitReader *reader, int32_t n, uint32_t *value);

inline int32_t PeekBits(PlainBitReader *reader, int32_t n, uint32_t *value) {
    if (reader->held >= n) {
        *value = static_cast<uint32_t>(static_cast<uint64_t>(reader->bits) >> (reader->held - n));
        return ERR_NONE;
    }
    return RefillAndPeek(reader, n, value);
}

inline void DropBits(PlainBitReader *reader, int32_t n) {
    reader->held -= n;
    if (reader->held > 0)
        reader->bits &= static_cast<uint32_t>((static_cast<uint64_t>(1) << reader->held) - 1);
    else
        reader->bits = 0;
}

inline int32_t ReadBits(PlainBitReader *reader, int32_t n, uint32_t *value) {
    int32_t result = PeekBits(reader, n, value);
    if (result != ERR_NONE) return result;
    DropBits(reader, n);
    return ERR_NONE;
}

// ------------------------------------------------------------ slots and trees

struct SymbolEntry {
    SymbolEntry *next; // chain of entries sorted by length, built by BuildDecoder
    uint32_t length;   // code length in bits; 0 = no code
    uint32_t symbol;   // equal to the entry's index
};

constexpr int32_t LOOKUP_BITS = 8;
constexpr int32_t LOOKUP_SIZE = 1 << LOOKUP_BITS;

// A tree link: none, the index of an inner node, or a leaf holding a symbol.
constexpr uint16_t LINK_NONE = 0xffff;
constexpr uint16_t LINK_LEAF = 0x8000;

struct LookupSlot {
    uint16_t value; // the symbol (length 1 to 8), or the tree's root link (length 0)
    uint8_t length; // 1 to 8: a code of this length; 0: longer codes, or none
    uint8_t unused;
};

struct TreeNode {
    uint16_t link[2]; // for the next bit 0 and 1
};

struct PrefixDecoder {
    SymbolEntry entries[MAX_SYMBOLS];
    TreeNode pool[2 * MAX_SYMBOLS];
    uint32_t n;
    uint32_t pool_size;
    LookupSlot slots[LOOKUP_SIZE];
};

// An alphabet of n symbols without codes.
void InitDecoder(PrefixDecoder *decoder, uint32_t n);

// Reads one order-0 Exp-Golomb integer bit by bit; a 26th zero bit of the
// prefix gives ERR_STREAM.
template <typename Reader> int32_t PlainReadExpGolomb(Reader *reader, uint32_t *value) {
    uint32_t bit = 0;
    int32_t zeros = 0;
    for (;;) {
        int32_t result = ReadBits(reader, 1, &bit);
        if (result != ERR_NONE) return result;
        if (bit != 0) break;
        if (++zeros > MAX_GOLOMB_ZEROS) return ERR_STREAM;
    }
    if (zeros == 0) {
        *value = 0;
        return ERR_NONE;
    }
    uint32_t suffix = 0;
    int32_t result = ReadBits(reader, zeros, &suffix);
    if (result != ERR_NONE) return result;
    *value = (static_cast<uint32_t>(1) << zeros) + suffix - 1;
    return ERR_NONE;
}

// Reads one code-length table into the decoder's entries (reset first).
template <typename Reader> int32_t PlainReadCodeLengths(Reader *reader, PrefixDecoder *decoder) {
    const uint32_t n = decoder->n;
    SymbolEntry *entries = decoder->entries;
    for (uint32_t i = 0; i < n; i++) entries[i] = SymbolEntry{nullptr, 0, i};
    uint32_t count = 0;
    int32_t result = PlainReadExpGolomb(reader, &count);
    if (result != ERR_NONE || count == 0) return result;
    uint32_t width = 0;
    result = ReadBits(reader, LENGTH_WIDTH_BITS, &width);
    if (result != ERR_NONE) return result;
    uint32_t p = 0;
    while (count > 0) {
        uint32_t flag = 0;
        result = ReadBits(reader, 1, &flag);
        if (result != ERR_NONE) return result;
        if (flag != 0) {
            uint32_t length = 0;
            result = ReadBits(reader, static_cast<int32_t>(width), &length);
            if (result != ERR_NONE) return result;
            if (p >= n) return ERR_STREAM;
            entries[p].length = length;
            p++;
            count--;
        } else {
            uint32_t skip = 0;
            result = PlainReadExpGolomb(reader, &skip);
            if (result != ERR_NONE) return result;
            if (skip >= n - p) return ERR_STREAM;
            p += skip + 1;
        }
    }
    return ERR_NONE;
}

// Builds the slots and trees from the entries' lengths. Lengths above 32,
// more codes than the lengths allow and trees that need more nodes than
// the pool holds give ERR_STREAM.
int32_t BuildDecoder(PrefixDecoder *decoder);

// One symbol through the 8-bit slots and the trees. ERR_STREAM on a bit
// sequence no code covers.
template <typename Reader> int32_t DecodeSymbol(Reader *reader, const PrefixDecoder *decoder, uint32_t *symbol) {
    uint32_t v = 0;
    int32_t result = PeekBits(reader, LOOKUP_BITS, &v);
    if (result != ERR_NONE) return result;
    const LookupSlot slot = decoder->slots[v];
    if (slot.length != 0) {
        DropBits(reader, slot.length);
        *symbol = slot.value;
        return ERR_NONE;
    }
    uint16_t link = slot.value;
    if (link == LINK_NONE) return ERR_STREAM;
    DropBits(reader, LOOKUP_BITS);
    for (;;) {
        uint32_t bit = 0;
        result = ReadBits(reader, 1, &bit);
        if (result != ERR_NONE) return result;
        link = decoder->pool[link].link[bit];
        if (link == LINK_NONE) return ERR_STREAM;
        if ((link & LINK_LEAF) != 0) {
            *symbol = link & ~LINK_LEAF;
            return ERR_NONE;
        }
    }
}

#endif
