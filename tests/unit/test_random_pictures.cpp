// Random well-formed pictures decode to the pixels the model expects.
#include <gtest/gtest.h>

#include "plugin/pxcm.h"
#include "support/random_stream.h"

namespace {

std::vector<uint8_t> DecodeFromMemory(const std::vector<uint8_t> &file, int32_t *result) {
    PxcmBlock info = nullptr, pixels = nullptr;
    *result = GetPicture(reinterpret_cast<const char *>(file.data()),
                         static_cast<PxcmLong>(file.size()), SOURCE_MEMORY, &info, &pixels,
                         nullptr, 0);
    std::vector<uint8_t> out;
    if (*result != ERR_NONE) return out;
    const uint64_t size = GetBlockSize(pixels);
    auto *p = static_cast<const uint8_t *>(LockBlock(pixels));
    out.assign(p, p + size);
    UnlockBlock(pixels);
    FreeBlock(pixels);
    FreeBlock(info);
    return out;
}

} // namespace

TEST(RandomPictures, DecodeToTheModelPixels) {
    const uint32_t sizes[][2] = {{1, 1}, {1, 7}, {2, 5}, {3, 3}, {4, 6}, {5, 4},
                                 {7, 9}, {16, 16}, {33, 20}, {200, 120}};
    for (uint32_t seed = 1; seed <= 6; seed++) {
        for (const auto &s : sizes) {
            RandomPicture pic = MakeRandomPicture(seed, s[0], s[1]);
            int32_t result = -1;
            std::vector<uint8_t> got = DecodeFromMemory(pic.file, &result);
            ASSERT_EQ(result, ERR_NONE) << "seed " << seed << " size " << s[0] << "x" << s[1];
            ASSERT_EQ(got, pic.pixels) << "seed " << seed << " size " << s[0] << "x" << s[1];
        }
    }
}

TEST(RandomPictures, ManyTableSetsAndLongCodes) {
    RandomStreamOptions options;
    options.run_share = 0.005;
    options.escape_share = 0.3;
    options.max_code_length = 24;
    RandomPicture pic = MakeRandomPicture(99, 400, 200, options);
    ASSERT_GT(pic.tokens, 3u * 16384u);
    int32_t result = -1;
    std::vector<uint8_t> got = DecodeFromMemory(pic.file, &result);
    ASSERT_EQ(result, ERR_NONE);
    EXPECT_EQ(got, pic.pixels);
}
