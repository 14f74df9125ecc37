// The bit reader, Exp-Golomb integers, code-length tables and the canonical
// prefix-code tables, each over a few hand-made bytes; the plain reference
// reader and tree decoder where their own rules are pinned, and against the
// library's.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "entropy/bitreader.h"
#include "entropy/codelengths.h"
#include "entropy/decodetable.h"
#include "support/support.h"

namespace {

class BitReading : public WithFaults {};

// The i-th bit of the bytes, zero past their end.
uint32_t BitAt(const std::vector<uint8_t> &bytes, uint64_t i) {
    if (i / 8 >= bytes.size()) return 0;
    return (bytes[i / 8] >> (7 - i % 8)) & 1;
}

uint32_t BitsAt(const std::vector<uint8_t> &bytes, uint64_t i, int32_t n) {
    uint32_t v = 0;
    for (int32_t k = 0; k < n; k++) v = v << 1 | BitAt(bytes, i + k);
    return v;
}

} // namespace

// ---------------------------------------------------------------- bit readers
// The plain reader first: one to four bytes per refill, as REFILL_BYTES says.

TEST_F(BitReading, ByteExamples) {
    ByteReader b({0xB4, 0x05});
    uint32_t v = 0;
    ASSERT_EQ(ReadBits(&b.plain, 3, &v), ERR_NONE);
    EXPECT_EQ(v, 5u);
    ASSERT_EQ(ReadBits(&b.plain, 5, &v), ERR_NONE);
    EXPECT_EQ(v, 20u);
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE);
    EXPECT_EQ(v, 5u);
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE); // a peek consumes nothing
    EXPECT_EQ(v, 5u);
}

TEST_F(BitReading, ZeroBitsPastTheEndOfASingleByte) {
    ByteReader b({0xFF});
    uint32_t v = 0;
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE);
    EXPECT_EQ(v, 0xFFu);
    EXPECT_EQ(b.plain.held, 8);
    DropBits(&b.plain, 3);
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE);
    EXPECT_EQ(v, 0xF8u);
    DropBits(&b.plain, 5);
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE);
    EXPECT_EQ(v, 0u);
    // Dropping more than is left, again and again, is still no error.
    for (int i = 0; i < 5; i++) {
        DropBits(&b.plain, 8);
        ASSERT_EQ(PeekBits(&b.plain, 25, &v), ERR_NONE);
        EXPECT_EQ(v, 0u);
    }
}

TEST_F(BitReading, ShortDeliveryIsTheEndOfTheData) {
    ByteReader b({0xAB, 0xCD});
    uint32_t v = 0;
    ASSERT_EQ(PeekBits(&b.plain, 16, &v), ERR_NONE);
    EXPECT_EQ(v, 0xABCDu);
    EXPECT_EQ(FaultsCalls(CALL_READ), 1); // one request of 4 bytes, 2 delivered
    EXPECT_EQ(b.plain.held, 16);
    ASSERT_EQ(PeekBits(&b.plain, 20, &v), ERR_NONE);
    EXPECT_EQ(v, 0xABCD0u);
    ASSERT_EQ(ReadBits(&b.plain, 4, &v), ERR_NONE);
    EXPECT_EQ(v, 0xAu);
    ASSERT_EQ(ReadBits(&b.plain, 16, &v), ERR_NONE);
    EXPECT_EQ(v, 0xBCD0u);
}

TEST_F(BitReading, RefillTakesOnlyTheBytesThatFit) {
    ByteReader b({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99});
    uint32_t v = 0;
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE);
    EXPECT_EQ(b.plain.held, 32);
    DropBits(&b.plain, 26);
    ASSERT_EQ(b.plain.held, 6);
    ASSERT_EQ(PeekBits(&b.plain, 8, &v), ERR_NONE);
    EXPECT_EQ(b.plain.held, 30);
    EXPECT_EQ(v, 0x11u); // the low 6 bits of 0x44, then the top 2 of 0x55
    // Exactly 3 bytes were taken: the source goes on at 0x88.
    uint8_t rest[4] = {};
    EXPECT_EQ(ReadSome(b.source, rest, 4), 2);
    EXPECT_EQ(rest[0], 0x88);
    EXPECT_EQ(rest[1], 0x99);
}

TEST_F(BitReading, ReadErrorIsReported) {
    {
        ByteReader b({1, 2, 3, 4, 5, 6});
        FaultsArm(CALL_READ, 1);
        uint32_t v = 0;
        EXPECT_EQ(PeekBits(&b.plain, 1, &v), ERR_READ);
    }
    {
        // An error on a later refill, after good bytes.
        FaultsReset();
        ByteReader b({1, 2, 3, 4, 5, 6});
        FaultsArm(CALL_READ, 2);
        uint32_t v = 0;
        ASSERT_EQ(ReadBits(&b.plain, 24, &v), ERR_NONE);
        EXPECT_EQ(v, 0x010203u);
        EXPECT_EQ(ReadBits(&b.plain, 16, &v), ERR_READ);
    }
}

