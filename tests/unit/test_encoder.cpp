// The encoder against the decoder: pictures encoded at several effort levels
// must come back from GetPicture byte for byte.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "support/support.h"

namespace {

// A picture as GetPicture returns it: bottom-up rows, padded stride.
struct Pixels {
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t stride = 0;
    std::vector<uint8_t> bytes;
};

Pixels MakePixels(uint32_t width, uint32_t height) {
    Pixels p;
    p.width = width;
    p.height = height;
    p.stride = RowStride(width);
    p.bytes.assign(static_cast<size_t>(p.stride * height), 0);
    return p;
}

// Pixel (x, y), y counted from the top, as blue, green, red.
uint8_t *At(Pixels *p, uint32_t x, uint32_t y) {
    return &p->bytes[static_cast<size_t>((p->height - 1 - y) * p->stride + PIXEL_BYTES * x)];
}

std::vector<uint8_t> Encode(const Pixels &p, int32_t effort) {
    EncoderInput in{p.bytes.data(), p.width, p.height, p.stride};
    EncoderOptions options{effort, nullptr, nullptr};
    std::vector<uint8_t> file;
    EXPECT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
    return file;
}

// Decodes from memory; the pixel block in full, trailing bytes included.
bool Decode(const std::vector<uint8_t> &file, std::vector<uint8_t> *pixels) {
    const Decoded d = DecodeBytes(file, NO_CALLBACK);
    EXPECT_EQ(d.result, ERR_NONE);
    if (d.result != ERR_NONE) return false;
    *pixels = d.pixels;
    return true;
}

void ExpectRoundTrip(const Pixels &p, int32_t effort, const std::string &what) {
    SCOPED_TRACE(what + " at effort " + std::to_string(effort));
    const std::vector<uint8_t> file = Encode(p, effort);
    std::vector<uint8_t> back;
    ASSERT_TRUE(Decode(file, &back));
    ASSERT_EQ(back.size(), p.bytes.size());
    for (size_t i = 0; i < back.size(); i++) {
        if (back[i] != p.bytes[i]) {
            const int64_t row = static_cast<int64_t>(i) / p.stride;
            FAIL() << "first difference at byte " << i << " (image row " << p.height - 1 - row
                   << ", byte " << static_cast<int64_t>(i) % p.stride << "): got "
                   << int(back[i]) << ", want " << int(p.bytes[i]);
        }
    }
}

const int32_t EFFORTS[] = {1, 2, 4, 6, 9};

Pixels Flat(uint32_t w, uint32_t h, uint8_t b, uint8_t g, uint8_t r) {
    Pixels p = MakePixels(w, h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *q = At(&p, x, y);
            q[0] = b, q[1] = g, q[2] = r;
        }
    return p;
}

Pixels Noise(uint32_t w, uint32_t h, uint32_t seed, int32_t levels) {
    std::mt19937 rng(seed);
    Pixels p = MakePixels(w, h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++)
            for (int32_t c = 0; c < 3; c++)
                At(&p, x, y)[c] = static_cast<uint8_t>(rng() % levels * (256 / levels));
    return p;
}

} // namespace

