// The converter's own parts: reading PNG and BMP files, writing them, the
// output files, and decoding with the tool's limits and cut-short rules.
#include <gtest/gtest.h>

#include <string.h>

#include <random>

#include <spng.h>

#include "common.h"
#include "decode.h"
#include "encoder/encoder.h"
#include "encoder/writer.h"
#include "images.h"
#include "support/files.h"
#include "support/header_rule.h"
#include "support/random_stream.h"

using namespace pxc;

namespace {

// A fresh folder per test, named after it, removed afterwards.
TempDir TestDir() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return TempDir(std::string("pxc-") + info->test_suite_name() + "-" + info->name());
}

// Top-down RGB triples of a picture.
std::vector<uint8_t> Rgb(const Bitmap &b) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < b.height(); y++) {
        const uint8_t *row = b.Row(y);
        for (uint32_t x = 0; x < b.width(); x++) {
            out.push_back(row[3 * x + 2]);
            out.push_back(row[3 * x + 1]);
            out.push_back(row[3 * x]);
        }
    }
    return out;
}

struct PngShape {
    uint32_t width, height;
    uint8_t color_type, bit_depth;
    std::vector<uint8_t> data; // packed rows as the PNG stores them
    std::vector<spng_plte_entry> palette;
    bool trns = false;
};

std::vector<uint8_t> MakePng(const PngShape &s) {
    spng_ctx *ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{s.width, s.height, s.bit_depth, s.color_type, 0, 0, 0};
    EXPECT_EQ(spng_set_ihdr(ctx, &ihdr), 0);
    if (!s.palette.empty()) {
        spng_plte plte{};
        plte.n_entries = static_cast<uint32_t>(s.palette.size());
        for (size_t i = 0; i < s.palette.size(); i++) plte.entries[i] = s.palette[i];
        EXPECT_EQ(spng_set_plte(ctx, &plte), 0);
    }
    if (s.trns) {
        spng_trns trns{};
        trns.red = 1; // any colour: only its presence matters here
        EXPECT_EQ(spng_set_trns(ctx, &trns), 0);
    }
    EXPECT_EQ(spng_encode_image(ctx, s.data.data(), s.data.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE), 0);
    size_t size = 0;
    int error = 0;
    auto *bytes = static_cast<uint8_t *>(spng_get_png_buffer(ctx, &size, &error));
    std::vector<uint8_t> out(bytes, bytes + size);
    free(bytes);
    spng_ctx_free(ctx);
    return out;
}

const ReadLimits NO_LIMIT{uint64_t{1} << 40};

void Put16(std::vector<uint8_t> &v, size_t at, uint32_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x) {
    Put16(v, at, x);
    Put16(v, at + 2, x >> 16);
}

// A 24-bit BMP of 3 x 2 pixels; pixel (x, y) is (10y + x, 100 + x, 200 + y).
std::vector<uint8_t> MakeBmp(bool top_down, uint32_t bits = 24) {
    const uint32_t w = 3, h = 2, stride = 12;
    std::vector<uint8_t> f(54 + stride * h, 0);
    f[0] = 'B';
    f[1] = 'M';
    Put32(f, 2, static_cast<uint32_t>(f.size()));
    Put32(f, 10, 54);
    Put32(f, 14, 40);
    Put32(f, 18, w);
    Put32(f, 22, top_down ? static_cast<uint32_t>(-static_cast<int32_t>(h)) : h);
    Put16(f, 26, 1);
    Put16(f, 28, bits);
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t stored = top_down ? y : h - 1 - y;
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *p = f.data() + 54 + stored * stride + 3 * x;
            p[2] = static_cast<uint8_t>(10 * y + x);
            p[1] = static_cast<uint8_t>(100 + x);
            p[0] = static_cast<uint8_t>(200 + y);
        }
    }
    return f;
}

} // namespace

// ---- Reading PNG ----

