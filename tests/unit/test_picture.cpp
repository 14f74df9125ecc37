// GetPicture as the host sees it: the two blocks, progress and cancel, and
// what is released when a platform call fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/random_stream.h"
#include "support/streams.h"

namespace {

// Sentinels in the host's handle variables: values that no allocation
// returns, so a test can tell whether GetPicture wrote the variables.
PxcmBlock const INFO_SENTINEL = reinterpret_cast<PxcmBlock>(static_cast<uintptr_t>(0x1F0));
PxcmBlock const PIXELS_SENTINEL = reinterpret_cast<PxcmBlock>(static_cast<uintptr_t>(0x2F0));

struct Call {
    int32_t result;
    PxcmBlock info;
    PxcmBlock pixels;
};

Call CallGetPicture(const char *location, PxcmLong extent, uint32_t mode,
                    ProgressCallback callback = nullptr, PxcmLong user = 0) {
    Call c{-100, INFO_SENTINEL, PIXELS_SENTINEL};
    c.result = GetPicture(location, extent, mode, &c.info, &c.pixels, callback, user);
    return c;
}

Call FromMemory(const std::vector<uint8_t> &file) {
    return CallGetPicture(reinterpret_cast<const char *>(file.data()),
                          static_cast<PxcmLong>(file.size()), SOURCE_MEMORY);
}

// The file behind `pad` bytes of other data.
std::vector<uint8_t> Behind(size_t pad, const std::vector<uint8_t> &file) {
    std::vector<uint8_t> out(pad + file.size(), 0xEE);
    std::copy(file.begin(), file.end(), out.begin() + static_cast<ptrdiff_t>(pad));
    return out;
}

// Frees what a successful call handed over.
void Release(const Call &c) {
    if (c.result != ERR_NONE) return;
    FreeBlock(c.info);
    FreeBlock(c.pixels);
}

} // namespace

TEST(Picture, BitmapHeaderAndBlocks) {
    const uint32_t widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 13, 100};
    for (uint32_t width : widths) {
        const RandomPicture pic = MakeRandomPicture(width, width, 3);
        const Decoded d = DecodeBytes(pic.file);
        ASSERT_EQ(d.result, ERR_NONE) << width;
        ASSERT_TRUE(d.has_info);
        const uint64_t stride = width % 4 == 0 ? 3 * width : (3 * width / 4 + 1) * 4;
        EXPECT_EQ(d.info_size, 40u);
        EXPECT_EQ(+d.info.biSize, 40u);
        EXPECT_EQ(+d.info.biWidth, static_cast<int32_t>(width));
        EXPECT_EQ(+d.info.biHeight, 3); // positive: bottom-up rows
        EXPECT_EQ(+d.info.biPlanes, 1);
        EXPECT_EQ(+d.info.biBitCount, 24);
        EXPECT_EQ(+d.info.biCompression, 0u);
        EXPECT_EQ(+d.info.biSizeImage, 3 * stride) << width;
        EXPECT_EQ(+d.info.biXPelsPerMeter, 0);
        EXPECT_EQ(+d.info.biYPelsPerMeter, 0);
        EXPECT_EQ(+d.info.biClrUsed, 0u);
        EXPECT_EQ(+d.info.biClrImportant, 0u);
        EXPECT_EQ(d.pixels.size(), 3 * stride) << width;
        EXPECT_EQ(d.pixels, pic.pixels) << width;
    }
    // A width above 32767 stays positive. The stream is a table set whose
    // one-bit codes are all zero bits: runs of 127 black pixels, fewer than
    // 16384 of them.
    CodeTables tables;
    tables.token[341] = 1;
    tables.offset[0] = 1;
    StreamBuilder s(40000, 2);
    s.Tables(tables);
    const Decoded wide = DecodeBytes(s.Finish());
    ASSERT_EQ(wide.result, ERR_NONE);
    EXPECT_EQ(+wide.info.biWidth, 40000);
    EXPECT_EQ(+wide.info.biSizeImage, 240000u);
    EXPECT_EQ(wide.pixels, std::vector<uint8_t>(240000, 0));
    // The strides the format names: 3W for W a multiple of 4, 4 for W = 1,
    // 16 for W = 5.
    EXPECT_EQ(StrideOf(4), 12u);
    EXPECT_EQ(StrideOf(1), 4u);
    EXPECT_EQ(StrideOf(5), 16u);
}

