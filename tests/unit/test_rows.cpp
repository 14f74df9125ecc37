// Pixel reconstruction through GetPicture: references, overlaps, runs,
// buffer edges and table sets, on hand-made streams.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "pixels/rows.h"
#include "support/support.h"

namespace {

struct Px {
    int r, g, b;
    bool operator==(const Px &o) const { return r == o.r && g == o.g && b == o.b; }
};

void PrintTo(const Px &p, std::ostream *os) { *os << "(" << p.r << ", " << p.g << ", " << p.b << ")"; }

// Pixel x of image row m (0 = top) of a decoded W x H picture.
Px PixelAt(const Decoded &d, uint32_t width, uint32_t height, uint32_t x, uint32_t m) {
    const size_t at = static_cast<size_t>((height - 1 - m) * RowStride(width) + PIXEL_BYTES * x);
    return Px{d.pixels.at(at + 2), d.pixels.at(at + 1), d.pixels.at(at)};
}

const Px BLACK{0, 0, 0};
const Px MINUS_TWO{254, 254, 254}; // token 215 on a black reference

// Fills pixels with top-row literals of a known colour: token 0 on a black
// reference with escapes (e_r, e_g, e_b) gives 253 - e per channel.
uint32_t EscapeBase(uint32_t seed, uint32_t i) { return (seed + 7 * i) % 240; }

void FillTop(StreamBuilder *s, uint32_t count, uint32_t seed) {
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t e = EscapeBase(seed, i);
        s->Literal(0, 0, 1, {e, e + 1, e + 2});
    }
}

Px TopColour(uint32_t seed, uint32_t i) {
    const int e = static_cast<int>(EscapeBase(seed, i));
    return Px{253 - e, 252 - e, 251 - e};
}

} // namespace

TEST(Rows, TwoByOneExample) {
    const Decoded d = DecodeBytes(ExamplePicture());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, ExamplePixels());
    EXPECT_EQ(d.calls, (std::vector<std::pair<int32_t, int32_t>>{{0, 1}, {1, 1}}));
}

TEST(Rows, MoveToFrontExample) {
    OffsetList list;
    ResetOffsetList(&list);
    const OffsetPair chosen = MoveToFront(&list, 3);
    EXPECT_EQ(chosen.dx, -1);
    EXPECT_EQ(chosen.dy, 1);
    const int32_t want[11][2] = {{-1, 1}, {-1, 0}, {0, 1}, {1, 1}, {2, 1}, {-2, 1},
                                 {-2, 0}, {0, 2}, {1, 2}, {-1, 2}, {-3, 0}};
    for (int i = 0; i < 11; i++) {
        EXPECT_EQ(OffsetAt(&list, i).dx, want[i][0]) << i;
        EXPECT_EQ(OffsetAt(&list, i).dy, want[i][1]) << i;
    }
    // Choosing the front entry changes nothing; choosing the last rotates.
    MoveToFront(&list, 0);
    EXPECT_EQ(OffsetAt(&list, 0).dx, -1);
    EXPECT_EQ(OffsetAt(&list, 1).dy, 0);
    MoveToFront(&list, 10);
    EXPECT_EQ(OffsetAt(&list, 0).dx, -3);
    EXPECT_EQ(OffsetAt(&list, 1).dx, -1);
    EXPECT_EQ(OffsetAt(&list, 1).dy, 1);
    EXPECT_EQ(OffsetAt(&list, 10).dx, -1);
    EXPECT_EQ(OffsetAt(&list, 10).dy, 2);
}

TEST(Rows, TopRowReferencesAboveAreBlack) {
    StreamBuilder s(3, 1);
    s.Tables(FullTables());
    s.Literal(215, 0, 1); // 0 - 2 wraps
    s.Literal(129, -1, 0);
    s.Literal(129, 0, 1); // repeats the black reference, not a pixel
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(PixelAt(d, 3, 1, 0, 0), MINUS_TWO);
    EXPECT_EQ(PixelAt(d, 3, 1, 1, 0), MINUS_TWO);
    EXPECT_EQ(PixelAt(d, 3, 1, 2, 0), BLACK);
}