TEST(ReadPng, EveryColourTypeBecomesRgb8) {
    struct Case {
        const char *name;
        PngShape shape;
        std::vector<uint8_t> rgb; // expected, top-down
        bool alpha_warning;
    };
    const std::vector<Case> cases = {
        {"grey 8", {3, 2, SPNG_COLOR_TYPE_GRAYSCALE, 8, {0, 100, 200, 255, 1, 2}, {}, false},
         {0, 0, 0, 100, 100, 100, 200, 200, 200, 255, 255, 255, 1, 1, 1, 2, 2, 2}, false},
        {"grey 1", {3, 1, SPNG_COLOR_TYPE_GRAYSCALE, 1, {0xA0}, {}, false},
         {255, 255, 255, 0, 0, 0, 255, 255, 255}, false},
        // 16-bit samples go to the encoder in host order (little-endian here).
        {"grey 16", {2, 1, SPNG_COLOR_TYPE_GRAYSCALE, 16, {0x34, 0x12, 0xFF, 0xFE}, {}, false},
         {0x12, 0x12, 0x12, 0xFE, 0xFE, 0xFE}, false},
        {"rgb 16", {1, 2, SPNG_COLOR_TYPE_TRUECOLOR, 16, {0xCD, 0xAB, 0, 0x12, 0, 0xFF, 2, 1, 4, 3, 6, 5}, {}, false},
         {0xAB, 0x12, 0xFF, 1, 3, 5}, false},
        {"palette 8", {3, 1, SPNG_COLOR_TYPE_INDEXED, 8, {2, 0, 1}, {{1, 2, 3, 255}, {4, 5, 6, 255}, {7, 8, 9, 255}}, false},
         {7, 8, 9, 1, 2, 3, 4, 5, 6}, false},
        {"rgba 8", {2, 1, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, {9, 8, 7, 0, 1, 2, 3, 128}, {}, false},
         {9, 8, 7, 1, 2, 3}, true},
        {"grey alpha 8", {1, 1, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8, {77, 0}, {}, false}, {77, 77, 77}, true},
        {"rgb with tRNS", {1, 1, SPNG_COLOR_TYPE_TRUECOLOR, 8, {1, 2, 3}, {}, true}, {1, 2, 3}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> warnings;
        Bitmap b = ReadPng(MakePng(c.shape), NO_LIMIT, &warnings);
        EXPECT_EQ(b.width(), c.shape.width);
        EXPECT_EQ(b.height(), c.shape.height);
        EXPECT_EQ(Rgb(b), c.rgb);
        EXPECT_EQ(warnings.size(), c.alpha_warning ? 1u : 0u);
        // Padding bytes of the bottom-up rows stay zero.
        for (uint32_t y = 0; y < b.height(); y++)
            for (int64_t i = 3 * b.width(); i < b.stride(); i++) EXPECT_EQ(b.Row(y)[i], 0);
    }
}

TEST(ReadPng, RefusesWhatAPxcmPictureCannotHold) {
    PngShape wide{65536, 1, SPNG_COLOR_TYPE_GRAYSCALE, 8, std::vector<uint8_t>(65536, 7), {}, false};
    try {
        ReadPng(MakePng(wide), NO_LIMIT, nullptr);
        FAIL() << "a picture 65536 pixels wide was accepted";
    } catch (const FileError &e) {
        EXPECT_NE(std::string(e.what()).find("65535"), std::string::npos) << e.what();
    }
    PngShape small{4, 4, SPNG_COLOR_TYPE_GRAYSCALE, 8, std::vector<uint8_t>(16, 7), {}, false};
    EXPECT_THROW(ReadPng(MakePng(small), ReadLimits{15}, nullptr), FileError);
    EXPECT_NO_THROW(ReadPng(MakePng(small), ReadLimits{16}, nullptr));
    std::vector<uint8_t> damaged = MakePng(small);
    damaged.resize(damaged.size() - 20);
    EXPECT_THROW(ReadPng(damaged, NO_LIMIT, nullptr), FileError);
}

// ---- Reading BMP ----

TEST(ReadBmp, TopDownAndBottomUpGiveTheSamePicture) {
    Bitmap up = ReadBmp(MakeBmp(false), NO_LIMIT);
    Bitmap down = ReadBmp(MakeBmp(true), NO_LIMIT);
    const std::vector<uint8_t> expected = {0, 100, 200, 1, 101, 200, 2, 102, 200,
                                           10, 100, 201, 11, 101, 201, 12, 102, 201};
    EXPECT_EQ(Rgb(up), expected);
    EXPECT_EQ(Rgb(down), expected);
}

TEST(ReadBmp, RefusesOtherDepthsShortFilesAndHugeSides) {
    auto message = [](const std::vector<uint8_t> &f) {
        try {
            ReadBmp(f, NO_LIMIT);
        } catch (const FileError &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(message(MakeBmp(false, 32)).find("24-bit"), std::string::npos);
    std::vector<uint8_t> cut = MakeBmp(false);
    cut.pop_back();
    EXPECT_NE(message(cut).find("cut short"), std::string::npos);
    std::vector<uint8_t> wide = MakeBmp(false);
    Put32(wide, 18, 70000);
    EXPECT_NE(message(wide).find("65535"), std::string::npos);
}

// ---- Output files ----

TEST(OutputFile, AppearsOnlyWhenCommittedAndReplacesOnlyWithForce) {
    const TempDir dir = TestDir();
    const std::string path = dir.File("out.png");
    {
        OutputFile out(path, false);
        out.Write("abc", 3);
        // Not committed: as after a failed decode.
    }
    EXPECT_EQ(dir.Count(), 0u) << "the unfinished output or its temporary file was left behind";

    {
        OutputFile out(path, false);
        out.Write("abc", 3);
        out.Commit();
    }
    EXPECT_THROW(OutputFile(path, false), FileError);
    EXPECT_THROW(CheckOutputFree(path, false), FileError);
    {
        OutputFile out(path, true);
        out.Write("xy", 2);
        out.Commit();
    }
    EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{'x', 'y'}));

    // A file that appears under the name while the output is written wins.
    const std::string other = dir.File("late.png");
    {
        OutputFile out(other, false);
        out.Write("new", 3);
        FILE *f = fopen(other.c_str(), "wb");
        fputs("first", f);
        fclose(f);
        EXPECT_THROW(out.Commit(), FileError);
    }
    EXPECT_EQ(ReadFileBytes(other), (std::vector<uint8_t>{'f', 'i', 'r', 's', 't'}));
    EXPECT_EQ(dir.Count(), 2u);
}

// ---- Decoding ----

namespace {

DecodeOptions Options(bool keep_partial = false) {
    DecodeOptions o;
    o.keep_partial = keep_partial;
    return o;
}

std::string DecodeError(std::vector<uint8_t> file, const DecodeOptions &options) {
    try {
        DecodeBytes(file, options, nullptr);
    } catch (const FileError &e) {
        return e.what();
    }
    return "decoded";
}

bool Contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

} // namespace

TEST(Decode, RandomPicturesComeOutExactlyAndUnflagged) {
    const uint32_t sizes[][2] = {{1, 1}, {1, 9}, {2, 5}, {5, 3}, {64, 40}, {300, 17}, {127, 4}, {128, 4}};
    uint32_t seed = 1;
    for (const auto &size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + " x " + std::to_string(size[1]));
        RandomPicture p = MakeRandomPicture(seed++, size[0], size[1]);
        std::vector<uint8_t> file = p.file;
        // Bytes after the stream are never part of the picture.
        file.insert(file.end(), {0x55, 0xFF, 0x00, 0x13});
        DecodedPicture d = DecodeBytes(file, Options(), nullptr);
        ASSERT_EQ(d.bitmap.size(), p.pixels.size());
        EXPECT_EQ(std::vector<uint8_t>(d.bitmap.bits(), d.bitmap.bits() + d.bitmap.size()), p.pixels);
        EXPECT_TRUE(d.warnings.empty());
        EXPECT_EQ(file.size(), p.file.size() + 4) << "the caller's bytes were not restored";
        EXPECT_EQ(file[14], p.file[14]);
    }
}