TEST(Picture, BlocksAreUnlockedAndOwnedByTheHost) {
    const RandomPicture pic = MakeRandomPicture(5, 9, 4);
    Call c = FromMemory(pic.file);
    ASSERT_EQ(c.result, ERR_NONE);
    ASSERT_NE(c.info, nullptr);
    ASSERT_NE(c.pixels, nullptr);
    EXPECT_EQ(GetBlockSize(c.info), 40u);
    EXPECT_EQ(GetBlockSize(c.pixels), pic.pixels.size());
    // The host can lock, read and unlock them as often as it likes.
    for (int i = 0; i < 2; i++) {
        auto *p = static_cast<const uint8_t *>(LockBlock(c.pixels));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(p, p + pic.pixels.size()), pic.pixels);
        UnlockBlock(c.pixels);
    }
    Release(c);
}

TEST(Picture, FileSourceWithAndWithoutOffset) {
    const RandomPicture pic = MakeRandomPicture(11, 17, 6);
    std::vector<uint8_t> embedded = Behind(333, pic.file);
    embedded.resize(embedded.size() + 100, 0xDD); // whatever follows is never interpreted
    TempFile plain(pic.file), inner(embedded);
    Decoded d = DecodeFile(plain.name(), 0);
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, pic.pixels);
    d = DecodeFile(inner.name(), 333);
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, pic.pixels);
    EXPECT_EQ(DecodeFile(inner.name(), 0).result, ERR_BAD_FORMAT);
}

TEST(Picture, ProgressIsReportedBeforeEveryRowAndAtTheEnd) {
    for (uint32_t height : {1u, 2u, 7u}) {
        const RandomPicture pic = MakeRandomPicture(height, 5, height);
        const Decoded d = DecodeBytes(pic.file);
        ASSERT_EQ(d.result, ERR_NONE);
        std::vector<std::pair<int32_t, int32_t>> want;
        for (int32_t m = 0; m <= static_cast<int32_t>(height); m++) want.emplace_back(m, height);
        EXPECT_EQ(d.calls, want) << height;
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
        Call c = CallGetPicture(reinterpret_cast<const char *>(pic.file.data()),
                                static_cast<PxcmLong>(pic.file.size()), SOURCE_MEMORY, RememberUser,
                                user);
        ASSERT_EQ(c.result, ERR_NONE);
        EXPECT_EQ(g_seen_user, user);
        Release(c);
    }
}

TEST(Picture, NullCallbackDecodes) {
    const RandomPicture pic = MakeRandomPicture(3, 6, 5);
    Call c = FromMemory(pic.file);
    ASSERT_EQ(c.result, ERR_NONE);
    auto *p = static_cast<const uint8_t *>(LockBlock(c.pixels));
    EXPECT_EQ(std::vector<uint8_t>(p, p + pic.pixels.size()), pic.pixels);
    UnlockBlock(c.pixels);
    Release(c);
}

class PictureCancel : public WithFaults {};

TEST_F(PictureCancel, AnyCallbackCanStopTheDecode) {
    const uint32_t height = 4;
    const RandomPicture pic = MakeRandomPicture(4, 6, height);
    for (int32_t stop = 0; stop <= static_cast<int32_t>(height); stop++) {
        FaultsReset();
        const Decoded d = DecodeBytes(pic.file, stop);
        EXPECT_EQ(d.result, ERR_ABORTED) << stop;
        EXPECT_EQ(d.calls.size(), static_cast<size_t>(stop) + 1) << stop;
        EXPECT_EQ(d.calls.back(), std::make_pair(stop, static_cast<int32_t>(height)));
        if (stop == 0) {
            // Stopped before any token: nothing was read after the header.
            EXPECT_EQ(FaultsCalls(CALL_READ), 1);
        }
    }
}