TEST(EncoderRoundTrip, SyntheticPictures) {
    struct Case {
        std::string name;
        Pixels pixels;
    };
    std::vector<Case> cases;
    cases.push_back({"1x1 grey", Flat(1, 1, 90, 120, 200)});
    cases.push_back({"1x1 black", Flat(1, 1, 0, 0, 0)});
    cases.push_back({"flat 37x23", Flat(37, 23, 12, 250, 3)});
    cases.push_back({"black 40x6", Flat(40, 6, 0, 0, 0)});
    cases.push_back({"flat 300x3, runs longer than 127", Flat(300, 3, 1, 2, 3)});
    {
        Pixels p = MakePixels(64, 48);
        for (uint32_t y = 0; y < 48; y++)
            for (uint32_t x = 0; x < 64; x++) {
                uint8_t *q = At(&p, x, y);
                q[0] = static_cast<uint8_t>(x * 4), q[1] = static_cast<uint8_t>(y * 5);
                q[2] = static_cast<uint8_t>(x + y);
            }
        cases.push_back({"gradient 64x48", p});
    }
    {
        Pixels p = MakePixels(33, 40);
        for (uint32_t y = 0; y < 40; y++)
            for (uint32_t x = 0; x < 33; x++) {
                uint8_t *q = At(&p, x, y);
                q[0] = static_cast<uint8_t>(255 - 7 * y), q[1] = static_cast<uint8_t>(3 * x * y);
                q[2] = static_cast<uint8_t>(x * 9);
            }
        cases.push_back({"steep gradient 33x40", p});
    }
    {
        Pixels p = MakePixels(20, 10);
        for (uint32_t y = 0; y < 10; y++)
            for (uint32_t x = 0; x < 20; x++) {
                const uint8_t v = ((x + y) & 1) ? 255 : 17;
                memset(At(&p, x, y), v, 3);
            }
        cases.push_back({"checkerboard 20x10", p});
    }
    cases.push_back({"noise 16x16", Noise(16, 16, 1, 256)});
    cases.push_back({"noise 8x4, multiple of 4", Noise(8, 4, 2, 256)});
    cases.push_back({"two-level noise 24x12", Noise(24, 12, 3, 2)});
    // Appended rather than "text" + std::to_string(w), which GCC 12 warns
    // about wrongly (-Wrestrict) when it inlines the insert.
    const auto named = [](const char *what, uint32_t w) {
        std::string name = what;
        name += std::to_string(w);
        return name;
    };
    for (uint32_t w = 1; w <= 5; w++) {
        cases.push_back({named("noise width ", w), Noise(w, 9, 10 + w, 256)});
        cases.push_back({named("sparse width ", w), Noise(w, 7, 20 + w, 3)});
        cases.push_back({named("flat width ", w), Flat(w, 5, 200, 0, 7)});
    }
    for (const Case &c : cases)
        for (int32_t effort : EFFORTS) ExpectRoundTrip(c.pixels, effort, c.name);
}

// More tokens than one table set serves: the second set falls in the middle of a row.
TEST(EncoderRoundTrip, SeveralTableSets) {
    const Pixels noise = Noise(203, 170, 7, 256); // over 34000 literals
    for (int32_t effort : {1, 5, 9}) ExpectRoundTrip(noise, effort, "noise 203x170");
    // Blocks whose statistics differ: noise above, gradient below.
    Pixels p = Noise(150, 240, 8, 256);
    for (uint32_t y = 120; y < 240; y++)
        for (uint32_t x = 0; x < 150; x++) {
            uint8_t *q = At(&p, x, y);
            q[0] = static_cast<uint8_t>(x), q[1] = static_cast<uint8_t>(y), q[2] = 9;
        }
    for (int32_t effort : {1, 9}) ExpectRoundTrip(p, effort, "noise over gradient");
}

// The largest widths and heights the header can hold.
TEST(EncoderRoundTrip, ExtremeShapes) {
    Pixels wide = Noise(65535, 2, 12, 4);
    for (uint32_t x = 1000; x < 30000; x++) memcpy(At(&wide, x, 1), At(&wide, 999, 1), 3);
    Pixels tall = Noise(1, 65535, 13, 2);
    for (int32_t effort : {1, 9}) {
        ExpectRoundTrip(wide, effort, "65535x2");
        ExpectRoundTrip(tall, effort, "1x65535");
    }
}

// Tiny pictures of few values, mostly zero, so that references into bytes
// not decoded yet, past the buffer's end and into the trailing bytes often
// match and get chosen: every reference rule of the decoder is exercised.
TEST(EncoderRoundTrip, ReferencesAtTheEdges) {
    std::mt19937 rng(99);
    for (int32_t i = 0; i < 400; i++) {
        const uint32_t w = 1 + rng() % 6, h = 1 + rng() % 5;
        Pixels p = MakePixels(w, h);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++)
                for (int32_t c = 0; c < 3; c++) {
                    const uint32_t r = rng() % 10;
                    At(&p, x, y)[c] = r < 6 ? 0 : r < 8 ? 1 : r < 9 ? 254 : 9;
                }
        ExpectRoundTrip(p, 1 + i % 9, std::to_string(w) + "x" + std::to_string(h) + " #" +
                                           std::to_string(i));
        if (HasFatalFailure()) return;
    }
}