TEST(Rows, LiteralReadsBytesItHasJustWritten) {
    // Width 2, top row, (-2, 1) at x = 0: the reference is the row's own
    // bytes 2 to 4, and blue's reference byte is the red byte just written.
    {
        StreamBuilder s(2, 1);
        s.Tables(FullTables());
        s.Literal(215, -2, 1);
        s.Literal(129, -1, 0);
        const Decoded d = DecodeBytes(s.Finish());
        ASSERT_EQ(d.result, ERR_NONE);
        EXPECT_EQ(d.pixels, (std::vector<uint8_t>{252, 254, 254, 252, 254, 254, 0, 0}));
    }
    // Width 1, (-1, 1) in the bottom row: red reads the row's trailing
    // byte, green the new red, blue the new green. (In the top row the same
    // reference starts within the buffer's last 3 bytes and is black.)
    for (uint32_t height : {1u, 2u}) {
        StreamBuilder s(1, height);
        s.Tables(FullTables());
        if (height == 2) s.Literal(129, 0, 1);
        s.Literal(215, -1, 1);
        const Decoded d = DecodeBytes(s.Finish());
        ASSERT_EQ(d.result, ERR_NONE);
        const Px want = height == 2 ? Px{254, 252, 250} : MINUS_TWO;
        EXPECT_EQ(PixelAt(d, 1, height, 0, height - 1), want) << height;
    }
    // The same with escapes: each channel's escape is decoded right before
    // that channel is written.
    {
        StreamBuilder s(1, 2);
        s.Tables(FullTables());
        s.Literal(129, 0, 1);
        s.Literal(0, -1, 1, {7, 20, 100}); // red 0 - 10, green red - 23, blue green - 103
        const Decoded d = DecodeBytes(s.Finish());
        ASSERT_EQ(d.result, ERR_NONE);
        EXPECT_EQ(PixelAt(d, 1, 2, 0, 1), (Px{246, 246 - 23, (246 - 23 - 103) & 255}));
    }
}

TEST(Rows, EveryDigitAndEscapeValue) {
    // Each channel of token t moves its reference by the digit's amount;
    // escapes give every other value.
    // One pixel more than there are literal tokens: the references of the
    // tokens are not the buffer's last pixel.
    const uint32_t width = LITERAL_TOKENS + 1;
    StreamBuilder s(width, 2);
    s.Tables(FullTables());
    FillTop(&s, width, 0);
    std::vector<Px> expected;
    for (uint32_t t = 0; t < LITERAL_TOKENS; t++) {
        const uint32_t digit[3] = {t / 36, t / 6 % 6, t % 6};
        std::vector<uint32_t> escapes;
        const Px ref = TopColour(0, t);
        int out[3];
        const int refs[3] = {ref.r, ref.g, ref.b};
        for (int c = 0; c < 3; c++) {
            int v;
            if (digit[c] == 0) {
                const uint32_t e = (t * 7 + c * 50) % ESCAPE_SYMBOLS;
                escapes.push_back(e);
                v = static_cast<int>(e) + 3;
            } else {
                v = static_cast<int>(digit[c]) - 3;
            }
            out[c] = (refs[c] - v) & 255;
        }
        s.Literal(t, 0, 1, escapes);
        expected.push_back(Px{out[0], out[1], out[2]});
    }
    s.Literal(129, 0, 1);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    for (uint32_t t = 0; t < LITERAL_TOKENS; t++) EXPECT_EQ(PixelAt(d, width, 2, t, 1), expected[t]) << t;
}

