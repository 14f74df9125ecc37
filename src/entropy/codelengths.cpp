#include "entropy/codelengths.h"

#include <string.h>

int32_t ReadExpGolomb(BitReader *r, uint32_t *value) {
    // The prefix: zero bits up to the first one bit, at most 25 of them.
    int32_t zeros = 0;
    if (r->held < MAX_GOLOMB_ZEROS + 1) FillBits(r);
    if (r->held >= MAX_GOLOMB_ZEROS + 1) {
        if ((r->bits >> (64 - (MAX_GOLOMB_ZEROS + 1))) == 0) return ERR_STREAM;
        zeros = __builtin_clzll(r->bits);
        DropBits(r, zeros + 1);
    } else {
        // After a failed read: bit by bit, so that only the bits this
        // integer really needs can fail.
        for (;;) {
            uint32_t bit = 0;
            const int32_t result = ReadBits(r, 1, &bit);
            if (result != ERR_NONE) return result;
            if (bit != 0) break;
            if (++zeros > MAX_GOLOMB_ZEROS) return ERR_STREAM;
        }
    }
    uint32_t suffix = 0;
    const int32_t result = ReadBits(r, zeros, &suffix);
    if (result != ERR_NONE) return result;
    *value = (uint32_t{1} << zeros) + suffix - 1;
    return ERR_NONE;
}

int32_t ReadCodeLengths(BitReader *r, uint8_t *lengths, uint32_t n) {
    memset(lengths, 0, n);
    uint32_t count = 0;
    int32_t result = ReadExpGolomb(r, &count);
    if (result != ERR_NONE || count == 0) return result;
    uint32_t width = 0;
    result = ReadBits(r, LENGTH_WIDTH_BITS, &width);
    if (result != ERR_NONE) return result;
    // Every pass either stores a length at p < n or moves p forward by at
    // least one without passing n, so the loop ends within 2n passes.
    uint32_t p = 0;
    while (count > 0) {
        uint32_t flag = 0;
        result = ReadBits(r, 1, &flag);
        if (result != ERR_NONE) return result;
        if (flag != 0) {
            uint32_t length = 0;
            result = ReadBits(r, static_cast<int32_t>(width), &length);
            if (result != ERR_NONE) return result;
            if (p >= n) return ERR_STREAM;
            lengths[p] = static_cast<uint8_t>(length);
            p++;
            count--;
        } else {
            uint32_t skip = 0;
            result = ReadExpGolomb(r, &skip);
            if (result != ERR_NONE) return result;
            if (skip >= n - p) return ERR_STREAM; // p + skip + 1 > n
            p += skip + 1;
        }
    }
    return ERR_NONE;
}