// Flat stretches of every length from 1 to past the longest run, between
// pixels far from their neighbours (an escape in every channel), each row
// the one above shifted: runs of every offset end at every kind of place,
// at the row's end too, next to literals with escapes, for widths around
// the longest run and twice it.
TEST(EncoderRoundTrip, RunsOfEveryLengthBetweenEscapes) {
    std::mt19937 rng(41);
    for (uint32_t w : {126u, 127u, 128u, 129u, 255u, 256u, 257u}) {
        const uint32_t h = 10;
        Pixels p = MakePixels(w, h);
        std::vector<uint8_t> row(3 * (w + h));
        uint32_t length = 1;
        for (size_t x = 0; x < row.size() / 3;) {
            uint8_t flat[3] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
            for (uint32_t j = 0; j < length && x < row.size() / 3; j++, x++) memcpy(&row[3 * x], flat, 3);
            if (x < row.size() / 3) {
                for (int32_t c = 0; c < 3; c++) row[3 * x + c] = static_cast<uint8_t>(flat[c] + 100 + rng() % 50);
                x++;
            }
            length = length % 130 + 1 + static_cast<uint32_t>(rng() % 3);
        }
        for (uint32_t y = 0; y < h; y++) memcpy(At(&p, 0, y), &row[3 * (h - y)], 3 * w);
        for (int32_t effort : EFFORTS) ExpectRoundTrip(p, effort, "width " + std::to_string(w));
        if (HasFatalFailure()) return;
    }
}

TEST(EncoderInput, PaddedInputStride) {
    // The caller's stride may be wider than the bitmap's; the padding is not
    // part of the picture.
    const Pixels src = Noise(7, 5, 4, 4);
    const int64_t wide = 40;
    std::vector<uint8_t> rows(static_cast<size_t>(wide * 5), 0xAB);
    for (uint32_t r = 0; r < 5; r++)
        memcpy(&rows[r * wide], &src.bytes[r * src.stride], 21);
    EncoderInput in{rows.data(), 7, 5, wide};
    EncoderOptions options{5, nullptr, nullptr};
    std::vector<uint8_t> file;
    ASSERT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
    std::vector<uint8_t> back;
    ASSERT_TRUE(Decode(file, &back));
    EXPECT_EQ(back, src.bytes);
}

TEST(EncoderInput, SizesAtTheLimits) {
    std::vector<uint8_t> file;
    EncoderOptions options{9, nullptr, nullptr};
    // Empty pictures: only the header; the decoder reports the size.
    for (uint32_t w : {0u, 5u}) {
        const uint32_t h = w == 0 ? 3 : 0;
        EncoderInput in{nullptr, w, h, 0};
        file.clear();
        ASSERT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
        ASSERT_EQ(file.size(), static_cast<size_t>(HEADER_SIZE));
        PictureInfoBlock info;
        ASSERT_EQ(InfoFromBytes(file, &info), ERR_NONE);
        EXPECT_EQ(info.width, static_cast<int32_t>(w));
        EXPECT_EQ(info.height, static_cast<int32_t>(h));
    }
    uint8_t pixel[4] = {};
    EncoderInput wide{pixel, 65536, 1, 4};
    file.clear();
    EXPECT_EQ(EncodePicture(&wide, &options, &file), ENCODE_TOO_LARGE);
    EncoderInput tall{pixel, 1, 70000, 4};
    EXPECT_EQ(EncodePicture(&tall, &options, &file), ENCODE_TOO_LARGE);
    EXPECT_TRUE(file.empty());
}