TEST(Rows, EscapesReachEveryByteValue) {
    // 256 pixels on a black reference: digits give 2, 1, 0, 255, 254 and
    // escapes 253 down to 3.
    StreamBuilder s(256, 1);
    s.Tables(FullTables());
    for (int target = 0; target < 256; target++) {
        const int diff = (0 - target) & 255; // reference 0 minus target
        uint32_t digit;
        std::vector<uint32_t> escapes;
        switch (diff) {
        case 254: digit = 1; break; // +2
        case 255: digit = 2; break; // +1
        case 0: digit = 3; break;
        case 1: digit = 4; break;
        case 2: digit = 5; break;
        default:
            digit = 0;
            escapes = {static_cast<uint32_t>(diff - 3), static_cast<uint32_t>(diff - 3),
                       static_cast<uint32_t>(diff - 3)};
        }
        s.Literal(LiteralToken(digit, digit, digit), 0, 1, escapes);
    }
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    for (int target = 0; target < 256; target++)
        EXPECT_EQ(PixelAt(d, 256, 1, target, 0), (Px{target, target, target})) << target;
}

TEST(Rows, RunRepeatsThePreviousPixels) {
    StreamBuilder s(12, 1);
    s.Tables(FullTables());
    FillTop(&s, 1, 10);
    s.Run(6, -1, 0); // token 220 at x = 1: pixel 0 into pixels 1 to 6
    FillTop(&s, 1, 20);
    s.Run(4, -2, 0); // x = 8: pixels 6 and 7 twice
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    for (uint32_t x = 0; x <= 6; x++) EXPECT_EQ(PixelAt(d, 12, 1, x, 0), TopColour(10, 0)) << x;
    EXPECT_EQ(PixelAt(d, 12, 1, 7, 0), TopColour(20, 0));
    for (uint32_t x = 8; x < 12; x++)
        EXPECT_EQ(PixelAt(d, 12, 1, x, 0), x % 2 == 0 ? TopColour(10, 0) : TopColour(20, 0)) << x;
}

TEST(Rows, LastPixelOfTheBufferIsABlackReferenceForLiterals) {
    // The bottom row's last pixel with (0, 1) refers to the top row's last
    // pixel. With W = 4 that is the last 3 bytes of the buffer, so the
    // literal sees black; with W = 5 a trailing byte follows and the real
    // pixel is used.
    for (uint32_t width : {4u, 5u}) {
        StreamBuilder s(width, 2);
        s.Tables(FullTables());
        FillTop(&s, width, 30);
        for (uint32_t x = 0; x < width; x++) s.Literal(129, 0, 1);
        const Decoded d = DecodeBytes(s.Finish());
        ASSERT_EQ(d.result, ERR_NONE);
        for (uint32_t x = 0; x + 1 < width; x++)
            EXPECT_EQ(PixelAt(d, width, 2, x, 1), TopColour(30, x)) << width << " " << x;
        EXPECT_EQ(PixelAt(d, width, 2, width - 1, 1), width == 4 ? BLACK : TopColour(30, width - 1))
            << width;
    }
}

TEST(Rows, RunFromTheLastPixelIsCopiedAndPastTheEndReadsZero) {
    // W = 4, H = 2: a run of 2 at x = 3 of the bottom row with (0, 1) copies
    // the buffer's last pixel (a literal would not), runs past its row into
    // the top row's first pixel, and reads zeros past the buffer's end there.
    StreamBuilder s(4, 2);
    s.Tables(FullTables());
    FillTop(&s, 4, 40);
    for (uint32_t x = 0; x < 3; x++) s.Literal(129, 0, 1);
    s.Run(2, 0, 1);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(PixelAt(d, 4, 2, 3, 1), TopColour(40, 3));
    EXPECT_EQ(PixelAt(d, 4, 2, 0, 0), BLACK); // overwritten with zeros
    EXPECT_EQ(PixelAt(d, 4, 2, 1, 0), TopColour(40, 1));
}

