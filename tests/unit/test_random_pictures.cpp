// Random well-formed pictures decode to the pixels the model expects.
#include <gtest/gtest.h>

#include "support/support.h"

TEST(RandomPictures, DecodeToTheModelPixels) {
    const uint32_t sizes[][2] = {{1, 1}, {1, 7}, {2, 5}, {3, 3}, {4, 6}, {5, 4},
                                 {7, 9}, {16, 16}, {33, 20}, {200, 120}};
    for (uint32_t seed = 1; seed <= 6; seed++) {
        for (const auto &s : sizes) {
            RandomPicture pic = MakeRandomPicture(seed, s[0], s[1]);
            const Decoded d = DecodeBytes(pic.file, NO_CALLBACK);
            ASSERT_EQ(d.result, ERR_NONE) << "seed " << seed << " size " << s[0] << "x" << s[1];
            ASSERT_EQ(d.pixels, pic.pixels) << "seed " << seed << " size " << s[0] << "x" << s[1];
        }
    }
}

TEST(RandomPictures, ManyTableSetsAndLongCodes) {
    RandomStreamOptions options;
    options.run_share = 0.005;
    options.escape_share = 0.3;
    options.max_code_length = 24;
    RandomPicture pic = MakeRandomPicture(99, 400, 200, options);
    ASSERT_GT(pic.tokens, 3u * REBUILD_PERIOD);
    const Decoded d = DecodeBytes(pic.file, NO_CALLBACK);
    ASSERT_EQ(d.result, ERR_NONE);
    EXPECT_EQ(d.pixels, pic.pixels);
}

TEST(RandomPictures, EscapesOfEveryCountAndLongCodes) {
    // Literals with up to three escapes, many of them with codes too long
    // for one look-up or for two in one, and long token codes: the row
    // decoder's ways for each, inside the picture and at its edges.
    RandomStreamOptions options;
    options.run_share = 0.02;
    options.escape_share = 0.6;
    options.max_code_length = 22;
    for (uint32_t seed = 1; seed <= 4; seed++) {
        RandomPicture pic = MakeRandomPicture(200 + seed, 150 + 37 * seed, 90, options);
        const Decoded d = DecodeBytes(pic.file, NO_CALLBACK);
        ASSERT_EQ(d.result, ERR_NONE) << "seed " << seed;
        EXPECT_EQ(d.pixels, pic.pixels) << "seed " << seed;
    }
}

TEST(RandomPictures, LiteralsWithoutEscapesAndShortRunsUpToEveryRowEnd) {
    // Mostly literals without escapes and short runs, the fast loop's ways
    // for whole tokens: sixteen bytes at a time where the row goes on that
    // far, four bytes or three for a literal nearer its end, and runs
    // whose last bytes it copies in whole words. Widths with and without
    // row padding, so that a byte written past a row's last pixel lands in
    // the row decoded before it; and widths around the narrowest whose
    // references to the row above lie sixteen bytes ahead or more (at the
    // row's start those read its own last bytes, still zero).
    RandomStreamOptions options;
    options.escape_share = 0.01;
    options.run_share = 0.2;
    options.long_run_share = 0.02;
    options.max_code_length = 12;
    for (uint32_t seed = 1; seed <= 3; seed++) {
        for (uint32_t width : {3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 12u, 16u, 17u, 64u, 97u}) {
            RandomPicture pic = MakeRandomPicture(300 + seed, width, 24, options);
            const Decoded d = DecodeBytes(pic.file, NO_CALLBACK);
            ASSERT_EQ(d.result, ERR_NONE) << "seed " << seed << " width " << width;
            ASSERT_EQ(d.pixels, pic.pixels) << "seed " << seed << " width " << width;
        }
    }
}

TEST(RandomPictures, TableSetsOfWholeTokensAndOfEscapesInTurn) {
    // Table sets that alternate between literals without escapes (most
    // tokens whole in their pair entry) and literals with many: the fast
    // loop changes its way of taking whole tokens with the table set, in
    // the middle of rows, with the reader, the list and the output where
    // the other way left them.
    RandomStreamOptions options;
    options.run_share = 0.003;
    options.escape_share = 0.002;
    options.alternate_escape_share = 0.5;
    options.max_code_length = 16;
    for (uint32_t seed = 1; seed <= 2; seed++) {
        RandomPicture pic = MakeRandomPicture(400 + seed, 363 + seed, 250, options);
        ASSERT_GT(pic.tokens, 4u * REBUILD_PERIOD);
        const Decoded d = DecodeBytes(pic.file, NO_CALLBACK);
        ASSERT_EQ(d.result, ERR_NONE) << "seed " << seed;
        EXPECT_EQ(d.pixels, pic.pixels) << "seed " << seed;
    }
}
