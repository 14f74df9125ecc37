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

// Reads one order-0 Exp-Golomb integer. A prefix of 26 or more zero bits
// (which is also what a stream cut short produces) gives ERR_READ.
int32_t ReadExpGolomb(BitReader *reader, uint32_t *value);

// Reads one table for an alphabet of n symbols into entries[0..n). A length
// stored at a symbol past the alphabet, or a skip past its end, gives ERR_READ.
int32_t ReadCodeLengths(BitReader *reader, SymbolEntry *entries, uint32_t n);

#endif