TEST_F(BitReading, AnyPeekAndDropSequenceMatchesTheBits) {
    // Both readers, the library's over memory and the plain one over a
    // memory source, deliver the bytes' bits and zero bits after them.
    std::mt19937 rng(7);
    for (int round = 0; round < 50; round++) {
        std::vector<uint8_t> bytes(1 + rng() % 40);
        for (auto &x : bytes) x = static_cast<uint8_t>(rng());
        ByteReader b(bytes);
        uint64_t pos = 0;
        while (pos < bytes.size() * 8 + 64) {
            const int32_t n = static_cast<int32_t>(rng() % 26);
            uint32_t v = 0, w = 0;
            ASSERT_EQ(PeekBits(&b.plain, n, &v), ERR_NONE);
            ASSERT_EQ(v, BitsAt(bytes, pos, n)) << "round " << round << " bit " << pos << " n " << n;
            ASSERT_EQ(PeekBits(&b.reader, n, &w), ERR_NONE);
            ASSERT_EQ(w, v) << "round " << round << " bit " << pos << " n " << n;
            const int32_t drop = n == 0 ? 0 : static_cast<int32_t>(rng() % (n + 1));
            DropBits(&b.plain, drop);
            DropBits(&b.reader, drop);
            pos += drop;
            ASSERT_EQ(BitsUsed(&b.reader), pos);
            ASSERT_EQ(BitsPastEnd(&b.reader), pos > 8 * bytes.size() ? pos - 8 * bytes.size() : 0);
        }
    }
}

TEST_F(BitReading, ChunkedReaderDeliversTheSameBitsAcrossChunks) {
    // The picture decoder's reader pulls the source in large chunks; sizes
    // around a chunk boundary, then zero bits past the end of the data.
    std::mt19937 rng(11);
    std::vector<uint8_t> chunk(READ_CHUNK);
    for (size_t size : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{READ_CHUNK - 1},
                        size_t{READ_CHUNK}, size_t{READ_CHUNK + 1}, size_t{2 * READ_CHUNK + 5}}) {
        std::vector<uint8_t> bytes(size);
        for (auto &x : bytes) x = static_cast<uint8_t>(rng());
        ByteReader b(bytes);
        BitReader r;
        StartSourceReader(&r, b.source, chunk.data());
        uint64_t pos = 0;
        while (pos < size * 8 + 200) {
            const int32_t n = static_cast<int32_t>(rng() % 33);
            uint32_t v = 0;
            ASSERT_EQ(PeekBits(&r, n, &v), ERR_NONE) << size << " at bit " << pos;
            ASSERT_EQ(v, BitsAt(bytes, pos, n)) << size << " at bit " << pos << " n " << n;
            const int32_t drop = n == 0 ? 0 : static_cast<int32_t>(rng() % (n + 1));
            DropBits(&r, drop);
            pos += drop;
            ASSERT_EQ(BitsUsed(&r), pos) << size;
            ASSERT_EQ(BitsPastEnd(&r), pos > 8 * size ? pos - 8 * size : 0) << size << " at bit " << pos;
        }
    }
}

TEST_F(BitReading, ChunkedReaderReportsAFailedReadWhenItsBitsRunOut) {
    std::vector<uint8_t> bytes(READ_CHUNK + 100, 0xA5);
    ByteReader b(bytes);
    std::vector<uint8_t> chunk(READ_CHUNK);
    BitReader r;
    StartSourceReader(&r, b.source, chunk.data());
    FaultsArm(CALL_READ, 2); // the second chunk
    uint32_t v = 0;
    int32_t result = ERR_NONE;
    uint64_t bits = 0;
    while (bits < 8 * bytes.size() && (result = ReadBits(&r, 8, &v)) == ERR_NONE) {
        ASSERT_EQ(v, 0xA5u);
        bits += 8;
    }
    EXPECT_EQ(result, ERR_READ);
    EXPECT_EQ(bits, 8u * READ_CHUNK); // every bit of the first chunk came through
    EXPECT_EQ(BitsPastEnd(&r), 0u);     // a failed read is no end of the data
}

// ---------------------------------------------------------------- Exp-Golomb

TEST(ExpGolomb, Examples) {
    const std::string zeros24(24, '0'), zeros25(25, '0'), ones25(25, '1');
    const struct {
        std::string bits;
        uint32_t value;
    } cases[] = {
        {"1", 0},
        {"010", 1},
        {"011", 2},
        {"00100", 3},
        {"00111", 6},
        {"0001000", 7},
        {zeros24 + "1" + zeros24, (1u << 24) - 1},
        {zeros24 + "1" + std::string(24, '1'), (1u << 25) - 2},
        {zeros25 + "1" + zeros25, (1u << 25) - 1}, // the longest valid prefix
        {zeros25 + "1" + ones25, (1u << 26) - 2},
    };
    for (const auto &c : cases) {
        // A marker after the code shows that exactly the code was consumed.
        ByteReader b(BitString(c.bits + "10110"));
        uint32_t v = 12345;
        ASSERT_EQ(ReadExpGolomb(&b.reader, &v), ERR_NONE) << c.bits;
        EXPECT_EQ(v, c.value) << c.bits;
        uint32_t marker = 0;
        ASSERT_EQ(ReadBits(&b.reader, 5, &marker), ERR_NONE);
        EXPECT_EQ(marker, 0x16u) << c.bits;
    }
}

