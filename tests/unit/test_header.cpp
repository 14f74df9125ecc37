// The 24-byte header through every export: each fixed field wrong in turn
// is refused alike by GetPicture (from memory and from a file at an
// offset), GetPictureInfo and the pointer probe; width and height take any
// value; a source too short for a header cannot be read. The rule restated
// in support/header_rule.h is the oracle, and the format module's parser
// and writer are checked against it.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "support/support.h"

// The restated rule against the bytes themselves and against the format
// module: its writer gives the same bytes, and its parser accepts exactly
// what the rule accepts, whichever single byte is changed to whatever value.
TEST(Header, FormatModuleAgreesWithTheRule) {
    // "PXCM", 0x00010000, 0, width, height, 24, 0.
    const Bytes literal = {'P', 'X', 'C', 'M', 0, 0, 1, 0, 0, 0, 0, 0, 0x34, 0x12, 0xDC, 0xFE, 24, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(HeaderBytes(0x1234, 0xFEDC), literal);
    EXPECT_TRUE(HeaderAccepted(literal));
    uint8_t written[HEADER_SIZE];
    WriteHeader(written, 0x1234, 0xFEDC);
    EXPECT_EQ(Bytes(written, written + HEADER_SIZE), literal);

    ImageHeader parsed{};
    ASSERT_EQ(ParseHeader(literal.data(), &parsed), ERR_NONE);
    EXPECT_EQ(parsed.width, 0x1234u);
    EXPECT_EQ(parsed.height, 0xFEDCu);
    for (int at = 0; at < HEADER_SIZE; at++) {
        for (int value : {0x00, 0x01, 0x18, 0x50, 0x80, 0xFF}) {
            Bytes h = literal;
            h[at] = static_cast<uint8_t>(value);
            ImageHeader out;
            memset(&out, 0x77, sizeof out);
            const int32_t result = ParseHeader(h.data(), &out);
            ASSERT_EQ(result == ERR_NONE, HeaderAccepted(h)) << "byte " << at << " = " << value;
            if (result != ERR_NONE) {
                EXPECT_EQ(result, ERR_BAD_FORMAT);
                EXPECT_EQ(out.width, 0x77777777u) << "refused, yet the header was written";
            } else {
                EXPECT_EQ(out.width, ClaimedWidth(h));
                EXPECT_EQ(out.height, ClaimedHeight(h));
            }
        }
    }
}

namespace {

struct Change {
    const char *what;
    size_t at;
    Bytes bytes;
};

// Every fixed field broken, byte by byte and whole.
const Change CHANGES[] = {
    {"tag in lower case", 0, {'p', 'x', 'c', 'm'}},
    {"tag byte 0", 0, {'Q'}},
    {"tag byte 3", 3, {'N'}},
    {"tag reversed", 0, {'M', 'C', 'X', 'P'}},
    {"format word 0", 4, {0, 0, 0, 0}},
    {"format word 1", 4, {1, 0, 0, 0}},
    {"format word 0x00010001", 4, {1, 0, 1, 0}},
    {"format word big-endian", 4, {0, 1, 0, 0}},
    {"format word 0x01010000", 4, {0, 0, 1, 1}},
    {"zero word at 8, low byte", 8, {1}},
    {"zero word at 8, high byte", 11, {0x80}},
    {"zero word at 8, 0x01000000", 8, {0, 0, 0, 1}},
    {"depth 0", 16, {0, 0, 0, 0}},
    {"depth 8", 16, {8}},
    {"depth 23", 16, {23}},
    {"depth 25", 16, {25}},
    {"depth 32", 16, {32, 0, 0, 0}},
    {"depth 24 + 256", 17, {1}},
    {"depth 24 plus a high byte", 19, {1}},
    {"depth 24 in the high byte", 16, {0, 0, 0, 24}},
    {"zero word at 20, low byte", 20, {1}},
    {"zero word at 20, high byte", 23, {0xFF}},
    {"zero word at 20, top bit", 23, {0x80}},
};

} // namespace

TEST(Header, EachFixedFieldWrongIsRefused) {
    const RandomPicture pic = MakeRandomPicture(31, 5, 4);
    ASSERT_TRUE(HeaderAccepted(pic.file));
    for (const Change &c : CHANGES) {
        Bytes f = pic.file;
        memcpy(f.data() + c.at, c.bytes.data(), c.bytes.size());
        ASSERT_FALSE(HeaderAccepted(f)) << c.what;
        ExpectRefused(f, ERR_BAD_FORMAT, c.what);
        // The same through a file, at an offset.
        Bytes in_file(3 + f.size(), 1);
        std::copy(f.begin(), f.end(), in_file.begin() + 3);
        TempFile tmp(in_file);
        const Decoded d = DecodeFile(tmp.path(), 3);
        EXPECT_EQ(d.result, ERR_BAD_FORMAT) << c.what;
        EXPECT_TRUE(d.untouched()) << c.what;
    }
}

TEST(Header, WidthAndHeightTakeAnyValue) {
    const uint32_t sizes[][2] = {{0, 0}, {0, 7}, {7, 0}, {1, 1}, {0x8000, 0x7FFF}, {MAX_SIDE, MAX_SIDE}};
    for (const auto &s : sizes) {
        const Bytes header = HeaderBytes(s[0], s[1]);
        PictureInfoBlock record = UntouchedRecord();
        ASSERT_EQ(InfoFromBytes(header, &record), ERR_NONE);
        // Widened without sign: 0x8000 and 65535 stay positive.
        EXPECT_EQ(+record.width, static_cast<int32_t>(s[0]));
        EXPECT_EQ(+record.height, static_cast<int32_t>(s[1]));
        EXPECT_EQ(ProbeBytes(header), 1);
    }
    // Width or height 0 over a real stream: accepted, reported, and an
    // empty bitmap (or one that cannot be locked), decoded without a token.
    const RandomPicture pic = MakeRandomPicture(31, 5, 4);
    for (const int32_t field : {HEADER_WIDTH_AT, HEADER_HEIGHT_AT}) {
        Bytes f = pic.file;
        f[field] = f[field + 1] = 0;
        const uint32_t width = ClaimedWidth(f), height = ClaimedHeight(f);
        PictureInfoBlock record = UntouchedRecord();
        ASSERT_EQ(InfoFromBytes(f, &record), ERR_NONE);
        EXPECT_EQ(+record.width, static_cast<int32_t>(width));
        EXPECT_EQ(+record.height, static_cast<int32_t>(height));
        EXPECT_EQ(ProbeBytes(f), 1);
        const Decoded d = DecodeBytes(f);
        if (d.result == ERR_NONE) {
            EXPECT_TRUE(d.pixels.empty());
            EXPECT_TRUE((d.calls == ProgressOf(height)));
        } else {
            EXPECT_TRUE(d.result == ERR_MEMORY || d.result == ERR_NO_MEMORY) << d.result;
            EXPECT_TRUE(d.calls.empty());
        }
    }
}

TEST(Header, ShortSourceIsAReadError) {
    const Bytes header = HeaderBytes(4, 4);
    for (size_t n : {1, 12, 23}) {
        const Bytes cut(header.begin(), header.begin() + static_cast<ptrdiff_t>(n));
        ExpectRefused(cut, ERR_READ, "cut to " + std::to_string(n));
    }
}
