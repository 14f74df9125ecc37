// Malformed pictures: every truncation, single-bit flips, headers that
// claim far more than the stream holds, and arguments no host should pass.
// Each gives a result code or a decode, never a crash, and never ERR_NONE
// for a refused header.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "support/support.h"

namespace {

struct Subject {
    std::string name;
    Bytes file;
    Bytes pixels; // expected decode; empty when not known in advance
};

std::vector<Subject> Subjects() {
    std::vector<Subject> s;
    s.push_back({"example 2x1", ExamplePicture(), ExamplePixels()});
    RandomPicture a = MakeRandomPicture(11, 7, 5);
    s.push_back({"random 7x5", a.file, a.pixels});
    RandomPicture b = MakeRandomPicture(12, 33, 9);
    s.push_back({"random 33x9", b.file, b.pixels});
    RandomStreamOptions long_codes;
    long_codes.escape_share = 0.3;
    long_codes.max_code_length = 24;
    RandomPicture c = MakeRandomPicture(13, 40, 24, long_codes);
    s.push_back({"random 40x24, long codes", c.file, c.pixels});
    for (const std::string &path : SampleFiles()) s.push_back({path, ReadFileBytes(path), {}});
    return s;
}

} // namespace

// The lengths a file is cut to: every length from 0 to the whole file for
// the random pictures. The samples are larger pictures, and each cut costs a
// decode of up to REBUILD_PERIOD tokens (then the next table set, read from zero
// bits, is refused), which under the sanitizers takes milliseconds: there
// the suite takes the first 768 lengths, the last 128 and 256 spread
// between, unless PXCM_ALL_TRUNCATIONS=1 asks for every one.
std::vector<size_t> CutLengths(size_t size, bool sample) {
    std::vector<size_t> lengths;
    const char *all = getenv("PXCM_ALL_TRUNCATIONS");
    if (!sample || (all != nullptr && strcmp(all, "1") == 0) || size <= 1152) {
        for (size_t len = 0; len <= size; len++) lengths.push_back(len);
        return lengths;
    }
    for (size_t len = 0; len < 768; len++) lengths.push_back(len);
    for (size_t i = 0; i < 256; i++) lengths.push_back(768 + (size - 896) * i / 256);
    for (size_t len = size - 128; len <= size; len++) lengths.push_back(len);
    return lengths;
}

// Every prefix of every subject, from 0 bytes to the whole file. Past the
// end of the data the stream reads as zero bits, so a cut that still
// decodes must decode exactly as the cut with zero bytes appended.
TEST(Malformed, EveryTruncation) {
    for (const Subject &s : Subjects()) {
        SCOPED_TRACE(s.name);
        const Decoded whole = DecodeBytes(s.file);
        ASSERT_EQ(whole.result, ERR_NONE);
        if (!s.pixels.empty()) {
            ASSERT_EQ(whole.pixels, s.pixels);
        }
        const uint32_t width = ClaimedWidth(s.file), height = ClaimedHeight(s.file);
        const size_t size = s.file.size();
        for (size_t len : CutLengths(size, s.pixels.empty())) {
            SCOPED_TRACE("length " + std::to_string(len));
            const Bytes cut(s.file.begin(), s.file.begin() + static_cast<long>(len));
            if (len < static_cast<size_t>(HEADER_SIZE)) {
                ExpectRefused(cut, ERR_READ, "short header");
                continue;
            }
            const Decoded d = DecodeBytes(cut);
            if (len == size) {
                EXPECT_EQ(d.result, ERR_NONE);
            } else {
                ASSERT_TRUE(d.result == ERR_NONE || d.result == ERR_READ) << d.result;
            }
            if (d.result == ERR_NONE) {
                ASSERT_TRUE((d.calls == ProgressOf(height)));
                ASSERT_EQ(d.pixels.size(), BitmapSize(width, height));
                Bytes padded = cut;
                padded.resize(len + 8, 0);
                const Decoded z = DecodeBytes(padded);
                ASSERT_EQ(z.result, ERR_NONE);
                ASSERT_EQ(d.pixels, z.pixels);
            } else {
                EXPECT_EQ(d.info_handle, Handle::Cleared); // the blocks were allocated, then freed
            }
            PictureInfoBlock record = UntouchedRecord();
            ASSERT_EQ(InfoFromBytes(cut, &record), ERR_NONE);
            EXPECT_EQ(+record.width, static_cast<int32_t>(width));
            EXPECT_EQ(+record.height, static_cast<int32_t>(height));
            EXPECT_EQ(ProbeBytes(cut), 1);
        }
    }
}

