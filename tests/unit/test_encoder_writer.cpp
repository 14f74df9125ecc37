// The stream writer: length-limited code lengths, what the decoder accepts
// (complete codes within the limit, or one code of length 1) and no worse
// than necessary; and the bits of a table set and tokens, against the
// worked example.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <queue>
#include <random>
#include <vector>

#include "encoder/writer.h"
#include "support/example.h"

namespace {

// Kraft sum scaled by 2^32: exactly 2^32 for a complete code.
uint64_t KraftSum(const std::vector<uint8_t> &lengths) {
    uint64_t sum = 0;
    for (uint8_t l : lengths)
        if (l != 0) sum += uint64_t{1} << (32 - l);
    return sum;
}

uint64_t TotalBits(const std::vector<uint64_t> &counts, const std::vector<uint8_t> &lengths) {
    uint64_t bits = 0;
    for (size_t i = 0; i < counts.size(); i++) bits += counts[i] * lengths[i];
    return bits;
}

// Cost of an unrestricted Huffman code, by the usual merging of the two
// lightest weights: the sum of all merged weights.
uint64_t HuffmanBits(const std::vector<uint64_t> &counts) {
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> q;
    for (uint64_t c : counts)
        if (c != 0) q.push(c);
    uint64_t bits = 0;
    while (q.size() > 1) {
        const uint64_t a = q.top();
        q.pop();
        const uint64_t b = q.top();
        q.pop();
        bits += a + b;
        q.push(a + b);
    }
    return bits;
}

std::vector<uint8_t> Limited(const std::vector<uint64_t> &counts, int32_t limit) {
    std::vector<uint8_t> lengths(counts.size(), 99);
    LimitedCodeLengths(counts.data(), static_cast<uint32_t>(counts.size()), limit, lengths.data());
    return lengths;
}

} // namespace

TEST(EncoderCodeLengths, CompleteAndOptimalWhenTheLimitIsLoose) {
    std::mt19937 rng(5);
    for (int32_t trial = 0; trial < 200; trial++) {
        const size_t n = 2 + rng() % 341;
        std::vector<uint64_t> counts(n);
        for (uint64_t &c : counts) c = rng() % 3 == 0 ? 0 : 1 + rng() % (1u << (rng() % 12));
        counts[rng() % n] = 1; // at least one used symbol
        counts[rng() % n] += 1000;
        const std::vector<uint8_t> lengths = Limited(counts, 24);
        size_t used = 0;
        for (size_t i = 0; i < n; i++) {
            EXPECT_EQ(lengths[i] == 0, counts[i] == 0) << "symbol " << i;
            EXPECT_LE(lengths[i], 24);
            used += counts[i] != 0;
        }
        if (used == 1) continue;
        EXPECT_EQ(KraftSum(lengths), uint64_t{1} << 32) << "trial " << trial;
        // With 24 bits the limit never binds for these counts.
        EXPECT_EQ(TotalBits(counts, lengths), HuffmanBits(counts)) << "trial " << trial;
    }
}

TEST(EncoderCodeLengths, SkewedCountsStayWithinTheLimit) {
    // Fibonacci counts make a Huffman code as deep as there are symbols.
    std::vector<uint64_t> fib(40);
    fib[0] = fib[1] = 1;
    for (size_t i = 2; i < fib.size(); i++) fib[i] = fib[i - 1] + fib[i - 2];
    for (int32_t limit : {6, 8, 12, 16}) {
        const std::vector<uint8_t> lengths = Limited(fib, limit);
        EXPECT_EQ(*std::max_element(lengths.begin(), lengths.end()), limit);
        EXPECT_EQ(KraftSum(lengths), uint64_t{1} << 32) << "limit " << limit;
        // A more frequent symbol never gets a longer code.
        for (size_t i = 1; i < fib.size(); i++) EXPECT_LE(lengths[i], lengths[i - 1]);
    }
    // A smaller limit costs bits, never saves them.
    EXPECT_GE(TotalBits(fib, Limited(fib, 8)), TotalBits(fib, Limited(fib, 16)));
    EXPECT_GE(TotalBits(fib, Limited(fib, 16)), HuffmanBits(fib));
    // 17 Fibonacci counts make a Huffman code exactly 16 deep: at a limit of
    // 16 that code itself, at 15 one bit shallower and dearer.
    const std::vector<uint64_t> fib17(fib.begin(), fib.begin() + 17);
    const std::vector<uint8_t> at16 = Limited(fib17, 16);
    EXPECT_EQ(*std::max_element(at16.begin(), at16.end()), 16);
    EXPECT_EQ(TotalBits(fib17, at16), HuffmanBits(fib17));
    const std::vector<uint8_t> at15 = Limited(fib17, 15);
    EXPECT_EQ(*std::max_element(at15.begin(), at15.end()), 15);
    EXPECT_EQ(KraftSum(at15), uint64_t{1} << 32);
    EXPECT_GT(TotalBits(fib17, at15), HuffmanBits(fib17));
}

TEST(EncoderCodeLengths, OneOrNoSymbol) {
    std::vector<uint64_t> counts(ESCAPE_SYMBOLS, 0);
    EXPECT_EQ(Limited(counts, 16), std::vector<uint8_t>(ESCAPE_SYMBOLS, 0));
    counts[ESCAPE_SYMBOLS - 1] = 7;
    std::vector<uint8_t> want(ESCAPE_SYMBOLS, 0);
    want[ESCAPE_SYMBOLS - 1] = 1;
    EXPECT_EQ(Limited(counts, 16), want);
    counts[0] = 1;
    want[0] = 1;
    EXPECT_EQ(Limited(counts, 16), want);
}

TEST(StreamWriter, WritesTheExampleBytes) {
    std::vector<uint8_t> out;
    BitWriter w;
    StartBitWriter(&w, &out);
    uint8_t tok[TOKEN_SYMBOLS] = {}, off[OFFSET_SYMBOLS] = {}, esc[ESCAPE_SYMBOLS] = {};
    tok[129] = 1;
    tok[215] = 1;
    off[0] = off[1] = 1;
    PutCodeLengths(&w, tok, TOKEN_SYMBOLS);
    PutCodeLengths(&w, off, OFFSET_SYMBOLS);
    PutCodeLengths(&w, esc, ESCAPE_SYMBOLS);
    EXPECT_EQ(out.size() * 8 + static_cast<uint64_t>(w.pending), EXAMPLE_TABLE_BITS);
    PrefixCode t, o;
    SetPrefixCode(&t, tok, TOKEN_SYMBOLS);
    SetPrefixCode(&o, off, OFFSET_SYMBOLS);
    PutSymbol(&w, &t, 215);
    PutSymbol(&w, &o, 1);
    PutSymbol(&w, &t, 129);
    PutSymbol(&w, &o, 1);
    EXPECT_EQ(out.size() * 8 + static_cast<uint64_t>(w.pending), EXAMPLE_STREAM_BITS);
    FlushBits(&w);
    EXPECT_EQ(out, ExampleStreamBytes());
    // The header the example sits behind.
    std::vector<uint8_t> header;
    PutHeader(&header, EXAMPLE_WIDTH, EXAMPLE_HEIGHT);
    EXPECT_EQ(header, HeaderBytes(EXAMPLE_WIDTH, EXAMPLE_HEIGHT));
}
