// Writing PXCM streams: the header, bits MSB-first, Exp-Golomb integers,
// sparse code-length tables and canonical codes. The reader's counterpart,
// used by the encoder and by the tests.
#ifndef PXCM_WRITER_H
#define PXCM_WRITER_H

#include <stdint.h>

#include <vector>

#include "format/format.h"

struct BitWriter {
    std::vector<uint8_t> *out; // bytes are appended here
    uint64_t acc;              // pending bits, right-aligned
    int32_t pending;           // number of pending bits, 0 to 31 between calls
};

inline void StartBitWriter(BitWriter *w, std::vector<uint8_t> *out) {
    w->out = out;
    w->acc = 0;
    w->pending = 0;
}

// Appends the low n bits of value (n from 0 to 32), most significant first.
// Inline, as the encoder calls it for every symbol. Bits go out four bytes
// at a time, so up to 31 wait in acc; the bytes appended and the pending
// bits are always all the bits put so far.
inline void PutBits(BitWriter *w, uint32_t value, int32_t n) {
    w->acc = (w->acc << n) | (value & ((static_cast<uint64_t>(1) << n) - 1));
    w->pending += n;
    if (w->pending >= 32) {
        w->pending -= 32;
        const uint32_t word = static_cast<uint32_t>(w->acc >> w->pending);
        const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                  static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
        w->out->insert(w->out->end(), bytes, bytes + 4);
        w->acc &= (static_cast<uint64_t>(1) << w->pending) - 1;
    }
}
// Appends an order-0 Exp-Golomb integer (value below 2^26 - 1).
void PutExpGolomb(BitWriter *w, uint32_t value);
// Pads the last byte with zero bits and appends every pending byte.
void FlushBits(BitWriter *w);
// Bits an Exp-Golomb integer takes.
int32_t ExpGolombBits(uint32_t value);

// Appends the 24-byte picture header.
void PutHeader(std::vector<uint8_t> *out, uint32_t width, uint32_t height);

// How a code-length table is laid out: the width of the length fields and,
// for every gap of symbols without a code, whether it is skipped or sent as
// explicit zero lengths. PutCodeLengths picks the cheapest layout.
int32_t CodeLengthBits(const uint8_t *lengths, uint32_t n);
void PutCodeLengths(BitWriter *w, const uint8_t *lengths, uint32_t n);

// Canonical codes for the given lengths: shorter codes first, equal lengths
// in symbol order. codes[i] is meaningful where lengths[i] is not 0.
void CanonicalCodes(const uint8_t *lengths, uint32_t n, uint32_t *codes);

struct PrefixCode {
    uint8_t length[512];
    uint32_t code[512];
    uint32_t n;
};

// Builds a canonical code from lengths (at most 512 symbols).
void SetPrefixCode(PrefixCode *code, const uint8_t *lengths, uint32_t n);
inline void PutSymbol(BitWriter *w, const PrefixCode *code, uint32_t symbol) {
    PutBits(w, code->code[symbol], code->length[symbol]);
}

// Length-limited code lengths (at most max_length bits) for symbol counts,
// by a Huffman code where that keeps within the limit, else by
// package-merge. Symbols with count 0 get length 0. A single used symbol
// gets length 1; no used symbol gives all zeros.
void LimitedCodeLengths(const uint64_t *counts, uint32_t n, int32_t max_length, uint8_t *lengths);

#endif
