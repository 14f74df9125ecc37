// A second, deliberately plain decoder of the whole format for the tests
// and fuzz targets to compare the library against: one bit at a time,
// canonical codes decoded by counting codes per length, and a byte-by-byte
// row reconstruction in which nothing outside the bitmap is ever read (it
// reads as zero) or written (dropped).
#ifndef PXCM_TESTS_REFERENCE_BITS_H
#define PXCM_TESTS_REFERENCE_BITS_H

#include <stdint.h>

#include <vector>

#include "format/format.h"

struct RefBits {
    const uint8_t *data;
    size_t size;
    uint64_t pos = 0; // in bits

    uint32_t Bit() {
        const uint64_t byte = pos / 8;
        const uint32_t b = byte < size ? (data[byte] >> (7 - pos % 8)) & 1 : 0;
        pos++;
        return b;
    }
    uint32_t Bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++) v = v << 1 | Bit();
        return v;
    }
    uint32_t Peek(int n) const {
        RefBits copy = *this;
        return copy.Bits(n);
    }
};

struct RefCode {
    uint32_t n = 0;
    std::vector<uint32_t> lengths;
    uint32_t count[MAX_CODE_LENGTH + 1] = {};      // codes per length
    std::vector<uint32_t> sorted; // symbols by (length, symbol)
};

// Order-0 Exp-Golomb; a 26th zero bit of the prefix is refused.
inline bool RefGolomb(RefBits *bits, uint32_t *value) {
    int zeros = 0;
    while (bits->Bit() == 0) {
        if (++zeros > MAX_GOLOMB_ZEROS) return false;
    }
    *value = zeros == 0 ? 0 : (1u << zeros) + bits->Bits(zeros) - 1;
    return true;
}

inline bool RefReadLengths(RefBits *bits, RefCode *code, uint32_t n) {
    code->n = n;
    code->lengths.assign(n, 0);
    uint32_t c = 0;
    if (!RefGolomb(bits, &c)) return false;
    if (c == 0) return true;
    const int width = static_cast<int>(bits->Bits(LENGTH_WIDTH_BITS));
    uint64_t p = 0;
    while (c > 0) {
        if (bits->Bit()) {
            const uint32_t length = bits->Bits(width);
            if (p >= n) return false;
            code->lengths[p++] = length;
            c--;
        } else {
            uint32_t k = 0;
            if (!RefGolomb(bits, &k)) return false;
            p += static_cast<uint64_t>(k) + 1;
            if (p > n) return false;
        }
    }
    return true;
}

// False for lengths no canonical code can have, for more codes than the
// lengths allow, and for long codes whose trees need more than 2n nodes.
inline bool RefBuild(RefCode *code) {
    for (uint32_t &c : code->count) c = 0;
    code->sorted.clear();
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; len++)
        for (uint32_t s = 0; s < code->n; s++)
            if (code->lengths[s] == len) {
                code->sorted.push_back(s);
                code->count[len]++;
            }
    for (uint32_t s = 0; s < code->n; s++)
        if (code->lengths[s] > MAX_CODE_LENGTH) return false;
    uint64_t kraft = 0; // in units of 2^-32
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; len++) kraft += static_cast<uint64_t>(code->count[len]) << (MAX_CODE_LENGTH - len);
    if (kraft > (1ull << MAX_CODE_LENGTH)) return false;
    // Inner tree nodes: one per distinct prefix of 8 to length - 1 bits of
    // every code longer than 8 bits.
    std::vector<std::vector<uint64_t>> prefixes(MAX_CODE_LENGTH + 1);
    uint64_t value = 0;
    uint32_t cur = 0;
    for (uint32_t s : code->sorted) {
        const uint32_t len = code->lengths[s];
        value <<= len - cur;
        cur = len;
        for (uint32_t k = TREE_ROOT_BITS; k < len; k++) prefixes[k].push_back(value >> (len - k));
        value++;
    }
    uint64_t nodes = 0;
    for (auto &list : prefixes) {
        for (size_t i = 0; i < list.size(); i++)
            if (i == 0 || list[i] != list[i - 1]) nodes++; // codes ascend, so prefixes do too
    }
    return nodes <= TreeNodeLimit(code->n);
}