TEST(Rows, RunPastTheRowEndWritesTrailingBytesAndTheNextRowInMemory) {
    // W = 5 (one trailing byte), H = 2. A run of 3 at x = 3 of the bottom row
    // from (0, 1) copies the top row's pixels 3 and 4 and its trailing byte,
    // then two bytes past the buffer's end, as zeros, over the top row's
    // first pixel's blue and green.
    StreamBuilder s(5, 2);
    s.Tables(FullTables());
    FillTop(&s, 5, 50);
    for (uint32_t x = 0; x < 3; x++) s.Literal(129, 0, 1);
    s.Run(3, 0, 1);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(PixelAt(d, 5, 2, 3, 1), TopColour(50, 3));
    EXPECT_EQ(PixelAt(d, 5, 2, 4, 1), TopColour(50, 4));
    EXPECT_EQ(d.pixels[15], 0); // the bottom row's trailing byte
    const Px first = TopColour(50, 0);
    EXPECT_EQ(PixelAt(d, 5, 2, 0, 0), (Px{first.r, 0, 0}));
}

TEST(Rows, RunPastTheRowEndOfTheTopRowIsClippedAtTheBuffer) {
    StreamBuilder s(3, 1);
    s.Tables(FullTables());
    FillTop(&s, 1, 60);
    s.Run(100, -1, 0);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    const Px p = TopColour(60, 0);
    const uint8_t b = static_cast<uint8_t>(p.b), g = static_cast<uint8_t>(p.g),
                  r = static_cast<uint8_t>(p.r);
    EXPECT_EQ(d.pixels, (std::vector<uint8_t>{b, g, r, b, g, r, b, g, r, b, g, r}));
}

TEST(Rows, RunOfRowsBelowContinuesInTheNextRow) {
    // The row after a long run starts at its own first pixel, whatever the
    // run wrote. W = 3, H = 3: the middle row's run of 5 at x = 1 overwrites
    // the top row's first pixel, and the bottom row is decoded normally.
    StreamBuilder s(3, 3);
    s.Tables(FullTables());
    FillTop(&s, 3, 70);
    FillTop(&s, 1, 100); // (0, 1): the top row's pixel 0 minus the escapes
    s.Run(5, -1, 0);
    s.Literal(129, 0, 2);
    s.Literal(129, 0, 2);
    s.Literal(129, 0, 2);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    const Px top0 = TopColour(70, 0);
    const Px mid{(top0.r - 103) & 255, (top0.g - 104) & 255, (top0.b - 105) & 255};
    EXPECT_EQ(PixelAt(d, 3, 3, 0, 1), mid);
    EXPECT_EQ(PixelAt(d, 3, 3, 1, 1), mid);
    EXPECT_EQ(PixelAt(d, 3, 3, 2, 1), mid);
    // The run's last 6 of 15 bytes went over the middle row's 3 trailing
    // bytes and the top row's pixels 0 and 1.
    EXPECT_EQ(PixelAt(d, 3, 3, 0, 0), mid);
    EXPECT_EQ(PixelAt(d, 3, 3, 1, 0), mid);
    EXPECT_EQ(PixelAt(d, 3, 3, 2, 0), TopColour(70, 2));
    // The bottom row copies the top row as it is after the run.
    EXPECT_EQ(PixelAt(d, 3, 3, 0, 2), mid);
    EXPECT_EQ(PixelAt(d, 3, 3, 1, 2), mid);
    EXPECT_EQ(PixelAt(d, 3, 3, 2, 2), TopColour(70, 2));
}