TEST(Decode, SizeBoundNeverFlagsACompleteStream) {
    // The tightest streams there are: flat pictures, which the encoder
    // codes with the fewest bits, around the 127-pixel run length.
    for (uint32_t width : {1u, 126u, 127u, 128u, 254u, 255u, 1000u}) {
        SCOPED_TRACE(width);
        const uint32_t height = 120;
        std::vector<uint8_t> pixels(static_cast<size_t>(RowStride(width)) * height, 0x5A);
        EncoderInput in{pixels.data(), width, height, RowStride(width)};
        EncoderOptions options{9, nullptr, nullptr};
        std::vector<uint8_t> file;
        ASSERT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
        EXPECT_EQ(RowsBackedByData(width, height, file.size() - HEADER_SIZE), height);
        EXPECT_NO_THROW(DecodeBytes(file, Options(), nullptr));
    }
    for (uint32_t seed = 1; seed <= 4; seed++) {
        RandomPicture p = MakeRandomPicture(seed, 97 * seed, 23);
        EXPECT_EQ(RowsBackedByData(p.width, p.height, p.file.size() - HEADER_SIZE), p.height);
    }
}

TEST(Decode, CutShortFilesAreRefusedOrKeepOnlyGoodRows) {
    // A noisy picture from the encoder, whose runs stay within their rows
    // (a run past the row end would let missing rows change kept ones) and
    // whose rows cost about the same number of bits.
    const uint32_t width = 200, height = 60;
    const int64_t stride = RowStride(width);
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height, 0);
    std::mt19937 rng(11);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t i = 0; i < 3 * width; i++) pixels[y * stride + i] = static_cast<uint8_t>(i + (rng() & 15));
    EncoderInput in{pixels.data(), width, height, stride};
    EncoderOptions encoder{1, nullptr, nullptr};
    std::vector<uint8_t> file;
    ASSERT_EQ(EncodePicture(&in, &encoder, &file), ENCODE_OK);
    const size_t stream = file.size() - HEADER_SIZE;

    for (double share : {0.97, 0.75, 0.5, 0.1, 0.001}) {
        SCOPED_TRACE(share);
        std::vector<uint8_t> cut(file.begin(), file.begin() + HEADER_SIZE + static_cast<size_t>(stream * share));
        EXPECT_TRUE(Contains(DecodeError(cut, Options()), "cut short")) << DecodeError(cut, Options());

        DecodedPicture d;
        try {
            d = DecodeBytes(cut, Options(true), nullptr);
        } catch (const FileError &e) {
            // Only a cut within the first table set or row leaves nothing.
            EXPECT_LT(share, 0.05) << e.what();
            continue;
        }
        ASSERT_EQ(d.bitmap.height(), height);
        ASSERT_EQ(d.warnings.size(), 1u);
        // Rows 0..k-1 are the real ones, the rest black.
        uint32_t k = 0;
        while (k < height &&
               memcmp(d.bitmap.Row(k), pixels.data() + (height - 1 - k) * stride, static_cast<size_t>(stride)) == 0)
            k++;
        EXPECT_LT(k, height);
        for (uint32_t y = k; y < height; y++)
            for (int64_t i = 0; i < stride; i++) ASSERT_EQ(d.bitmap.Row(y)[i], 0) << "row " << y;
        // Nothing good is thrown away: the kept share is about the share
        // of the data.
        EXPECT_GE(k + 3, static_cast<uint32_t>(height * share)) << d.warnings[0];
    }
}