TEST(ExpGolomb, TooLongPrefixIsRefused) {
    // A 26th zero bit ends the count, whether the bits are in the data or
    // are the zeros that follow its end.
    for (const std::string &bits : {std::string(26, '0') + "1" + std::string(26, '1'),
                                    std::string(40, '0') + "1", std::string("0")}) {
        ByteReader b(BitString(bits));
        uint32_t v = 0;
        EXPECT_EQ(ReadExpGolomb(&b.reader, &v), ERR_STREAM) << bits.size();
        // The reference's rule is the same.
        EXPECT_EQ(PlainReadExpGolomb(&b.plain, &v), ERR_STREAM) << bits.size();
    }
}

// ---------------------------------------------------------------- code lengths

namespace {

// Lengths for n symbols followed by guard bytes that must stay untouched.
struct Entries {
    explicit Entries(uint32_t n) : n(n), all(n + 4, 77) {}
    uint32_t n;
    std::vector<uint8_t> all;
    std::vector<uint32_t> Lengths() const { return std::vector<uint32_t>(all.begin(), all.begin() + n); }
    bool GuardsIntact() const {
        for (uint32_t i = n; i < all.size(); i++)
            if (all[i] != 77) return false;
        return true;
    }
};

} // namespace

TEST(CodeLengths, TablesThatParse) {
    const struct {
        const char *what;
        std::string bits;
        uint32_t n;
        std::vector<uint32_t> lengths;
    } cases[] = {
        {"no lengths", "1", 11, std::vector<uint32_t>(11, 0)},
        {"lengths and a skip", "011 010 1 01 0 00100 1 11", 11, {1, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0}},
        {"width 0 counts", "011 000 1 1", 4, {0, 0, 0, 0}},
        {"width 7", "010 111 0 011 1 1111111", 5, {0, 0, 0, 127, 0}},
        {"last symbol after a skip", "010 001 0 0001010 1 1", 11, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    };
    for (const auto &c : cases) {
        ByteReader b(BitString(c.bits + "110"));
        Entries e(c.n);
        ASSERT_EQ(ReadCodeLengths(&b.reader, e.all.data(), c.n), ERR_NONE) << c.what;
        EXPECT_EQ(e.Lengths(), c.lengths) << c.what;
        EXPECT_TRUE(e.GuardsIntact()) << c.what;
        uint32_t marker = 0;
        ASSERT_EQ(ReadBits(&b.reader, 3, &marker), ERR_NONE);
        EXPECT_EQ(marker, 6u) << c.what << ": read too much or too little";
    }
}

TEST(CodeLengths, OutsideTheAlphabetIsRefused) {
    const struct {
        const char *what;
        std::string bits;
    } cases[] = {
        {"length at p = n after a skip", "010 001 0 0001011 1 1"},
        {"skip past n", "010 001 0 0001100 1 1"},
        {"skip exactly to n, then a length", "011 001 1 1 0 0001010 1 1"},
        {"more lengths than symbols", "0001101 001" + std::string(12 * 2, '1')},
        {"huge skip", "011 001 1 1 0 " + std::string(25, '0') + "1" + std::string(25, '1')},
        {"count from zero bits", "0"},
        {"skip from zero bits", "010 001 0"},
    };
    for (const auto &c : cases) {
        ByteReader b(BitString(c.bits));
        Entries e(11);
        EXPECT_EQ(ReadCodeLengths(&b.reader, e.all.data(), 11), ERR_STREAM) << c.what;
        EXPECT_TRUE(e.GuardsIntact()) << c.what;
    }
}

// ---------------------------------------------------------------- prefix codes

namespace {

// One alphabet's table and its size.
struct Alphabet {
    DecodeTable *table;
    uint32_t n;
};

// A WorkBlock of our own, for building single tables.
struct Decoders {
    Decoders() : work(std::make_unique<WorkBlock>()) {}
    std::unique_ptr<WorkBlock> work;
    Alphabet escape() { return {&work->escape, ESCAPE_SYMBOLS}; }
    Alphabet offset() { return {&work->offset, OFFSET_SYMBOLS}; }
    Alphabet token() { return {&work->token, TOKEN_SYMBOLS}; }
};

int32_t Build(Alphabet a, const std::vector<uint32_t> &lengths) {
    std::vector<uint8_t> l(a.n, 0);
    for (uint32_t i = 0; i < a.n && i < lengths.size(); i++) l[i] = static_cast<uint8_t>(lengths[i]);
    return BuildDecodeTable(a.table, l.data(), a.n);
}

struct Slot {
    int32_t result;
    uint32_t symbol;
    int32_t length; // bits consumed; -2 when that cannot be told
};

// Decodes from the given bits followed by a fixed tail, and finds how many
// bits went by matching the 24 bits read next against the stream.
Slot DecodeFrom(Alphabet d, uint64_t v, int32_t bits = 8) {
    std::vector<uint8_t> bytes;
    BitWriter w;
    StartBitWriter(&w, &bytes);
    PutBits(&w, static_cast<uint32_t>(v >> 32), bits > 32 ? bits - 32 : 0);
    PutBits(&w, static_cast<uint32_t>(v), bits > 32 ? 32 : bits);
    for (uint8_t t : {0x96, 0xC3, 0xA5, 0x0F, 0x71, 0x3C}) PutBits(&w, t, 8);
    FlushBits(&w);
    ByteReader b(bytes);
    Slot s{0, 0, -1};
    s.result = DecodeSymbol(&b.reader, d.table, &s.symbol);
    if (s.result != ERR_NONE) return s;
    uint32_t next = 0;
    if (ReadBits(&b.reader, 24, &next) != ERR_NONE) return s;
    for (int32_t used = 0; used <= bits + 8; used++) {
        if (BitsAt(bytes, static_cast<uint64_t>(used), 24) != next) continue;
        s.length = s.length == -1 ? used : -2;
    }
    return s;
}

// Expected symbol and length for each 8-bit look-ahead (symbol -1:
// refused; -2: not checked here).
void ExpectSlots(Alphabet d, const std::function<std::pair<int, int>(uint32_t)> &want,
                 const char *what) {
    for (uint32_t v = 0; v < 256; v++) {
        const auto [symbol, length] = want(v);
        if (symbol == -2) continue;
        const Slot s = DecodeFrom(d, v);
        if (symbol < 0) {
            EXPECT_EQ(s.result, ERR_STREAM) << what << " v=" << v;
            continue;
        }
        ASSERT_EQ(s.result, ERR_NONE) << what << " v=" << v;
        EXPECT_EQ(s.symbol, static_cast<uint32_t>(symbol)) << what << " v=" << v;
        EXPECT_EQ(s.length, length) << what << " v=" << v;
    }
}

} // namespace

TEST(PrefixCode, CodeExamples) {
    Decoders d;
    ASSERT_EQ(Build(d.escape(), {1, 2, 3, 3}), ERR_NONE);
    ExpectSlots(d.escape(), [](uint32_t v) -> std::pair<int, int> {
        return v < 128 ? std::pair{0, 1} : v < 192 ? std::pair{1, 2} : v < 224 ? std::pair{2, 3} : std::pair{3, 3};
    }, "1,2,3,3");

    ASSERT_EQ(Build(d.escape(), {2, 2, 2, 2}), ERR_NONE);
    ExpectSlots(d.escape(), [](uint32_t v) { return std::pair{static_cast<int>(v >> 6), 2}; },
                "2,2,2,2");

    ASSERT_EQ(Build(d.escape(), {3, 0, 1, 3, 2}), ERR_NONE);
    ExpectSlots(d.escape(), [](uint32_t v) -> std::pair<int, int> {
        return v < 128 ? std::pair{2, 1} : v < 192 ? std::pair{4, 2} : v < 224 ? std::pair{0, 3} : std::pair{3, 3};
    }, "3,0,1,3,2");

    ASSERT_EQ(Build(d.escape(), {1, 8}), ERR_NONE);
    ExpectSlots(d.escape(), [](uint32_t v) -> std::pair<int, int> {
        return v < 128 ? std::pair{0, 1} : v == 128 ? std::pair{1, 8} : std::pair{-1, 0};
    }, "1,8");

    ASSERT_EQ(Build(d.escape(), {0, 0, 0, 1}), ERR_NONE);
    ExpectSlots(d.escape(), [](uint32_t v) -> std::pair<int, int> {
        return v < 128 ? std::pair{3, 1} : std::pair{-1, 0};
    }, "single length-1 code");
}

TEST(PrefixCode, NineBitCodesHangBelowTheLastSlot) {
    Decoders d;
    ASSERT_EQ(Build(d.escape(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 9}), ERR_NONE);
    ExpectSlots(d.escape(), [](uint32_t v) -> std::pair<int, int> {
        if (v == 255) return {-2, 0}; // checked below
        int ones = 0;
        while (ones < 8 && (v >> (7 - ones) & 1)) ones++;
        return {ones, ones == 7 ? 8 : ones + 1};
    }, "1..9,9" );
    Slot s = DecodeFrom(d.escape(), 0x1FE, 9);
    EXPECT_EQ(s.result, ERR_NONE);
    EXPECT_EQ(s.symbol, 8u);
    EXPECT_EQ(s.length, 9);
    s = DecodeFrom(d.escape(), 0x1FF, 9);
    EXPECT_EQ(s.result, ERR_NONE);
    EXPECT_EQ(s.symbol, 9u);
    EXPECT_EQ(s.length, 9);
}

TEST(PrefixCode, CompleteCodesRoundTripUpTo32Bits) {
    // Fibonacci counts give a code with one symbol at every length from 1
    // to 32; random counts give ordinary codes. Every symbol written with
    // the canonical codes decodes back.
    std::mt19937 rng(3);
    Decoders d;
    for (int round = 0; round < 12; round++) {
        Alphabet dec = round % 3 == 0 ? d.token() : round % 3 == 1 ? d.escape() : d.offset();
        const uint32_t n = dec.n;
        std::vector<uint64_t> counts(n, 0);
        if (round < 2) {
            uint64_t a = 1, b = 1;
            for (uint32_t i = 0; i < 33 && i < n; i++) {
                counts[i] = a;
                const uint64_t c = a + b;
                a = b;
                b = c;
            }
        } else {
            for (auto &c : counts) c = rng() % 4 == 0 ? 0 : 1 + (rng() % 1000) * (rng() % 1000);
        }
        std::vector<uint8_t> lengths(n);
        LimitedCodeLengths(counts.data(), n, 32, lengths.data());
        if (round < 2) {
            ASSERT_EQ(*std::max_element(lengths.begin(), lengths.end()), 32);
        }
        std::vector<uint32_t> wide(lengths.begin(), lengths.end());
        ASSERT_EQ(Build(dec, wide), ERR_NONE) << round;

        PrefixCode code;
        SetPrefixCode(&code, lengths.data(), n);
        std::vector<uint32_t> symbols;
        for (uint32_t i = 0; i < n; i++)
            if (lengths[i] != 0) symbols.push_back(i);
        for (int k = 0; k < 500; k++) symbols.push_back(symbols[rng() % symbols.size()]);
        std::vector<uint8_t> bytes;
        BitWriter w;
        StartBitWriter(&w, &bytes);
        for (uint32_t s : symbols) PutSymbol(&w, &code, s);
        FlushBits(&w);
        ByteReader b(bytes);
        for (size_t k = 0; k < symbols.size(); k++) {
            uint32_t got = 0;
            ASSERT_EQ(DecodeSymbol(&b.reader, dec.table, &got), ERR_NONE) << round << " " << k;
            ASSERT_EQ(got, symbols[k]) << round << " " << k;
        }
    }
}

TEST(PrefixCode, RefusedLengths) {
    std::vector<uint32_t> two_fifty_eight(258, 0);
    for (int i = 0; i < 255; i++) two_fifty_eight[i] = 8;
    for (int i = 255; i < 258; i++) two_fifty_eight[i] = 9;
    std::vector<uint32_t> all_eight(257, 8);
    const struct {
        const char *what;
        std::vector<uint32_t> lengths;
    } cases[] = {
        {"three codes of length 1", {1, 1, 1}},
        {"five codes of length 2", {2, 2, 2, 2, 2}},
        {"257 codes of length 8", all_eight},
        {"one 9-bit code too many", {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9}},
        {"255 of 8 bits and 3 of 9", two_fifty_eight},
        {"length 33", {33}},
        {"length 33 after a short one", {1, 33}},
        {"length 127", {0, 127}},
    };
    for (const auto &c : cases) {
        Decoders d;
        EXPECT_EQ(Build(d.token(), c.lengths), ERR_STREAM) << c.what;
    }
}

TEST(PrefixCode, ThirtyTwoBitCodeIsAccepted) {
    Decoders d;
    ASSERT_EQ(Build(d.escape(), {0, 0, 32}), ERR_NONE);
    Slot s = DecodeFrom(d.escape(), 0, 32);
    EXPECT_EQ(s.result, ERR_NONE);
    EXPECT_EQ(s.symbol, 2u);
    EXPECT_EQ(s.length, 32);
    EXPECT_EQ(DecodeFrom(d.escape(), 1, 32).result, ERR_STREAM);
}

TEST(PrefixCode, NothingDecodesFromAnAlphabetWithoutCodes) {
    Decoders d;
    for (Alphabet dec : {d.token(), d.offset(), d.escape()}) {
        ASSERT_EQ(Build(dec, {}), ERR_NONE);
        EXPECT_EQ(DecodeFrom(dec, 0).result, ERR_STREAM);
        EXPECT_EQ(DecodeFrom(dec, 0xFF).result, ERR_STREAM);
        EXPECT_EQ(DecodeFrom(dec, 0xFFFFFFFF, 32).result, ERR_STREAM);
    }
}

TEST(PrefixCode, IncompleteCodeRefusesItsGaps) {
    Decoders d;
    ASSERT_EQ(Build(d.escape(), {1, 9}), ERR_NONE); // codes 0 and 100000000
    EXPECT_EQ(DecodeFrom(d.escape(), 0, 1).symbol, 0u);
    Slot s = DecodeFrom(d.escape(), 0x100, 9);
    EXPECT_EQ(s.result, ERR_NONE);
    EXPECT_EQ(s.symbol, 1u);
    EXPECT_EQ(DecodeFrom(d.escape(), 0x101, 9).result, ERR_STREAM); // a gap among the long codes
    EXPECT_EQ(DecodeFrom(d.escape(), 0x81).result, ERR_STREAM);     // no code starts like this
    EXPECT_EQ(DecodeFrom(d.escape(), 0xFF).result, ERR_STREAM);
}

TEST(PrefixCode, NothingIsLeftOverFromTheLastTableSet) {
    Decoders d;
    ASSERT_EQ(Build(d.escape(), {1, 1}), ERR_NONE);
    EXPECT_EQ(DecodeFrom(d.escape(), 0x80).symbol, 1u);
    ASSERT_EQ(Build(d.escape(), {1}), ERR_NONE);
    EXPECT_EQ(DecodeFrom(d.escape(), 0x80).result, ERR_STREAM);

    ASSERT_EQ(Build(d.escape(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 9}), ERR_NONE);
    EXPECT_EQ(DecodeFrom(d.escape(), 0x1FF, 9).symbol, 9u);
    ASSERT_EQ(Build(d.escape(), {1, 2}), ERR_NONE); // codes 11... now unfilled
    EXPECT_EQ(DecodeFrom(d.escape(), 0x1FF, 9).result, ERR_STREAM);
    EXPECT_EQ(DecodeFrom(d.escape(), 0xC0).result, ERR_STREAM);
    EXPECT_EQ(DecodeFrom(d.escape(), 0xBF).symbol, 1u);

    ASSERT_EQ(Build(d.escape(), {14, 14, 1}), ERR_NONE); // long codes, then none
    EXPECT_EQ(DecodeFrom(d.escape(), 0x2000, 14).symbol, 0u);
    ASSERT_EQ(Build(d.escape(), {0, 0, 1}), ERR_NONE);
    EXPECT_EQ(DecodeFrom(d.escape(), 0x2000, 14).result, ERR_STREAM);
}

TEST(PrefixCode, LongCodesThatOverflowTheNodePoolAreRefused) {
    // The format's decoders hang the codes longer than 8 bits in binary
    // trees whose nodes come from a pool of 2 n. The offset alphabet's pool
    // holds 22 nodes; one 32-bit code needs a path of 24 below its slot.
    // Complete codes always fit (see the round-trip test), and for the
    // token and escape alphabets no set of lengths comes near twice the
    // alphabet: k codes of one length share all but about k + 24 nodes.
    Decoders d;
    const std::vector<uint32_t> cases[] = {
        {32},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32},
        {27, 29, 29, 30, 30, 31, 31, 31, 32, 32, 32},
    };
    for (const auto &lengths : cases) EXPECT_EQ(Build(d.offset(), lengths), ERR_STREAM) << lengths.size();
    // 22 nodes exactly fit: a 30-bit code needs 22.
    EXPECT_EQ(Build(d.offset(), {30}), ERR_NONE);
    EXPECT_EQ(Build(d.offset(), {31}), ERR_STREAM);
    // The same 32-bit code fits the larger pools.
    EXPECT_EQ(Build(d.escape(), {32}), ERR_NONE);
    EXPECT_EQ(Build(d.token(), {32}), ERR_NONE);
}