TEST(Rows, ReferencesBeforeTheBufferReadZero) {
    // Literal 215 on a reference that lies (at least partly) before the
    // buffer's first byte gives 254 in every channel: the bytes before the
    // buffer read as zero. Other pixels are filled with literals on (0, 1).
    const struct {
        uint32_t width, height, m, x;
        int32_t dx, dy;
    } cases[] = {
        {3, 2, 1, 0, -1, 0}, {3, 2, 1, 0, -3, 0}, {3, 2, 1, 1, -3, 0}, {3, 2, 1, 2, -3, 0},
        {2, 3, 1, 0, -3, 0}, {2, 3, 2, 1, -2, 0}, {1, 3, 1, 0, -3, 0}, {1, 3, 1, 0, -2, 0},
        {1, 3, 0, 0, -3, 0}, {1, 3, 2, 0, -1, 0}, {1, 1, 0, 0, -3, 0},
    };
    for (const auto &c : cases) {
        StreamBuilder s(c.width, c.height);
        s.Tables(FullTables());
        for (uint32_t m = 0; m < c.height; m++)
            for (uint32_t x = 0; x < c.width; x++) {
                if (m == c.m && x == c.x)
                    s.Literal(215, c.dx, c.dy);
                else
                    s.Literal(0, 0, 1, {100, 110, 120});
            }
        const Decoded d = DecodeBytes(s.Finish());
        ASSERT_EQ(d.result, ERR_NONE);
        EXPECT_EQ(PixelAt(d, c.width, c.height, c.x, c.m), MINUS_TWO)
            << c.width << "x" << c.height << " row " << c.m << " x " << c.x << " (" << c.dx << ", "
            << c.dy << ")";
    }
}

TEST(Rows, RunFromBeforeTheBufferReadsZeroThenTheBuffer) {
    StreamBuilder s(3, 1);
    s.Tables(FullTables());
    s.Literal(215, 0, 1);
    s.Run(2, -2, 0); // source starts 3 bytes before the buffer
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(PixelAt(d, 3, 1, 0, 0), MINUS_TWO);
    EXPECT_EQ(PixelAt(d, 3, 1, 1, 0), BLACK);
    EXPECT_EQ(PixelAt(d, 3, 1, 2, 0), MINUS_TWO);
}

TEST(Rows, RunFromPastTheBufferWritesZeros) {
    // W = 2, H = 2: the bottom row's run from (2, 1) at x = 1 starts past
    // the buffer's end and zeroes what it covers: 9 bytes, up to the top
    // row's first pixel and the blue of its second.
    StreamBuilder s(2, 2);
    s.Tables(FullTables());
    FillTop(&s, 2, 90);
    s.Literal(129, 0, 1);
    s.Run(3, 2, 1);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(PixelAt(d, 2, 2, 0, 1), TopColour(90, 0));
    EXPECT_EQ(PixelAt(d, 2, 2, 1, 1), BLACK);
    EXPECT_EQ(PixelAt(d, 2, 2, 0, 0), BLACK);
    const Px second = TopColour(90, 1);
    EXPECT_EQ(PixelAt(d, 2, 2, 1, 0), (Px{second.r, second.g, 0}));
}

TEST(Rows, SecondTableSetIsReadBeforeToken16385MidRow) {
    // 200 x 100 pixels, one literal each. Token 16385 (row 81, x = 184)
    // follows a second set in which the same bits (token code 0, offset
    // code 0) mean another token: blue + 1 instead of a copy.
    CodeTables first, second;
    first.token[129] = first.token[215] = 1; // 129 is code 0
    first.offset[0] = 1;
    second.token[128] = second.token[200] = 1; // 128 is code 0
    second.offset[0] = 1;
    StreamBuilder s(200, 100);
    s.Tables(first);
    for (uint32_t i = 0; i < 20000; i++) {
        if (i == REBUILD_PERIOD) s.Tables(second);
        s.Literal(i < REBUILD_PERIOD ? 129 : 128, -1, 0);
    }
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    for (uint32_t m = 0; m < 100; m++)
        for (uint32_t x = 0; x < 200; x++) {
            int blue = 0;
            if (m == 81 && x >= 184) blue = static_cast<int>(x) - 183;
            if (m > 81) blue = static_cast<int>(x) + 1;
            ASSERT_EQ(PixelAt(d, 200, 100, x, m), (Px{0, 0, blue})) << "row " << m << " x " << x;
        }
}