// Every single-bit flip in the first 320 bytes: the header's fixed fields
// must be refused, a changed width or height decodes or fails cleanly, and
// a damaged stream decodes to something of the right size or is refused.
TEST(Malformed, SingleBitFlips) {
    RandomStreamOptions escapes;
    escapes.escape_share = 0.3;
    const RandomPicture pictures[] = {MakeRandomPicture(21, 9, 6),
                                      MakeRandomPicture(22, 40, 20, escapes)};
    for (const RandomPicture &pic : pictures) {
        const size_t limit = std::min<size_t>(pic.file.size(), 320);
        for (size_t bit = 0; bit < 8 * limit; bit++) {
            SCOPED_TRACE("byte " + std::to_string(bit / 8) + " bit " + std::to_string(bit % 8));
            Bytes f = pic.file;
            f[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
            const size_t byte = bit / 8;
            if (byte < static_cast<size_t>(HEADER_SIZE) &&
                (byte < static_cast<size_t>(HEADER_WIDTH_AT) || byte >= static_cast<size_t>(HEADER_HEIGHT_AT + 2))) {
                ASSERT_FALSE(HeaderAccepted(f));
                ExpectRefused(f, ERR_BAD_FORMAT, "fixed header field");
                continue;
            }
            const uint32_t width = ClaimedWidth(f), height = ClaimedHeight(f);
            const Decoded d = DecodeBytes(f);
            if (d.result == ERR_NONE) {
                ASSERT_TRUE((d.calls == ProgressOf(height)));
                ASSERT_EQ(d.pixels.size(), BitmapSize(width, height));
                EXPECT_EQ(+d.header.biWidth, static_cast<int32_t>(width));
                EXPECT_EQ(+d.header.biHeight, static_cast<int32_t>(height));
                EXPECT_EQ(+d.header.biSizeImage, BitmapSize(width, height));
            } else if (BitmapSize(width, height) == 0) {
                EXPECT_EQ(d.result, ERR_MEMORY); // a zero-size block cannot be locked here
            } else {
                ASSERT_EQ(d.result, ERR_READ);
            }
        }
    }
}

// Table set for a picture that decodes from zero bits alone: the token code
// has the single symbol `token` and the offset code the single symbol 0,
// both of length 1, so the stream's zero bits decode for ever.
Bytes ZeroBitPicture(uint32_t width, uint32_t height, uint32_t token) {
    CodeTables tables;
    tables.token[token] = 1;
    tables.offset[0] = 1;
    StreamBuilder s(width, height);
    s.Tables(tables);
    return s.Finish();
}

// Headers that claim far more than the stream holds. (The largest header of
// all, whose pixel block cannot be allocated, is among the fault tests.)
TEST(Malformed, HugeHeaderOverTinyStream) {
    // Widest and tallest pictures that are cheap to allocate: four zero
    // bytes are no table set (the count's prefix never ends), so the decode
    // is refused at once.
    for (const auto &wh : {std::pair<uint32_t, uint32_t>{65535, 1}, {1, 65535}, {65535, 3}}) {
        Bytes f = HeaderBytes(wh.first, wh.second);
        f.insert(f.end(), {0x00, 0x00, 0x00, 0x00});
        const Decoded e = DecodeBytes(f);
        EXPECT_EQ(e.result, ERR_READ) << wh.first << "x" << wh.second;
        ASSERT_EQ(e.calls.size(), 1u);
    }

    // A few bytes that decode a whole large picture from zero bits: every
    // token is a run of 127 pixels repeating the pixel before (token 341,
    // offset (-1, 0)), so the bitmap stays black, in bounded time. The 8400
    // tokens stay within one table set; one token more than a set serves
    // would need a second set, which zero bits cannot give.
    const Bytes bomb = ZeroBitPicture(1500, 700, RunToken(MAX_RUN));
    ASSERT_LT(bomb.size(), 64u);
    const Decoded b = DecodeBytes(bomb);
    ASSERT_EQ(b.result, ERR_NONE);
    EXPECT_TRUE((b.calls == ProgressOf(700)));
    ASSERT_EQ(b.pixels.size(), BitmapSize(1500, 700));
    EXPECT_EQ(std::count(b.pixels.begin(), b.pixels.end(), 0), static_cast<long>(b.pixels.size()));
    // Token 215 with offset (-1, 0): every pixel is the one before minus 2 in
    // each channel, and the first of each row starts from the zero bytes
    // before it (the row below, not decoded yet, or before the buffer).
    const Bytes bright = ZeroBitPicture(640, 3, 215);
    const Decoded c = DecodeBytes(bright);
    ASSERT_EQ(c.result, ERR_NONE);
    Bytes expected;
    for (int row = 0; row < 3; row++)
        for (int x = 0; x < 640; x++)
            expected.insert(expected.end(), 3, static_cast<uint8_t>(256 - 2 * (x + 1)));
    EXPECT_EQ(c.pixels, expected);
    // One literal token more than a table set serves: the second set is due
    // and missing.
    const Decoded over = DecodeBytes(ZeroBitPicture(REBUILD_PERIOD + 1, 1, 129));
    EXPECT_EQ(over.result, ERR_READ);
    EXPECT_EQ(DecodeBytes(ZeroBitPicture(REBUILD_PERIOD, 1, 129)).result, ERR_NONE);
}

// Source descriptions and buffers no host should pass, which must still give
// a result code and touch nothing they must not.
TEST(Malformed, HostileArguments) {
    const RandomPicture pic = MakeRandomPicture(61, 6, 3);
    const char *bytes = reinterpret_cast<const char *>(pic.file.data());
    const PxcmLong size = static_cast<PxcmLong>(pic.file.size());
    // The result, and whether both handle variables were left alone.
    auto picture = [](const char *location, PxcmLong extent, uint32_t mode) {
        const Decoded d = DecodeAt(location, extent, mode, NO_CALLBACK);
        return std::make_pair(d.result, d.untouched());
    };
    // Unsupported source kinds, whatever the location.
    for (uint32_t kind = 2; kind < 8; kind++) {
        EXPECT_EQ(picture(nullptr, 0, kind), std::make_pair(int32_t{ERR_INTERNAL}, true)) << kind;
        PictureInfoBlock record = UntouchedRecord();
        EXPECT_EQ(GetPictureInfo(bytes, size, kind, &record), ERR_INTERNAL) << kind;
        EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
    }
    // Only the low 3 bits of the mode count.
    EXPECT_EQ(picture(bytes, size, 0xFFFFFFF8u | SOURCE_MEMORY).first, ERR_NONE);
    // A negative size cannot be opened; a null block is one the platform
    // provides, zero-filled, so no header is found in it.
    EXPECT_EQ(picture(bytes, -1, SOURCE_MEMORY), std::make_pair(int32_t{ERR_MEMORY}, true));
    EXPECT_EQ(picture(nullptr, 64, SOURCE_MEMORY), std::make_pair(int32_t{ERR_BAD_FORMAT}, true));
    EXPECT_EQ(picture(bytes, 0, SOURCE_MEMORY).first, ERR_READ);
    // Files: no name, a missing file, an offset before the start or past the end.
    TempFile tmp(pic.file);
    EXPECT_EQ(picture(nullptr, 0, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture("/nonexistent/pxcm/x.pxc", 0, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture(tmp.path().c_str(), -5, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture(tmp.path().c_str(), size + 100, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture(tmp.path().c_str(), 0, SOURCE_FILE).first, ERR_NONE);
    // A probe handle that is no open descriptor answers 0.
    EXPECT_EQ(IsSupported(nullptr, static_cast<PxcmRef>(0xFFF0)), 0);
    // GetPluginInfo never writes outside the buffer: guard bytes around it.
    for (int32_t index = -1; index <= 4; index++) {
        for (int32_t capacity : {-5, 0, 1, 2, 5, 64}) {
            char buffer[80];
            memset(buffer, '#', sizeof buffer);
            const int32_t n = GetPluginInfo(index, buffer + 8, capacity);
            const int32_t used = capacity > 0 ? capacity : 0;
            for (int i = 0; i < 8; i++) ASSERT_EQ(buffer[i], '#') << index << " " << capacity;
            for (size_t i = 8 + static_cast<size_t>(used); i < sizeof buffer; i++) {
                ASSERT_EQ(buffer[i], '#') << index << " " << capacity;
            }
            ASSERT_GE(n, 0);
            ASSERT_LT(n, capacity > 0 ? capacity : 1);
        }
    }
}