TEST(PrefixCode, TablesAgreeWithTheTreeReference) {
    // Random lengths, complete and incomplete and refused alike: the table
    // accepts exactly the sets the slots-and-trees reference builds, and
    // then decodes every bit sequence to the same symbol, the same number
    // of bits, or the same refusal.
    std::mt19937 rng(21);
    Decoders d;
    auto reference = std::make_unique<PrefixDecoder>();
    int built = 0, refused = 0;
    for (int round = 0; round < 3000; round++) {
        const Alphabet a = round % 3 == 0 ? d.offset() : round % 3 == 1 ? d.escape() : d.token();
        std::vector<uint8_t> lengths(a.n, 0);
        const uint32_t used = 1 + rng() % (round % 5 == 0 ? a.n : std::min<uint32_t>(a.n, 12));
        const uint32_t top = round % 4 == 0 ? 33 : 8 + rng() % 17;
        for (uint32_t k = 0; k < used; k++) lengths[rng() % a.n] = static_cast<uint8_t>(1 + rng() % top);
        if (round % 7 == 0) { // a complete code
            std::vector<uint64_t> counts(a.n);
            for (auto &c : counts) c = rng() % 3 == 0 ? 0 : 1 + rng() % 5000;
            LimitedCodeLengths(counts.data(), a.n, 8 + static_cast<int32_t>(rng() % 25), lengths.data());
        }
        InitDecoder(reference.get(), a.n);
        for (uint32_t s = 0; s < a.n; s++) reference->entries[s].length = lengths[s];
        const int32_t want = BuildDecoder(reference.get());
        const int32_t got = BuildDecodeTable(a.table, lengths.data(), a.n);
        ASSERT_EQ(got, want) << "round " << round;
        if (got != ERR_NONE) {
            refused++;
            continue;
        }
        built++;
        for (int k = 0; k < 40; k++) {
            std::vector<uint8_t> bytes(8);
            for (auto &x : bytes) x = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
            ByteReader b(bytes);
            uint32_t s1 = 0, s2 = 0;
            const int32_t r1 = DecodeSymbol(&b.plain, reference.get(), &s1);
            const int32_t r2 = DecodeSymbol(&b.reader, a.table, &s2);
            ASSERT_EQ(r2, r1) << "round " << round;
            if (r1 != ERR_NONE) continue;
            ASSERT_EQ(s2, s1) << "round " << round;
            uint32_t n1 = 0, n2 = 0;
            ASSERT_EQ(PeekBits(&b.plain, 24, &n1), ERR_NONE);
            ASSERT_EQ(PeekBits(&b.reader, 24, &n2), ERR_NONE);
            ASSERT_EQ(n2, n1) << "round " << round << ": not at the same bit";
        }
    }
    EXPECT_GT(built, 500);
    EXPECT_GT(refused, 100);
}