TEST_F(PictureCancel, CancelledBlocksAreFreed) {
    // Handles of freed blocks are cleared; the leak checker of the
    // sanitizer build sees whether the blocks themselves went.
    const RandomPicture pic = MakeRandomPicture(6, 3, 2);
    for (int32_t stop : {0, 2}) {
        struct Stopper {
            static int32_t PXCM_API At(int32_t num, int32_t, PxcmLong user) {
                return num == static_cast<int32_t>(user) ? 1 : 0;
            }
        };
        Call c = CallGetPicture(reinterpret_cast<const char *>(pic.file.data()),
                                static_cast<PxcmLong>(pic.file.size()), SOURCE_MEMORY, Stopper::At,
                                stop);
        EXPECT_EQ(c.result, ERR_ABORTED);
        EXPECT_EQ(c.info, nullptr);
        EXPECT_EQ(c.pixels, nullptr);
    }
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
        Call c = FromMemory(file);
        EXPECT_EQ(c.result, ERR_MEMORY);
        EXPECT_EQ(c.info, nullptr);
        EXPECT_EQ(c.pixels, nullptr);
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
    cases[0].tables.token = std::vector<uint8_t>(342, 0);
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
        std::vector<uint8_t> file = HeaderBytes(4, 4);
        BitWriter w;
        StartBitWriter(&w, &file);
        PutCodeLengths(&w, c.tables.token.data(), 342);
        PutCodeLengths(&w, c.tables.offset.data(), 11);
        PutCodeLengths(&w, c.tables.escape.data(), 251);
        PrefixCode token;
        SetPrefixCode(&token, c.tables.token.data(), 342);
        PutSymbol(&w, &token, c.token);
        PutBits(&w, 0, 8); // offset 0 where it has a code
        FlushBits(&w);
        EXPECT_EQ(DecodeBytes(file).result, ERR_READ) << c.what;
    }
}

// ---------------------------------------------------------------- platform failures

namespace {

// What a failure of one platform call does to GetPicture's result.
int32_t ExpectedFor(PlatformCall call) {
    switch (call) {
    case CALL_OPEN_MEMORY: return ERR_MEMORY;
    case CALL_BLOCK_ALLOC: return ERR_NO_MEMORY;
    case CALL_BLOCK_LOCK: return ERR_MEMORY;
    case CALL_HEAP_ALLOC: return ERR_NO_MEMORY;
    default: return ERR_READ; // open file, seek, read, close
    }
}

const char *NameOf(PlatformCall call) {
    static const char *const names[CALL_COUNT] = {
        "open file", "open memory", "seek", "read", "get info", "close",
        "block alloc", "block lock", "heap alloc", "file read", "file rewind"};
    return names[call];
}

} // namespace

class PictureFaults : public WithFaults {};

TEST_F(PictureFaults, EveryPlatformCallOfADecodeFails) {
    // A picture big enough that the decode reads its source in several
    // requests. Each platform call GetPicture makes is made to fail in
    // turn; the result is the call's failure code, the host's variables are
    // untouched until a block was allocated and cleared afterwards.
    RandomStreamOptions options;
    options.run_share = 0.01;
    options.escape_share = 0.3;
    const RandomPicture pic = MakeRandomPicture(21, 300, 120, options);
    ASSERT_GT(pic.file.size(), 40000u);
    TempFile temp(Behind(64, pic.file));

    for (bool from_file : {false, true}) {
        auto run = [&] {
            return from_file ? CallGetPicture(temp.name().c_str(), 64, SOURCE_FILE)
                             : FromMemory(pic.file);
        };
        FaultsReset();
        Call clean = run();
        ASSERT_EQ(clean.result, ERR_NONE);
        int counts[CALL_COUNT];
        for (int k = 0; k < CALL_COUNT; k++) counts[k] = FaultsCalls(static_cast<PlatformCall>(k));
        auto *pixels = static_cast<const uint8_t *>(LockBlock(clean.pixels));
        ASSERT_NE(pixels, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + pic.pixels.size()), pic.pixels);
        UnlockBlock(clean.pixels);
        Release(clean);
        EXPECT_GE(counts[CALL_READ], 3) << from_file;
        EXPECT_EQ(counts[CALL_BLOCK_ALLOC], 2);
        EXPECT_EQ(counts[CALL_HEAP_ALLOC], 1);
        EXPECT_EQ(counts[CALL_CLOSE], 1);

        for (int k = 0; k < CALL_COUNT; k++) {
            const auto call = static_cast<PlatformCall>(k);
            for (int n = 1; n <= counts[k]; n++) {
                FaultsReset();
                FaultsArm(call, n);
                Call c = run();
                const std::string what = std::string(from_file ? "file: " : "memory: ") +
                                         NameOf(call) + " #" + std::to_string(n);
                if (call == CALL_READ && n == counts[k] && c.result == ERR_NONE) {
                    // The last request only finds the end of the data. Where the
                    // decoder already holds every bit it needs, its failure may
                    // go unnoticed, but then the picture must be whole.
                    auto *p = static_cast<const uint8_t *>(LockBlock(c.pixels));
                    ASSERT_NE(p, nullptr);
                    EXPECT_EQ(std::vector<uint8_t>(p, p + pic.pixels.size()), pic.pixels) << what;
                    UnlockBlock(c.pixels);
                    Release(c);
                    continue;
                }
                EXPECT_EQ(c.result, ExpectedFor(call)) << what;
                // Before the information block exists nothing is written.
                const bool before_blocks =
                    call == CALL_OPEN_FILE || call == CALL_OPEN_MEMORY || call == CALL_SEEK ||
                    (call == CALL_READ && n == 1);
                if (before_blocks) {
                    EXPECT_EQ(c.info, INFO_SENTINEL) << what;
                    EXPECT_EQ(c.pixels, PIXELS_SENTINEL) << what;
                } else {
                    EXPECT_EQ(c.info, nullptr) << what;
                    // A failure of the first allocation leaves the second variable.
                    const bool first_block = (call == CALL_BLOCK_ALLOC || call == CALL_BLOCK_LOCK) && n == 1;
                    EXPECT_EQ(c.pixels, first_block ? PIXELS_SENTINEL : nullptr) << what;
                }
                Release(c);
            }
        }
    }
}