TEST(EncoderProgress, ReportsAndStops) {
    const Pixels p = Noise(10, 50, 5, 8);
    EncoderInput in{p.bytes.data(), p.width, p.height, p.stride};
    struct Seen {
        std::vector<uint32_t> done;
        uint32_t stop_at;
    } seen{{}, 1000};
    auto progress = [](uint32_t done, uint32_t total, void *user) -> int32_t {
        Seen *s = static_cast<Seen *>(user);
        EXPECT_EQ(total, 50u);
        s->done.push_back(done);
        return done >= s->stop_at ? 1 : 0;
    };
    EncoderOptions options{9, progress, &seen};
    std::vector<uint8_t> file;
    ASSERT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
    ASSERT_GE(seen.done.size(), 2u);
    for (size_t i = 1; i < seen.done.size(); i++) EXPECT_GE(seen.done[i], seen.done[i - 1]);
    EXPECT_EQ(seen.done.back(), 50u);

    seen.done.clear();
    seen.stop_at = 10;
    file.clear();
    EXPECT_EQ(EncodePicture(&in, &options, &file), ENCODE_ABORTED);
    EXPECT_TRUE(file.empty());
}

// Runs and recent offsets must actually be used: a flat picture costs a few
// bits per 127 pixels, a picture repeating the row above not much more.
TEST(EncoderSize, RunsCarryRepetition) {
    const Pixels flat = Flat(640, 480, 30, 60, 90);
    for (int32_t effort : {1, DEFAULT_EFFORT, 9}) {
        const size_t size = Encode(flat, effort).size();
        // 6 runs a row, 2 or 3 bits each.
        EXPECT_LT(size, HEADER_SIZE + 300u + 480u * 6 * 3 / 8) << "effort " << effort;
    }
    Pixels stripes = Noise(600, 1, 6, 256);
    Pixels tall = MakePixels(600, 400);
    for (uint32_t y = 0; y < 400; y++) memcpy(At(&tall, 0, y), stripes.bytes.data(), 1800);
    const size_t size = Encode(tall, 9).size();
    // The first row is noise (about 1800 bytes); the other 399 are copies.
    EXPECT_LT(size, HEADER_SIZE + 2600u + 399u * 5 * 4 / 8);
    // Higher effort never loses to the greedy parse on structured pictures.
    Pixels grad = MakePixels(256, 64);
    for (uint32_t y = 0; y < 64; y++)
        for (uint32_t x = 0; x < 256; x++) {
            uint8_t *q = At(&grad, x, y);
            q[0] = static_cast<uint8_t>(x / 3 * 3), q[1] = static_cast<uint8_t>(y / 2 * 4);
            q[2] = static_cast<uint8_t>((x / 16) * 16);
        }
    EXPECT_LE(Encode(grad, 9).size(), Encode(grad, 1).size());
}