TEST(PrefixCode, TableSetReadsThreeTablesThenBuilds) {
    // Token: symbols 129 and 215 with one bit each; offset: 0 and 1; no
    // escapes: the bytes of the two-by-one example.
    Decoders d;
    ByteReader b(ExampleStreamBytes());
    ASSERT_EQ(ReadTableSet(&b.reader, d.work.get()), ERR_NONE);
    uint32_t t = 0, w = 0;
    ASSERT_EQ(DecodeSymbol(&b.reader, &d.work->token, &t), ERR_NONE);
    EXPECT_EQ(t, 215u);
    ASSERT_EQ(DecodeSymbol(&b.reader, &d.work->offset, &w), ERR_NONE);
    EXPECT_EQ(w, 1u);
    // The pair table holds the next token and offset together: 2 bits.
    const uint32_t pair = d.work->pairs[b.reader.bits >> (64 - PAIR_BITS)];
    EXPECT_EQ(PairToken(pair), 129u);
    EXPECT_EQ(PairOffset(pair), 1u);
    EXPECT_EQ(PairLength(pair), 2u);
    ASSERT_EQ(DecodeSymbol(&b.reader, &d.work->token, &t), ERR_NONE);
    EXPECT_EQ(t, 129u);
    ASSERT_EQ(DecodeSymbol(&b.reader, &d.work->offset, &w), ERR_NONE);
    EXPECT_EQ(w, 1u);
    EXPECT_EQ(DecodeFrom(d.escape(), 0).result, ERR_STREAM);
    EXPECT_EQ(BitsUsed(&b.reader), EXAMPLE_STREAM_BITS); // the 51 bits of the set, two tokens of 2 bits
}