TEST(Decode, LimitsComeBeforeAnyDecoding) {
    std::vector<uint8_t> huge = HeaderBytes(MAX_SIDE, MAX_SIDE);
    huge.insert(huge.end(), {0x64, 0x02, 0x07, 0x01});
    EXPECT_TRUE(Contains(DecodeError(huge, Options()), "--max-pixels"));
    DecodeOptions unlimited;
    unlimited.max_pixels = uint64_t{1} << 32;
    EXPECT_TRUE(Contains(DecodeError(huge, unlimited), "cannot hold"));
    unlimited.keep_partial = true;
    EXPECT_TRUE(Contains(DecodeError(huge, unlimited), "before its first row"));

    std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(DecodeError(text, Options()), "not a PXCM picture");
    std::vector<uint8_t> short_header = {'P', 'X', 'C', 'M', 0, 0, 1};
    EXPECT_EQ(DecodeError(short_header, Options()), "file cannot be read or is cut short");
    std::vector<uint8_t> other(40, 0);
    EXPECT_EQ(DecodeError(other, Options()), "not a PXCM picture");
}

TEST(Decode, CtrlCStopsTheDecode) {
    RandomPicture p = MakeRandomPicture(3, 50, 50);
    g_cancel.store(true);
    const std::string message = DecodeError(p.file, Options());
    g_cancel.store(false);
    EXPECT_EQ(message, "cancelled");
}