// The effort scale: over a few pictures of the kinds the levels differ on
// (a dithered gradient whose statistics settle slowly, noise over flat
// tiles, small repeated patterns), each level up to 7 has a smaller total
// than the one below it, none above it a larger one, and the default and the
// top level gain on the levels below.
TEST(EncoderSize, LevelsDoNotLoseInTotal) {
    std::vector<Pixels> pictures;
    {
        std::mt19937 rng(31);
        Pixels p = MakePixels(320, 200);
        for (uint32_t y = 0; y < 200; y++)
            for (uint32_t x = 0; x < 320; x++)
                for (int32_t c = 0; c < 3; c++)
                    At(&p, x, y)[c] = static_cast<uint8_t>((x * (c + 1) + y * (3 - c)) / 3 + rng() % 7);
        pictures.push_back(p);
    }
    {
        Pixels p = Noise(256, 160, 32, 256);
        for (uint32_t y = 0; y < 160; y++)
            for (uint32_t x = 0; x < 256; x++)
                if ((x / 32 + y / 20) % 2 == 0) memset(At(&p, x, y), static_cast<int>(x / 32 * 30), 3);
        pictures.push_back(p);
    }
    {
        const Pixels tile = Noise(12, 8, 33, 5);
        Pixels p = MakePixels(240, 160);
        for (uint32_t y = 0; y < 160; y++)
            for (uint32_t x = 0; x < 240; x++)
                memcpy(At(&p, x, y), tile.bytes.data() + (y % 8) * tile.stride + 3 * (x % 12), 3);
        pictures.push_back(p);
    }
    std::vector<size_t> total(MAX_EFFORT + 1, 0);
    for (int32_t effort = MIN_EFFORT; effort <= MAX_EFFORT; effort++)
        for (const Pixels &p : pictures) total[effort] += Encode(p, effort).size();
    // Every level up to 7 gains on these; above it the plans gain only on
    // larger pictures, and must not lose.
    for (int32_t effort = MIN_EFFORT + 1; effort <= MAX_EFFORT; effort++) {
        if (effort <= 7)
            EXPECT_LT(total[effort], total[effort - 1]) << "effort " << effort;
        else
            EXPECT_LE(total[effort], total[effort - 1]) << "effort " << effort;
    }
    EXPECT_LT(total[DEFAULT_EFFORT], total[MIN_EFFORT]);
    EXPECT_LT(total[MAX_EFFORT], total[DEFAULT_EFFORT]);
}

// The encoder's faster loops (literals packed by table, run marks by vector
// compare, costs moved with the list order, runs found by mask, the walk
// back by token lengths) make the same choices as its plain ones, byte for
// byte at every effort: on pictures mixing flat
// stretches of every length, repeats of other rows, dithering and noise, so
// that literals, short runs, runs to the cap and positions reached only by
// runs all come up, in rows of every width around the longest run.
TEST(EncoderFastLoops, MakeThePlainLoopsChoices) {
    std::mt19937 rng(77);
    for (int32_t i = 0; i < 60; i++) {
        const uint32_t w = i < 12 ? 1 + rng() % 12 : 100 + rng() % 200, h = 2 + rng() % 14;
        Pixels p = MakePixels(w, h);
        for (uint32_t y = 0; y < h; y++) {
            uint32_t x = 0;
            while (x < w) {
                const uint32_t length = 1 + rng() % (rng() % 3 == 0 ? 140 : 6);
                const uint32_t kind = rng() % 6;
                // From the rows above: straight up, up and to either side, two up.
                const int32_t dx = kind == 2 ? -1 : kind == 3 ? 1 : 0, dy = kind == 4 ? 2 : 1;
                uint8_t flat[3] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
                for (uint32_t j = 0; j < length && x < w; j++, x++) {
                    uint8_t *q = At(&p, x, y);
                    const int64_t from_x = static_cast<int64_t>(x) + dx;
                    if (kind == 0) {
                        memcpy(q, flat, 3);
                    } else if (kind <= 4 && y >= static_cast<uint32_t>(dy) && from_x >= 0 && from_x < w) {
                        memcpy(q, At(&p, static_cast<uint32_t>(from_x), y - dy), 3);
                    } else if (kind == 5) {
                        for (int32_t c = 0; c < 3; c++) q[c] = static_cast<uint8_t>(flat[c] + rng() % 3);
                    } else {
                        for (int32_t c = 0; c < 3; c++) q[c] = static_cast<uint8_t>(rng());
                    }
                }
            }
        }
        const EncoderInput in{p.bytes.data(), p.width, p.height, p.stride};
        for (int32_t effort = MIN_EFFORT; effort <= MAX_EFFORT; effort++) {
            const EncoderOptions options{effort, nullptr, nullptr};
            std::vector<uint8_t> fast, plain;
            ASSERT_EQ(EncodePicture(&in, &options, &fast), ENCODE_OK);
            ASSERT_EQ(EncodePicturePlainly(&in, &options, &plain), ENCODE_OK);
            ASSERT_EQ(fast, plain) << w << "x" << h << " #" << i << " at effort " << effort;
        }
    }
}