namespace {

// Random code lengths for one alphabet: complete, incomplete and
// single-symbol codes, some with codes longer than FAST_BITS.
void RandomLengths(std::mt19937 &rng, int round, uint32_t n, std::vector<uint8_t> *lengths) {
    lengths->assign(n, 0);
    if (round % 5 == 0) {
        (*lengths)[rng() % n] = 1; // one symbol of one bit
        return;
    }
    std::vector<uint64_t> counts(n);
    for (auto &c : counts) c = rng() % 2 == 0 ? 0 : 1 + rng() % (round % 3 == 0 ? 100000 : 30);
    LimitedCodeLengths(counts.data(), n, 9 + static_cast<int32_t>(rng() % 8), lengths->data());
    if (round % 4 == 0) (*lengths)[rng() % n] = 0; // a gap in the code
}

} // namespace

TEST(PrefixCode, PairTablesAgreeWithThreeLookUps) {
    // Every entry of the pair table holds what two main-table look-ups give
    // where the token and offset codes both fit in PAIR_BITS bits, with the
    // token's escaped channels; a literal's entry also takes its first
    // escape where a third look-up finds that code in the bits left; a
    // literal with no escapes left is marked whole. Where only the token
    // code fits, the entry holds the token alone; other entries are 0.
    std::mt19937 rng(5);
    Decoders d;
    std::vector<uint32_t> pairs(PAIR_SIZE);
    std::vector<uint8_t> lengths;
    int hits = 0, misses = 0, fused = 0, unfused = 0, plain = 0, token_only_entries = 0;
    for (int round = 0; round < 100; round++) {
        for (const Alphabet &a : {d.token(), d.offset(), d.escape()}) {
            RandomLengths(rng, round, a.n, &lengths);
            ASSERT_EQ(BuildDecodeTable(a.table, lengths.data(), a.n), ERR_NONE) << "round " << round;
        }
        const DecodeTable *token = d.token().table;
        const DecodeTable *offset = d.offset().table;
        const DecodeTable *escape = d.escape().table;
        BuildPairTable(pairs.data(), token, offset, escape);
        for (uint32_t v = 0; v < static_cast<uint32_t>(PAIR_SIZE); v++) {
            const uint32_t p = pairs[v];
            const uint32_t a = token->fast[v >> (PAIR_BITS - FAST_BITS)];
            const uint32_t la = EntryLength(a);
            uint32_t want = 0;
            if (la != 0) {
                const uint32_t rest = (v << la) & (PAIR_SIZE - 1); // the bits after the first code
                const uint32_t b = offset->fast[rest >> (PAIR_BITS - FAST_BITS)];
                const uint32_t lb = EntryLength(b);
                if (lb != 0 && la + lb <= static_cast<uint32_t>(PAIR_BITS)) want = la + lb;
                if (want != 0) {
                    const uint32_t escapes = TokenEscapes(EntrySymbol(a));
                    const uint32_t after = (v << want) & (PAIR_SIZE - 1); // the bits after both
                    const uint32_t c = escape->fast[after >> (PAIR_BITS - FAST_BITS)];
                    const uint32_t lc = EntryLength(c);
                    const bool takes = escapes != 0 && lc != 0 && want + lc <= static_cast<uint32_t>(PAIR_BITS);
                    EXPECT_EQ(PairToken(p), EntrySymbol(a));
                    EXPECT_EQ(PairOffset(p), EntrySymbol(b));
                    ASSERT_EQ(PairTakesEscape(p), takes ? 1u : 0u) << "round " << round << " index " << v;
                    EXPECT_EQ(PairEscapesLeft(p), escapes - (takes ? 1 : 0));
                    EXPECT_EQ(PairEscapeValue(p), takes ? EntrySymbol(c) + ESCAPE_BIAS : 0u);
                    // A whole token: a short run, or a literal with no
                    // escapes left to decode.
                    EXPECT_EQ(PairIsPlain(p), EntrySymbol(a) >= FIRST_RUN_TOKEN
                                                  ? RunLength(EntrySymbol(a)) <= PLAIN_RUN_PIXELS
                                                  : escapes == (takes ? 1u : 0u));
                    if (PairIsPlain(p)) plain++;
                    if (takes) want += lc;
                    if (escapes != 0) (takes ? fused : unfused)++;
                }
            }
            ASSERT_EQ(PairLength(p), want) << "round " << round << " index " << v;
            if (want == 0) {
                // Where only the token code fits, the entry holds the token
                // and its length for the one-by-one decode; else it is 0.
                const uint32_t token_only = PAIR_TOKEN_ONLY | EntrySymbol(a) << PAIR_TOKEN_AT | la << PAIR_OFFSET_AT;
                ASSERT_EQ(p, la != 0 ? token_only : 0u) << "round " << round << " index " << v;
                if (la != 0) {
                    EXPECT_TRUE(PairHasTokenOnly(p));
                    EXPECT_FALSE(PairIsPlain(p));
                    EXPECT_EQ(PairToken(p), EntrySymbol(a));
                    EXPECT_EQ(PairTokenLength(p), la);
                    token_only_entries++;
                }
            }
            (want != 0 ? hits : misses)++;
        }
    }
    EXPECT_GT(hits, 10000);
    EXPECT_GT(misses, 10000);
    EXPECT_GT(token_only_entries, 1000);
    EXPECT_GT(fused, 1000);
    EXPECT_GT(unfused, 10000);
    EXPECT_GT(plain, 10000);
}