TEST(Rows, RunCountsAsOneToken) {
    // 16384 tokens with runs among them, then the second set: the run
    // tokens count once each, not once per pixel.
    CodeTables first, second;
    first.token[129] = 1;     // code 0
    first.token[RunToken(10)] = 1; // code 1
    first.offset[0] = 1;
    second.token[128] = second.token[200] = 1; // 128 is code 0
    second.offset[0] = 1;
    const uint32_t runs = 1000;
    const uint32_t pixels = (REBUILD_PERIOD - runs) + 10 * runs + 100;
    StreamBuilder s(pixels, 1);
    s.Tables(first);
    for (uint32_t i = 0; i < REBUILD_PERIOD; i++) {
        if (i % 16 == 0 && i / 16 < runs)
            s.Run(10, -1, 0);
        else
            s.Literal(129, -1, 0);
    }
    s.Tables(second);
    for (int i = 0; i < 100; i++) s.Literal(128, -1, 0);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(PixelAt(d, pixels, 1, pixels - 101, 0), BLACK);
    EXPECT_EQ(PixelAt(d, pixels, 1, pixels - 100, 0), (Px{0, 0, 1}));
    EXPECT_EQ(PixelAt(d, pixels, 1, pixels - 1, 0), (Px{0, 0, 100}));
}

TEST(Rows, OneTableSetServes16384Tokens) {
    // A table set and nothing else: the tokens all come from zero bits. A
    // picture of 16384 tokens needs no second set; one more token does,
    // and a set read from zero bits is refused.
    CodeTables tables;
    tables.token[129] = 1;
    tables.offset[0] = 1;
    const uint32_t shapes[][3] = {{REBUILD_PERIOD, 1, ERR_NONE}, {128, 128, ERR_NONE}, {REBUILD_PERIOD + 1, 1, ERR_READ},
                                  {129, 128, ERR_READ}};
    for (const auto &shape : shapes) {
        StreamBuilder s(shape[0], shape[1]);
        s.Tables(tables);
        EXPECT_EQ(DecodeBytes(s.Finish()).result, static_cast<int32_t>(shape[2]))
            << shape[0] << "x" << shape[1];
    }
}

TEST(Rows, NoCodeOfTheLastSetSurvivesInTheNext) {
    // The first set has token codes 0 (129) and 1 (215); the second only
    // code 0 (128). After the second set, the bits 1 0 (token code 1,
    // offset code 0) must be refused, not decoded with the first set's 215;
    // the bits 0 0 decode as 128.
    CodeTables first, second;
    first.token[129] = first.token[215] = 1;
    first.offset[0] = 1;
    second.token[128] = 1;
    second.offset[0] = 1;
    for (uint32_t token_bit : {0u, 1u}) {
        StreamBuilder s(REBUILD_PERIOD + 1, 1);
        s.Tables(first);
        for (uint32_t i = 0; i < REBUILD_PERIOD; i++) s.Literal(i % 2 == 0 ? 129 : 215, -1, 0);
        s.Tables(second);
        s.Bits(token_bit, 1);
        s.Bits(0, 1);
        s.Bits(0xFFFFFFFF, 32); // what follows the last token is never read as a token
        const Decoded d = DecodeBytes(s.Finish());
        if (token_bit == 1) {
            EXPECT_EQ(d.result, ERR_READ);
            continue;
        }
        ASSERT_EQ(d.result, ERR_NONE);
        // 129 copies, 215 takes 2 off: pixel i is -2 * ((i + 1) / 2), so
        // pixel 16383 is 0 again; the second set's 128 adds 1 to blue.
        EXPECT_EQ(PixelAt(d, REBUILD_PERIOD + 1, 1, 1, 0), MINUS_TWO);
        EXPECT_EQ(PixelAt(d, REBUILD_PERIOD + 1, 1, REBUILD_PERIOD - 1, 0), BLACK);
        EXPECT_EQ(PixelAt(d, REBUILD_PERIOD + 1, 1, REBUILD_PERIOD, 0), (Px{0, 0, 1}));
    }
}
