// GetPicture as the host sees it: the two blocks, the sources, progress,
// and streams that end early or cannot be decoded. Stop requests and
// platform failures are in robustness/test_faults.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

// The file behind `pad` bytes of other data.
std::vector<uint8_t> Behind(size_t pad, const std::vector<uint8_t> &file) {
    std::vector<uint8_t> out(pad + file.size(), 0xEE);
    std::copy(file.begin(), file.end(), out.begin() + static_cast<ptrdiff_t>(pad));
    return out;
}

} // namespace

TEST(Picture, BitmapHeaderAndBlocks) {
    const uint32_t widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 13, 100};
    for (uint32_t width : widths) {
        const RandomPicture pic = MakeRandomPicture(width, width, 3);
        const Decoded d = DecodeBytes(pic.file);
        ASSERT_EQ(d.result, ERR_NONE) << width;
        ASSERT_TRUE(d.has_header);
        const uint64_t stride = static_cast<uint64_t>(RowStride(width));
        EXPECT_EQ(d.info_size, 40u);
        EXPECT_EQ(+d.header.biSize, 40u);
        EXPECT_EQ(+d.header.biWidth, static_cast<int32_t>(width));
        EXPECT_EQ(+d.header.biHeight, 3); // positive: bottom-up rows
        EXPECT_EQ(+d.header.biPlanes, 1);
        EXPECT_EQ(+d.header.biBitCount, 24);
        EXPECT_EQ(+d.header.biCompression, 0u);
        EXPECT_EQ(+d.header.biSizeImage, 3 * stride) << width;
        EXPECT_EQ(+d.header.biXPelsPerMeter, 0);
        EXPECT_EQ(+d.header.biYPelsPerMeter, 0);
        EXPECT_EQ(+d.header.biClrUsed, 0u);
        EXPECT_EQ(+d.header.biClrImportant, 0u);
        EXPECT_EQ(d.pixels.size(), 3 * stride) << width;
        EXPECT_EQ(d.pixels, pic.pixels) << width;
    }
    // A width above 32767 stays positive. The stream is a table set whose
    // one-bit codes are all zero bits: runs of 127 black pixels, fewer than
    // a table set serves.
    CodeTables tables;
    tables.token[RunToken(MAX_RUN)] = 1;
    tables.offset[0] = 1;
    StreamBuilder s(40000, 2);
    s.Tables(tables);
    const Decoded wide = DecodeBytes(s.Finish());
    ASSERT_EQ(wide.result, ERR_NONE);
    EXPECT_EQ(+wide.header.biWidth, 40000);
    EXPECT_EQ(+wide.header.biSizeImage, 240000u);
    EXPECT_EQ(wide.pixels, std::vector<uint8_t>(240000, 0));
    // The strides the format names: 3W for W a multiple of 4, 4 for W = 1,
    // 16 for W = 5.
    EXPECT_EQ(RowStride(4), 12);
    EXPECT_EQ(RowStride(1), 4);
    EXPECT_EQ(RowStride(5), 16);
}

TEST(Picture, BlocksAreUnlockedAndOwnedByTheHost) {
    // The blocks themselves, in the test's hands.
    const RandomPicture pic = MakeRandomPicture(5, 9, 4);
    PxcmBlock info = nullptr, pixels = nullptr;
    ASSERT_EQ(GetPicture(reinterpret_cast<const char *>(pic.file.data()), static_cast<PxcmLong>(pic.file.size()),
                         SOURCE_MEMORY, &info, &pixels, nullptr, 0),
              ERR_NONE);
    ASSERT_NE(info, nullptr);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(GetBlockSize(info), 40u);
    EXPECT_EQ(GetBlockSize(pixels), pic.pixels.size());
    // The host can lock, read and unlock them as often as it likes.
    for (int i = 0; i < 2; i++) {
        auto *p = static_cast<const uint8_t *>(LockBlock(pixels));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(p, p + pic.pixels.size()), pic.pixels);
        UnlockBlock(pixels);
    }
    FreeBlock(pixels);
    FreeBlock(info);
}

TEST(Picture, FileSourceWithAndWithoutOffset) {
    const RandomPicture pic = MakeRandomPicture(11, 17, 6);
    std::vector<uint8_t> embedded = Behind(333, pic.file);
    embedded.resize(embedded.size() + 100, 0xDD); // whatever follows is never interpreted
    TempFile plain(pic.file), inner(embedded);
    Decoded d = DecodeFile(plain.path(), 0);
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, pic.pixels);
    d = DecodeFile(inner.path(), 333);
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, pic.pixels);
    EXPECT_EQ(DecodeFile(inner.path(), 0).result, ERR_BAD_FORMAT);
}

TEST(Picture, ProgressIsReportedBeforeEveryRowAndAtTheEnd) {
    for (uint32_t height : {1u, 2u, 7u}) {
        const RandomPicture pic = MakeRandomPicture(height, 5, height);
        const Decoded d = DecodeBytes(pic.file);
        ASSERT_EQ(d.result, ERR_NONE);
        EXPECT_EQ(d.calls, ProgressOf(height)) << height;
    }
}