TEST(PrefixCode, TokenEscapesCountEscapeDigits) {
    EXPECT_EQ(TokenEscapes(LiteralToken(3, 3, 3)), 0u);
    EXPECT_EQ(TokenEscapes(LiteralToken(0, 3, 3)), 1u);
    EXPECT_EQ(TokenEscapes(LiteralToken(4, 0, 5)), 1u);
    EXPECT_EQ(TokenEscapes(LiteralToken(0, 1, 0)), 2u);
    EXPECT_EQ(TokenEscapes(LiteralToken(0, 0, 0)), 3u);
    EXPECT_EQ(TokenEscapes(RunToken(MIN_RUN)), 0u);
    EXPECT_EQ(TokenEscapes(RunToken(MAX_RUN)), 0u);
}

TEST(PrefixCode, EscapeTableAgreesWithTwoLookUps) {
    // Every entry of the escape table holds the first escape that a
    // main-table look-up gives, and the second where both codes fit in
    // ESCAPE_BITS bits; entries that no short code begins are 0, so that
    // every length field of theirs reads 0.
    std::mt19937 rng(7);
    Decoders d;
    std::vector<uint32_t> escapes(ESCAPE_SIZE);
    std::vector<uint8_t> lengths;
    int both = 0, one = 0, none = 0, filled = 0;
    DecodeTable *escape = d.escape().table;
    for (int round = 0; round < 100; round++) {
        RandomLengths(rng, round, ESCAPE_SYMBOLS, &lengths);
        ASSERT_EQ(BuildDecodeTable(escape, lengths.data(), ESCAPE_SYMBOLS), ERR_NONE) << "round " << round;
        BuildEscapeTable(escapes.data(), escape);
        for (uint32_t v = 0; v < static_cast<uint32_t>(ESCAPE_SIZE); v++) {
            const uint32_t e = escapes[v];
            ASSERT_EQ(e >> ESCAPE_NONE_AT, 0u);
            const uint32_t a = escape->fast[v >> (ESCAPE_BITS - FAST_BITS)];
            const uint32_t la = EntryLength(a);
            if (la == 0) {
                ASSERT_EQ(e, 0u) << "round " << round << " index " << v;
                none++;
                continue;
            }
            ASSERT_EQ(EscapeFirstLength(e), la) << "round " << round << " index " << v;
            ASSERT_EQ(EscapeFirstValue(e), EntrySymbol(a) + ESCAPE_BIAS);
            const uint32_t rest = (v << la) & (ESCAPE_SIZE - 1);
            const uint32_t b = escape->fast[rest >> (ESCAPE_BITS - FAST_BITS)];
            const uint32_t lb = EntryLength(b);
            const bool fits = lb != 0 && la + lb <= static_cast<uint32_t>(ESCAPE_BITS);
            ASSERT_EQ(EscapeSecondFits(e), fits) << "round " << round << " index " << v;
            ASSERT_EQ(EscapeBothLength(e), fits ? la + lb : la);
            ASSERT_EQ(EscapeSecondValue(e), fits ? EntrySymbol(b) + ESCAPE_BIAS : 0u);
            (fits ? both : one)++;
            // A first code as long as the index leaves no bit for a second.
            if (la == static_cast<uint32_t>(ESCAPE_BITS)) filled++;
        }
    }
    EXPECT_GT(both, 10000);
    EXPECT_GT(one, 10000);
    EXPECT_GT(none, 1000);
    EXPECT_GT(filled, 100);
}
