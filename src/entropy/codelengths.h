// Order-0 Exp-Golomb integers and the sparse code-length tables.
#ifndef PXCM_CODELENGTHS_H
#define PXCM_CODELENGTHS_H

#include <stdint.h>

#include "entropy/bitreader.h"

// A valid Exp-Golomb prefix has at most this many zero bits.
constexpr int32_t MAX_GOLOMB_ZEROS = 25;

struct SymbolEntry {
    SymbolEntry *next; // chain of entries sorted by length, built by BuildDecoder
    uint32_t length;   // code length in bits; 0 = no code
    uint32_t symbol;   // equal to the entry's index
};

// Both work on any reader with PeekBits/DropBits/ReadBits (BitReader, or
// the picture decoder's StreamReader).

// Reads one order-0 Exp-Golomb integer. A prefix of 26 or more zero bits
// (which is also what a stream cut short produces) gives ERR_READ.
template <typename Reader> int32_t ReadExpGolomb(Reader *reader, uint32_t *value);

// Reads one table for an alphabet of n symbols into entries[0..n). A length
// stored at a symbol past the alphabet, or a skip past its end, gives ERR_READ.
template <typename Reader>
int32_t ReadCodeLengths(Reader *reader, SymbolEntry *entries, uint32_t n);

template <typename Reader> int32_t ReadExpGolomb(Reader *reader, uint32_t *value) {
    uint32_t bit = 0;
    int32_t zeros = 0;
    for (;;) {
        int32_t result = ReadBits(reader, 1, &bit);
        if (result != ERR_NONE) return result;
        if (bit != 0) break;
        if (++zeros > MAX_GOLOMB_ZEROS) return ERR_READ;
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

template <typename Reader>
int32_t ReadCodeLengths(Reader *reader, SymbolEntry *entries, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        entries[i].next = nullptr;
        entries[i].length = 0;
        entries[i].symbol = i;
    }
    uint32_t count = 0;
    int32_t result = ReadExpGolomb(reader, &count);
    if (result != ERR_NONE || count == 0) return result;
    uint32_t width = 0;
    result = ReadBits(reader, 3, &width);
    if (result != ERR_NONE) return result;
    // Every pass either stores a length at p < n or moves p forward by at
    // least one without passing n, so the loop ends within 2n passes.
    uint32_t p = 0;
    while (count > 0) {
        uint32_t flag = 0;
        result = ReadBits(reader, 1, &flag);
        if (result != ERR_NONE) return result;
        if (flag != 0) {
            uint32_t length = 0;
            result = ReadBits(reader, static_cast<int32_t>(width), &length);
            if (result != ERR_NONE) return result;
            if (p >= n) return ERR_READ;
            entries[p].length = length;
            p++;
            count--;
        } else {
            uint32_t skip = 0;
            result = ReadExpGolomb(reader, &skip);
            if (result != ERR_NONE) return result;
            if (skip >= n - p) return ERR_READ; // p + skip + 1 > n
            p += skip + 1;
        }
    }
    return ERR_NONE;
}

#endif