TEST_F(PictureFaults, FirstErrorIsKeptWhenTheCloseAlsoFails) {
    const RandomPicture pic = MakeRandomPicture(22, 10, 10);
    const struct {
        PlatformCall call;
        int32_t expected;
    } cases[] = {
        {CALL_HEAP_ALLOC, ERR_NO_MEMORY},
        {CALL_BLOCK_LOCK, ERR_MEMORY},
        {CALL_BLOCK_ALLOC, ERR_NO_MEMORY},
        {CALL_READ, ERR_READ},
    };
    for (const auto &c : cases) {
        FaultsReset();
        FaultsArm(c.call, 1);
        FaultsArm(CALL_CLOSE, 1);
        Call r = FromMemory(pic.file);
        EXPECT_EQ(r.result, c.expected) << NameOf(c.call);
        EXPECT_EQ(FaultsCalls(CALL_CLOSE), 1) << NameOf(c.call);
    }
    // A cancelled decode stays cancelled.
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    EXPECT_EQ(DecodeBytes(pic.file, 3).result, ERR_ABORTED);
    // A refused header stays refused.
    std::vector<uint8_t> bad = pic.file;
    bad[16] = 32;
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    Call r = FromMemory(bad);
    EXPECT_EQ(r.result, ERR_BAD_FORMAT);
    EXPECT_EQ(r.info, INFO_SENTINEL);
}

TEST_F(PictureFaults, CloseFailingAfterAGoodDecodeFreesBothBlocks) {
    const RandomPicture pic = MakeRandomPicture(23, 8, 8);
    FaultsArm(CALL_CLOSE, 1);
    const Decoded d = DecodeBytes(pic.file);
    EXPECT_EQ(d.result, ERR_READ);
    EXPECT_EQ(d.calls.size(), 9u); // the whole picture was decoded first
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    Call c = FromMemory(pic.file);
    EXPECT_EQ(c.result, ERR_READ);
    EXPECT_EQ(c.info, nullptr);
    EXPECT_EQ(c.pixels, nullptr);
}

TEST_F(PictureFaults, LargestHeaderWithoutAllocatingIt) {
    // 65535 x 65535 pixels would need about 12.9 GB. The size is reported,
    // and a pixel block that cannot be allocated ends the call cleanly.
    std::vector<uint8_t> file = HeaderBytes(65535, 65535);
    file.insert(file.end(), 8, 0x80);
    PictureInfoBlock record{};
    ASSERT_EQ(GetPictureInfo(reinterpret_cast<const char *>(file.data()),
                             static_cast<PxcmLong>(file.size()), SOURCE_MEMORY, &record),
              ERR_NONE);
    EXPECT_EQ(+record.width, 65535);
    EXPECT_EQ(+record.height, 65535);

    FaultsArm(CALL_BLOCK_ALLOC, 2);
    Call c = FromMemory(file);
    EXPECT_EQ(c.result, ERR_NO_MEMORY);
    EXPECT_EQ(c.info, nullptr);
    EXPECT_EQ(c.pixels, nullptr);
    EXPECT_EQ(FaultsCalls(CALL_HEAP_ALLOC), 0);
}
