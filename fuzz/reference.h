// A second, deliberately plain decoder for the fuzz targets to compare the
// library against: one bit at a time, canonical codes decoded by counting
// codes per length, and a byte-by-byte row reconstruction in which nothing
// outside the bitmap is ever read (it reads as zero) or written (dropped).
#ifndef PXCM_FUZZ_REFERENCE_H
#define PXCM_FUZZ_REFERENCE_H

#include <stdint.h>

#include <vector>

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
    uint32_t count[33] = {};      // codes per length
    std::vector<uint32_t> sorted; // symbols by (length, symbol)
};

// Order-0 Exp-Golomb; a 26th zero bit of the prefix is refused.
inline bool RefGolomb(RefBits *bits, uint32_t *value) {
    int zeros = 0;
    while (bits->Bit() == 0) {
        if (++zeros > 25) return false;
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
    const int width = static_cast<int>(bits->Bits(3));
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
    for (uint32_t len = 1; len <= 32; len++)
        for (uint32_t s = 0; s < code->n; s++)
            if (code->lengths[s] == len) {
                code->sorted.push_back(s);
                code->count[len]++;
            }
    for (uint32_t s = 0; s < code->n; s++)
        if (code->lengths[s] > 32) return false;
    uint64_t kraft = 0; // in units of 2^-32
    for (uint32_t len = 1; len <= 32; len++) kraft += static_cast<uint64_t>(code->count[len]) << (32 - len);
    if (kraft > (1ull << 32)) return false;
    // Inner tree nodes: one per distinct prefix of 8 to length - 1 bits of
    // every code longer than 8 bits.
    std::vector<std::vector<uint64_t>> prefixes(33);
    uint64_t value = 0;
    uint32_t cur = 0;
    for (uint32_t s : code->sorted) {
        const uint32_t len = code->lengths[s];
        value <<= len - cur;
        cur = len;
        for (uint32_t k = 8; k < len; k++) prefixes[k].push_back(value >> (len - k));
        value++;
    }
    uint64_t nodes = 0;
    for (auto &list : prefixes) {
        for (size_t i = 0; i < list.size(); i++)
            if (i == 0 || list[i] != list[i - 1]) nodes++; // codes ascend, so prefixes do too
    }
    return nodes <= 2ull * code->n;
}

// One symbol, one bit at a time; false where no code fits the bits.
inline bool RefDecode(RefBits *bits, const RefCode &code, uint32_t *symbol) {
    int64_t value = 0, first = 0;
    size_t index = 0;
    for (uint32_t len = 1; len <= 32; len++) {
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
    return RefReadLengths(bits, &t->token, 342) && RefReadLengths(bits, &t->offset, 11) &&
           RefReadLengths(bits, &t->escape, 251) && RefBuild(&t->token) && RefBuild(&t->offset) &&
           RefBuild(&t->escape);
}

struct RefPicture {
    RefBits bits;
    RefTables tables;
    int32_t list[11][2] = {{-1, 0}, {0, 1}, {1, 1}, {-1, 1}, {2, 1}, {-2, 1},
                           {-2, 0}, {0, 2}, {1, 2}, {-1, 2}, {-3, 0}};
    int32_t countdown = 0;
    int64_t width = 0, height = 0, stride = 0;
    std::vector<uint8_t> buf;

    uint8_t At(int64_t pos) const {
        return pos < 0 || pos >= static_cast<int64_t>(buf.size()) ? 0 : buf[static_cast<size_t>(pos)];
    }

    bool Row(int64_t m) {
        static const int32_t DIGITS[6] = {-3, -2, -1, 0, 1, 2};
        const int64_t size = static_cast<int64_t>(buf.size());
        int64_t out = (height - 1 - m) * stride;
        int64_t count = 0;
        while (count < width) {
            if (countdown == 0) {
                if (!RefReadTableSet(&bits, &tables)) return false;
                countdown = 16383;
            } else {
                countdown--;
            }
            uint32_t t = 0, w = 0;
            if (!RefDecode(&bits, tables.token, &t) || !RefDecode(&bits, tables.offset, &w))
                return false;
            const int32_t dx = list[w][0], dy = list[w][1];
            for (uint32_t i = w; i > 0; i--) {
                list[i][0] = list[i - 1][0];
                list[i][1] = list[i - 1][1];
            }
            list[0][0] = dx;
            list[0][1] = dy;
            const int64_t src = out + dy * stride + 3 * dx;
            if (t < 216) {
                const bool black = src + 3 >= size;
                const uint32_t digit[3] = {t / 36, t / 6 % 6, t % 6};
                for (int i = 0; i < 3; i++) {
                    const int c = 2 - i;
                    int32_t v = DIGITS[digit[i]];
                    if (v == -3) {
                        uint32_t e = 0;
                        if (!RefDecode(&bits, tables.escape, &e)) return false;
                        v = static_cast<int32_t>(e) + 3;
                    }
                    const uint8_t ref = black ? 0 : At(src + c);
                    buf[static_cast<size_t>(out + c)] = static_cast<uint8_t>(ref - v);
                }
                out += 3;
                count++;
            } else {
                const int64_t n = t - 214;
                for (int64_t i = 0; i < 3 * n && out + i < size; i++)
                    buf[static_cast<size_t>(out + i)] = At(src + i);
                out += 3 * n;
                count += n;
            }
        }
        return true;
    }
};

#endif