namespace {

PxcmLong g_seen_user = 0;
int32_t PXCM_API RememberUser(int32_t, int32_t, PxcmLong user) {
    g_seen_user = user;
    return 0;
}

} // namespace

TEST(Picture, UserDataReachesTheCallbackUnchanged) {
    const RandomPicture pic = MakeRandomPicture(2, 3, 3);
    for (PxcmLong user : {PxcmLong{0x5EED}, PxcmLong{-1}, PxcmLong{0}}) {
        g_seen_user = 12345;
        PxcmBlock info = nullptr, pixels = nullptr;
        ASSERT_EQ(GetPicture(reinterpret_cast<const char *>(pic.file.data()), static_cast<PxcmLong>(pic.file.size()),
                             SOURCE_MEMORY, &info, &pixels, RememberUser, user),
                  ERR_NONE);
        EXPECT_EQ(g_seen_user, user);
        FreeBlock(pixels);
        FreeBlock(info);
    }
}

TEST(Picture, NullCallbackDecodes) {
    const RandomPicture pic = MakeRandomPicture(3, 6, 5);
    const Decoded d = DecodeBytes(pic.file, NO_CALLBACK);
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, pic.pixels);
}

TEST(Picture, EmptyPicturesCannotLockTheirPixelBlock) {
    // On this platform a zero-size block is allocated but cannot be locked:
    // ERR_MEMORY, with the information block freed and nothing decoded.
    for (const auto &size : {std::pair{0u, 0u}, std::pair{0u, 5u}, std::pair{5u, 0u}}) {
        std::vector<uint8_t> file = HeaderBytes(size.first, size.second);
        file.insert(file.end(), 16, 0xFF);
        const Decoded d = DecodeBytes(file);
        EXPECT_EQ(d.result, ERR_MEMORY) << size.first << "x" << size.second;
        EXPECT_TRUE(d.calls.empty());
        EXPECT_TRUE(d.cleared());
    }
}

TEST(Picture, StreamsThatEndEarly) {
    // No data after the header: the first count is read from zero bits and
    // refused; the decode ends instead of hanging.
    const std::vector<uint8_t> bare = HeaderBytes(1000, 1000);
    EXPECT_EQ(DecodeBytes(bare).result, ERR_READ);
    std::vector<uint8_t> zeros = bare;
    zeros.insert(zeros.end(), 64, 0);
    EXPECT_EQ(DecodeBytes(zeros).result, ERR_READ);

    // Cut right after a table set: the tokens come from zero bits (token
    // 129, offset position 0) and the picture is complete and black.
    CodeTables tables;
    tables.token[129] = tables.token[215] = 1;
    tables.offset[0] = tables.offset[1] = 1;
    StreamBuilder s(2, 3);
    s.Tables(tables);
    const Decoded d = DecodeBytes(s.Finish());
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, std::vector<uint8_t>(24, 0));
}

TEST(Picture, RefusedCodesEndTheDecode) {
    // Codes that cannot be decoded safely end the picture with ERR_READ
    // instead of reading outside the tables.
    struct Case {
        const char *what;
        CodeTables tables;
        uint32_t token; // written raw, without its escapes
    };
    std::vector<Case> cases(4);
    cases[0].what = "token code over-subscribed";
    cases[0].tables.token = std::vector<uint8_t>(TOKEN_SYMBOLS, 0);
    cases[0].tables.token[129] = cases[0].tables.token[130] = cases[0].tables.token[131] = 1;
    cases[0].tables.offset[0] = 1;
    cases[1].what = "offset length above 32";
    cases[1].tables.token[129] = 1;
    cases[1].tables.offset[0] = 40;
    cases[2].what = "escape from an alphabet without codes";
    cases[2].tables.token[0] = cases[2].tables.token[129] = 1;
    cases[2].tables.offset[0] = 1;
    cases[3].what = "offset alphabet without codes";
    cases[3].tables.token[129] = 1;
    cases[0].token = cases[1].token = cases[3].token = 129;
    cases[2].token = 0;
    for (const Case &c : cases) {
        // Every case's token is the one of code 0, a single zero bit; then
        // offset 0 where it has a code.
        StreamBuilder s(4, 4);
        s.Lengths(c.tables);
        PrefixCode token;
        SetPrefixCode(&token, c.tables.token.data(), TOKEN_SYMBOLS);
        ASSERT_EQ(token.length[c.token], 1u) << c.what;
        ASSERT_EQ(token.code[c.token], 0u) << c.what;
        s.Bits(0, 1);
        s.Bits(0, 8);
        const std::vector<uint8_t> file = s.Finish();
        EXPECT_EQ(DecodeBytes(file).result, ERR_READ) << c.what;
    }
}