// One symbol, one bit at a time; false where no code fits the bits.
inline bool RefDecode(RefBits *bits, const RefCode &code, uint32_t *symbol) {
    int64_t value = 0, first = 0;
    size_t index = 0;
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; len++) {
        value |= bits->Bit();
        const int64_t count = code.count[len];
        if (value - first < count) {
            *symbol = code.sorted[index + static_cast<size_t>(value - first)];
            return true;
        }
        index += static_cast<size_t>(count);
        first = (first + count) << 1;
        value <<= 1;
    }
    return false;
}

struct RefTables {
    RefCode token, offset, escape;
};

inline bool RefReadTableSet(RefBits *bits, RefTables *t) {
    return RefReadLengths(bits, &t->token, TOKEN_SYMBOLS) && RefReadLengths(bits, &t->offset, OFFSET_SYMBOLS) &&
           RefReadLengths(bits, &t->escape, ESCAPE_SYMBOLS) && RefBuild(&t->token) && RefBuild(&t->offset) &&
           RefBuild(&t->escape);
}

struct RefPicture {
    RefBits bits;
    RefTables tables;
    std::vector<OffsetPair> list{INITIAL_OFFSETS, INITIAL_OFFSETS + OFFSET_COUNT};
    int32_t countdown = 0;
    int64_t width = 0, height = 0, stride = 0;
    std::vector<uint8_t> buf;

    // Ready to decode the picture of a whole file (header and stream) of
    // the given size, at least a header, into a bitmap of zeros.
    void Start(const uint8_t *file, size_t size, uint32_t w, uint32_t h) {
        bits = RefBits{file + HEADER_SIZE, size - HEADER_SIZE};
        width = w;
        height = h;
        stride = RowStride(w);
        buf.assign(static_cast<size_t>(BitmapSize(w, h)), 0);
    }

    uint8_t At(int64_t pos) const {
        return pos < 0 || pos >= static_cast<int64_t>(buf.size()) ? 0 : buf[static_cast<size_t>(pos)];
    }

    bool Row(int64_t m) {
        const int64_t size = static_cast<int64_t>(buf.size());
        int64_t out = (height - 1 - m) * stride;
        int64_t count = 0;
        while (count < width) {
            if (countdown == 0) {
                if (!RefReadTableSet(&bits, &tables)) return false;
                countdown = REBUILD_PERIOD - 1;
            } else {
                countdown--;
            }
            uint32_t t = 0, w = 0;
            if (!RefDecode(&bits, tables.token, &t) || !RefDecode(&bits, tables.offset, &w))
                return false;
            const OffsetPair chosen = list[w];
            for (uint32_t i = w; i > 0; i--) list[i] = list[i - 1];
            list[0] = chosen;
            const int64_t src = out + chosen.dy * stride + PIXEL_BYTES * chosen.dx;
            if (t < LITERAL_TOKENS) {
                const bool black = src + PIXEL_BYTES >= size;
                const uint32_t digit[3] = {RedDigit(t), GreenDigit(t), BlueDigit(t)};
                const int channel[3] = {RED_BYTE, GREEN_BYTE, BLUE_BYTE};
                for (int i = 0; i < 3; i++) {
                    const int c = channel[i];
                    int32_t v = DIGIT_VALUES[digit[i]];
                    if (v == DIGIT_ESCAPE) {
                        uint32_t e = 0;
                        if (!RefDecode(&bits, tables.escape, &e)) return false;
                        v = static_cast<int32_t>(e + ESCAPE_BIAS);
                    }
                    const uint8_t ref = black ? 0 : At(src + c);
                    buf[static_cast<size_t>(out + c)] = static_cast<uint8_t>(ref - v);
                }
                out += PIXEL_BYTES;
                count++;
            } else {
                const int64_t n = RunLength(t);
                for (int64_t i = 0; i < PIXEL_BYTES * n && out + i < size; i++)
                    buf[static_cast<size_t>(out + i)] = At(src + i);
                out += PIXEL_BYTES * n;
                count += n;
            }
        }
        return true;
    }
};

#endif
