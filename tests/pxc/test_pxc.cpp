// The converter's own parts: reading PNG and BMP files, the output files
// and where they may go, reading and decoding one picture (against the
// plug-in's GetPicture), finding pictures in archives, the progress line
// and output names.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <optional>
#include <random>

#include <spng.h>

#include "batch.h"
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "encoder/encoder.h"
#include "encoder/writer.h"
#include "images.h"
#include "scan.h"
#include "support/decode.h"
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

// ---- Writing PNG ----

namespace {

// A picture whose pixel (x, y) is colour(x, y), three bytes red, green, blue.
template <typename Colour> Bitmap Picture(uint32_t width, uint32_t height, Colour colour) {
    Bitmap b = Bitmap::Allocate(width, height);
    for (uint32_t y = 0; y < height; y++) {
        uint8_t *row = b.Row(y);
        for (uint32_t x = 0; x < width; x++) {
            const std::array<uint8_t, 3> c = colour(x, y);
            row[3 * x + 2] = c[0];
            row[3 * x + 1] = c[1];
            row[3 * x] = c[2];
        }
    }
    return b;
}

uint8_t Byte(int v) { return static_cast<uint8_t>(v); }

} // namespace

// The writer samples bands of rows to choose its coder, filters those bands
// first and the rows between them after, with one filter for all of them
// when they are noise; large noise is coded by two threads into one
// stream, unless every core has work of its own. Every coder, and samples
// whose bands fall on the same rows (a few rows) or on rows of one or two
// pixels, must give back the pixels exactly when libspng reads the file.
TEST(WritePng, EveryCoderAndSampleShapeGivesBackThePixels) {
    std::mt19937 random(11);
    auto noise = [&](uint32_t, uint32_t) {
        return std::array<uint8_t, 3>{Byte(random()), Byte(random()), Byte(random())};
    };
    // Photographs: smooth shading with a little grain, of `levels` levels.
    auto shading = [&](uint32_t levels) {
        return [&random, levels](uint32_t x, uint32_t y) {
            auto grain = [&] { return static_cast<int>(random() % levels); };
            return std::array<uint8_t, 3>{Byte((x * x / 300 + y) / 3 + grain()), Byte((x + 2 * y) / 4 + grain()),
                                          Byte(128 + (static_cast<int>(x) - static_cast<int>(y)) / 8 + grain())};
        };
    };
    // A drawing: a few flat colours in a repeating pattern.
    auto tiles = [](uint32_t x, uint32_t y) {
        const uint32_t t = (x / 13 + y / 7 + (x * y) / 1000) % 5;
        return std::array<uint8_t, 3>{Byte(50 * t), Byte(255 - 40 * t), Byte(t % 2 ? 200 : 30)};
    };
    // Noise that each filter takes apart best: a walk along the rows (sub),
    // down the columns (up), from their mean (average) or from the plane
    // through them (Paeth).
    auto walk = [&](uint32_t width, uint32_t height, int filter) {
        Bitmap b = Bitmap::Allocate(width, height);
        const size_t n = static_cast<size_t>(width) * 3;
        for (uint32_t y = 0; y < height; y++) {
            uint8_t *row = b.Row(y);
            const uint8_t *above = y > 0 ? b.Row(y - 1) : nullptr;
            for (size_t i = 0; i < n; i++) {
                const int a = i >= 3 ? row[i - 3] : 0, u = above ? above[i] : 0, c = i >= 3 && above ? above[i - 3] : 0;
                const int base = filter == 1 ? a : filter == 2 ? u : filter == 3 ? (a + u) / 2 : a + u - c;
                row[i] = Byte(base + static_cast<int>(random() % 64) - 32);
            }
        }
        return b;
    };
    struct Case {
        const char *name;
        Bitmap bitmap;
        std::optional<PngCoder> coder; // when the content decides it
        bool helper_thread = true;
    };
    std::vector<Case> cases;
    cases.push_back({"noise", Picture(400, 301, noise), PngCoder::FAST});
    cases.push_back({"walk along", walk(400, 301, 1), PngCoder::FAST});
    cases.push_back({"walk down", walk(400, 301, 2), PngCoder::FAST});
    cases.push_back({"walk from the mean", walk(400, 301, 3), PngCoder::FAST});
    cases.push_back({"walk from the plane", walk(400, 301, 4), PngCoder::FAST});
    cases.push_back({"shading", Picture(400, 301, shading(3)), PngCoder::RUNS});
    cases.push_back({"finer shading", Picture(400, 301, shading(2)), PngCoder::HUFFMAN});
    cases.push_back({"tiles", Picture(400, 301, tiles), PngCoder::USUAL});
    cases.push_back({"small", Picture(37, 23, noise), PngCoder::BOTH});
    cases.push_back({"large noise", Picture(1400, 1000, noise), PngCoder::SPLIT});
    cases.push_back({"large noise, no core to spare", Picture(1400, 1000, noise), PngCoder::FAST, false});
    cases.push_back({"one column", Picture(1, 60001, shading(3)), std::nullopt});
    cases.push_back({"two columns", Picture(2, 60001, noise), std::nullopt});
    cases.push_back({"three rows", Picture(40000, 3, shading(3)), std::nullopt});
    cases.push_back({"two rows", Picture(65535, 2, tiles), std::nullopt});

    const TempDir dir = TestDir();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(std::string(c.name) + ".png");
        PngCoder coder;
        {
            OutputFile out(path, false);
            coder = WritePng(c.bitmap, out, nullptr, c.helper_thread);
            out.Commit();
        }
        if (c.coder) {
            EXPECT_EQ(coder, *c.coder);
        }
        std::vector<std::string> warnings;
        const Bitmap back = ReadPng(ReadFileBytes(path), NO_LIMIT, &warnings);
        EXPECT_TRUE(warnings.empty());
        ASSERT_EQ(back.width(), c.bitmap.width());
        ASSERT_EQ(back.height(), c.bitmap.height());
        EXPECT_TRUE(Rgb(back) == Rgb(c.bitmap)) << "different pixels";
    }
}

// ---- Large buffers ----

// Blocks on either side of the large-page size hold every byte asked for;
// a buffer keeps its block when asked for no more, and a picture taken from
// a thread's spare block is zero-filled all the same.
TEST(LargeBuffer, HoldsEveryByteAndKeepsItsBlock) {
    for (const size_t size : {size_t{1}, LARGE_PAGE - 1, LARGE_PAGE, LARGE_PAGE + 1, 3 * LARGE_PAGE + 5}) {
        SCOPED_TRACE(size);
        LargeBuffer b;
        b.Reserve(size);
        ASSERT_NE(b.data(), nullptr);
        ASSERT_GE(b.size(), size);
        for (size_t i = 0; i < size; i++) b.data()[i] = static_cast<uint8_t>(i * 7 + 1);
        const uint8_t *block = b.data();
        b.Reserve(size / 2);
        EXPECT_EQ(b.data(), block);
        size_t wrong = 0;
        for (size_t i = 0; i < size; i++) wrong += b.data()[i] != static_cast<uint8_t>(i * 7 + 1);
        EXPECT_EQ(wrong, 0u);
        LargeBuffer moved = std::move(b);
        EXPECT_EQ(moved.data(), block);
        EXPECT_EQ(b.data(), nullptr);
    }
    {
        Bitmap dirty = Bitmap::Allocate(1001, 1001); // 3 MB: a paged block
        memset(dirty.bits(), 0xA5, static_cast<size_t>(dirty.size()));
    } // its block becomes the thread's spare
    const Bitmap clean = Bitmap::Allocate(1000, 999);
    size_t set = 0;
    for (uint64_t i = 0; i < clean.size(); i++) set += clean.bits()[i] != 0;
    EXPECT_EQ(set, 0u);
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


// Devices, FIFOs and links as outputs are the command-line tests' (files);
// here the buffered writes and the short temporary name.
TEST(OutputFile, LongNamesInNewFoldersAndWritesBeyondTheBuffer) {
    const TempDir dir = TestDir();
    const std::string deep = dir.File("a/b/" + std::string(255, 'x'));
    {
        OutputFile out(deep, false);
        out.Write("<", 1);
        std::vector<uint8_t> big(300000, 7); // more than the buffer holds
        out.Write(big.data(), big.size());
        out.Write("!", 1);
        out.Commit();
    }
    const std::vector<uint8_t> back = ReadFileBytes(deep);
    ASSERT_EQ(back.size(), 300002u);
    EXPECT_EQ(back.front(), '<');
    EXPECT_EQ(back[150000], 7);
    EXPECT_EQ(back.back(), '!');
    size_t entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir.File("a/b"))) {
        EXPECT_EQ(e.path().filename().string().rfind(".pxc-", 0), std::string::npos) << e.path();
        entries++;
    }
    EXPECT_EQ(entries, 1u);
}

// ---- Reading and decoding one picture ----

namespace {

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string Failure(const std::function<void()> &f) {
    try {
        f();
    } catch (const FileError &e) {
        return e.what();
    }
    return "no failure";
}

std::vector<uint8_t> Pixels(const Bitmap &b) { return std::vector<uint8_t>(b.bits(), b.bits() + b.size()); }

// A picture whose stream the encoder makes as short as it can: flat.
std::vector<uint8_t> FlatPicture(uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(RowStride(width)) * height, 0x5A);
    EncoderInput in{pixels.data(), width, height, RowStride(width)};
    EncoderOptions options{9, nullptr, nullptr};
    std::vector<uint8_t> file;
    EXPECT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
    return file;
}

} // namespace

TEST(Decode, RandomPicturesComeOutExactlyWithWhereTheirStreamsEnd) {
    const uint32_t sizes[][2] = {{1, 1}, {1, 9}, {2, 5}, {5, 3}, {64, 40}, {300, 17}, {127, 4}, {128, 4}};
    uint32_t seed = 1;
    for (const auto &size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + " x " + std::to_string(size[1]));
        RandomPicture p = MakeRandomPicture(seed++, size[0], size[1]);
        std::vector<uint8_t> file = p.file;
        // Bytes after the stream are never part of the picture.
        file.insert(file.end(), {0x55, 0xFF, 0x00, 0x13});
        const TempFile temp(file);
        const PictureInput in(temp.path(), 0, false);
        DecodedPicture d = DecodePicture(in, DecodeOptions(), nullptr);
        EXPECT_EQ(Pixels(d.bitmap), p.pixels);
        EXPECT_TRUE(d.warnings.empty());
        EXPECT_FALSE(d.facts.ends_early());
        EXPECT_EQ(d.facts.bits_used, p.stream_bits);
        EXPECT_EQ(d.facts.stream_bytes, p.file.size());
        EXPECT_EQ(d.facts.trailing_bytes, 4u);
        EXPECT_LE(p.file.size() - HEADER_SIZE, MaxStreamBytes(p.width, p.height));
    }
}

TEST(Decode, StreamsThatEndEarlyGiveThePluginsPixelsWithAWarning) {
    RandomPicture p = MakeRandomPicture(5, 90, 50);
    const size_t size = p.file.size();
    int early = 0;
    for (size_t keep : {size_t{30}, size_t{200}, size / 3, size / 2, size - 100, size - 1}) {
        SCOPED_TRACE(keep);
        const std::vector<uint8_t> cut(p.file.begin(), p.file.begin() + static_cast<ptrdiff_t>(keep));
        const Decoded plugin = DecodeBytes(cut);
        const TempFile temp(cut);
        const PictureInput in(temp.path(), 0, false);
        if (plugin.result != ERR_NONE) {
            EXPECT_TRUE(Contains(Failure([&] { DecodePicture(in, DecodeOptions(), nullptr); }), "damaged"));
            continue;
        }
        early++;
        DecodedPicture d = DecodePicture(in, DecodeOptions(), nullptr);
        EXPECT_EQ(Pixels(d.bitmap), plugin.pixels);
        ASSERT_TRUE(d.facts.ends_early());
        EXPECT_LT(d.facts.end_row, p.height);
        EXPECT_EQ(d.facts.stream_bytes, keep);
        EXPECT_EQ(d.facts.trailing_bytes, 0u);
        ASSERT_EQ(d.warnings.size(), 1u);
        EXPECT_TRUE(Contains(d.warnings[0], "in row " + std::to_string(d.facts.end_row + 1) + " of 50"))
            << d.warnings[0];
        DecodeOptions strict;
        strict.strict = true;
        EXPECT_TRUE(Contains(Failure([&] { DecodePicture(in, strict, nullptr); }), "(--strict)"));
    }
    EXPECT_GE(early, 3);
}

// The size checks before a decode never refuse a stream the plug-in can
// decode, and no stream takes more than MaxStreamBytes.
TEST(Decode, SizeBoundsHoldForTheTightestAndTheLoosestStreams) {
    std::vector<std::vector<uint8_t>> files;
    for (uint32_t width : {1u, 126u, 127u, 128u, 254u, 1000u}) files.push_back(FlatPicture(width, 130));
    // More pixels than the zero bits after the data can ever cover.
    files.push_back(FlatPicture(2100, 1100));
    int refused = 0;
    for (uint32_t seed = 1; seed <= 3; seed++) {
        RandomStreamOptions loose;
        loose.escape_share = 0.9; // many escapes, long codes
        files.push_back(MakeRandomPicture(seed, 40 * seed, 30, loose).file);
    }
    for (const std::vector<uint8_t> &file : files) {
        pxcm_info info{};
        ASSERT_EQ(pxcm_read_info(file.data(), file.size(), &info), PXCM_OK);
        SCOPED_TRACE(std::to_string(info.width) + " x " + std::to_string(info.height));
        EXPECT_LE(file.size() - HEADER_SIZE, MaxStreamBytes(info.width, info.height));
        for (size_t keep = file.size(); keep >= static_cast<size_t>(HEADER_SIZE); keep = keep * 7 / 8) {
            const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(keep));
            if (TooShortFor(info.width, info.height, keep - HEADER_SIZE)) {
                refused++;
                EXPECT_NE(DecodeBytes(cut).result, ERR_NONE) << "refused " << keep << " bytes the plug-in decodes";
            }
            if (keep == static_cast<size_t>(HEADER_SIZE)) break;
        }
    }
    EXPECT_GT(refused, 0);
    // And it does refuse what is far too short.
    EXPECT_TRUE(TooShortFor(MAX_SIDE, MAX_SIDE, 4));
    EXPECT_FALSE(TooShortFor(2, 1, 0));
}

TEST(Decode, LimitsAndFormatComeBeforeAnyDecoding) {
    std::vector<uint8_t> huge = HeaderBytes(MAX_SIDE, MAX_SIDE);
    huge.insert(huge.end(), {0x64, 0x02, 0x07, 0x01});
    const TempFile temp(huge);
    const PictureInput in(temp.path(), 0, false);
    EXPECT_TRUE(Contains(Failure([&] { CheckedInfo(in, DecodeOptions()); }), "--max-pixels"));
    DecodeOptions unlimited;
    unlimited.max_pixels = MAX_PICTURE_PIXELS;
    EXPECT_TRUE(Contains(Failure([&] { CheckedInfo(in, unlimited); }), "cannot hold 65535 x 65535"));

    auto message = [](const std::vector<uint8_t> &bytes) {
        const TempFile t(bytes);
        return Failure([&] { DecodePicture(PictureInput(t.path(), 0, false), DecodeOptions(), nullptr); });
    };
    EXPECT_EQ(message({'h', 'e', 'l', 'l', 'o'}), "not a PXCM picture");
    EXPECT_EQ(message({'P', 'X', 'C', 'M', 0, 0, 1}), "file is cut short inside its header");
    EXPECT_EQ(message(std::vector<uint8_t>(40, 0)), "not a PXCM picture");
    EXPECT_TRUE(Contains(message(HeaderBytes(0, 5)), "no pixels"));
}

TEST(Decode, AStopRequestStopsTheDecode) {
    RandomPicture p = MakeRandomPicture(3, 50, 50);
    const TempFile temp(p.file);
    const PictureInput in(temp.path(), 0, false);
    SetStopRequest(2);
    const std::string message = Failure([&] { DecodePicture(in, DecodeOptions(), nullptr); });
    SetStopRequest(0);
    EXPECT_EQ(message, "cancelled");
    EXPECT_NO_THROW(DecodePicture(in, DecodeOptions(), nullptr));
}

// ---- Archives ----

// Random bytes with pictures at odd offsets, one followed by garbage, and
// headers whose streams are garbage or far too short: exactly the pictures
// are found, with their lengths and (on request) their pixels.
TEST(Scan, FindsExactlyTheEmbeddedPictures) {
    std::mt19937 rng(17);
    auto noise = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (uint8_t &b : v) b = static_cast<uint8_t>(rng());
        return v;
    };
    std::vector<uint8_t> archive = noise(1001);
    std::vector<RandomPicture> pictures;
    std::vector<uint64_t> offsets;
    for (uint32_t k = 0; k < 3; k++) {
        pictures.push_back(MakeRandomPicture(30 + k, 20 + 7 * k, 9 + k));
        offsets.push_back(archive.size());
        archive.insert(archive.end(), pictures.back().file.begin(), pictures.back().file.end());
        std::vector<uint8_t> gap = noise(333 + 2 * k);
        if (k == 1) {
            // A header of garbage, and one claiming more than the file holds.
            std::vector<uint8_t> fake = HeaderBytes(300, 200);
            gap.insert(gap.begin() + 7, fake.begin(), fake.end());
            std::vector<uint8_t> big = HeaderBytes(MAX_SIDE, 9000);
            gap.insert(gap.begin() + 100, big.begin(), big.end());
        }
        archive.insert(archive.end(), gap.begin(), gap.end());
    }
    const TempFile temp(archive, "game.dat");
    const MappedFile file(temp.path());
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep);
        ScanOptions options;
        options.keep_pixels = keep;
        std::vector<FoundPicture> found;
        uint64_t progress_end = 0;
        const ScanTotals t = ScanFile(file, options, [&](const FoundPicture &f, Bitmap *pixels) {
            EXPECT_EQ(pixels != nullptr, keep);
            if (keep && found.size() < pictures.size()) {
                EXPECT_EQ(Pixels(*pixels), pictures[found.size()].pixels);
            }
            found.push_back(f);
        }, [&](const char *, uint64_t done, uint64_t total) {
            EXPECT_EQ(total, archive.size());
            progress_end = done;
        });
        EXPECT_EQ(progress_end, archive.size());
        ASSERT_EQ(found.size(), pictures.size());
        for (size_t k = 0; k < found.size(); k++) {
            EXPECT_EQ(found[k].offset, offsets[k]);
            EXPECT_EQ(found[k].length, pictures[k].file.size());
            EXPECT_EQ(found[k].info.width, pictures[k].width);
            EXPECT_TRUE(found[k].complete);
            EXPECT_FALSE(found[k].inside);
        }
        EXPECT_EQ(t.pictures, 3u);
        EXPECT_EQ(t.candidates, 5u);
        EXPECT_EQ(t.rejected, 2u);
    }
}

// A picture that starts inside another one's stream is marked as such:
// the outer picture is cut by one byte, so that its stream takes its last
// bits from the inner picture's header, which follows at once.
TEST(Scan, APictureInsideAnotherIsMarked) {
    RandomPicture outer = MakeRandomPicture(44, 3, 2);
    RandomPicture inner = MakeRandomPicture(45, 2, 2);
    std::vector<uint8_t> archive(outer.file.begin(), outer.file.end() - 1);
    const uint64_t inner_at = archive.size();
    archive.insert(archive.end(), inner.file.begin(), inner.file.end());
    const TempFile temp(archive);
    const MappedFile file(temp.path());
    std::vector<FoundPicture> found;
    ScanFile(file, ScanOptions(), [&](const FoundPicture &f, Bitmap *) { found.push_back(f); }, nullptr);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].offset, 0u);
    EXPECT_GT(found[0].length, inner_at);
    EXPECT_FALSE(found[0].inside);
    EXPECT_EQ(found[1].offset, inner_at);
    EXPECT_EQ(found[1].length, inner.file.size());
    EXPECT_TRUE(found[1].inside);
    EXPECT_EQ(found[1].parent, 0u);
}

// ---- Batches ----

// A job sees files waiting while some have not been started: on one thread
// every job but the last, on two at most the last two; and none once the
// batch is over.
TEST(RunBatch, FilesWaitWhileSomeAreNotStarted) {
    EXPECT_FALSE(FilesWaiting());
    const std::vector<std::string> names = {"a.pxc", "b.pxc", "c.pxc", "d.pxc", "e.pxc"};
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        std::mutex mutex;
        std::vector<int> waiting(names.size(), -1);
        BatchOptions options;
        options.threads = threads;
        options.quiet = true;
        options.summary = false;
        const BatchTotals totals = RunBatch(names, options, [&](size_t i, const RowProgress &) {
            const bool w = FilesWaiting();
            std::lock_guard<std::mutex> lock(mutex);
            waiting[i] = w;
            return JobResult{};
        });
        EXPECT_EQ(totals.done, names.size());
        EXPECT_FALSE(FilesWaiting());
        const auto alone = static_cast<unsigned>(std::count(waiting.begin(), waiting.end(), 0));
        EXPECT_EQ(std::count(waiting.begin(), waiting.end(), -1), 0);
        EXPECT_GE(alone, 1u);
        EXPECT_LE(alone, threads);
        if (threads == 1) {
            EXPECT_EQ(waiting, (std::vector<int>{1, 1, 1, 1, 0}));
        }
    }
}

// ---- Terminal, names, commands ----

TEST(ProgressLine, NeverWiderThanTheTerminal) {
    const std::string names[] = {"", "a.pxc", std::string(300, 'n') + "/end-of-the-name.pxc"};
    for (int columns = 0; columns <= 200; columns++) {
        for (const std::string &name : names) {
            for (double eta : {-1.0, 5.0, 40000.0}) {
                const std::string line = ProgressLine(columns, 0.37, "files 12/345", eta, name);
                ASSERT_LE(line.size(), static_cast<size_t>(std::max(columns - 1, 0)))
                    << columns << " columns: [" << line << "]";
                if (columns >= 20) {
                    EXPECT_TRUE(Contains(line, " 37% files 12/345")) << line;
                }
            }
        }
    }
    const std::string wide = ProgressLine(100, 0.5, "rows 5/10", 65, names[2]);
    EXPECT_TRUE(Contains(wide, "[###############...............]")) << wide;
    EXPECT_TRUE(Contains(wide, "1:05 left")) << wide;
    EXPECT_TRUE(Contains(wide, "...")) << wide;
    EXPECT_TRUE(Contains(wide, "end-of-the-name.pxc")) << wide;
    // Narrow: the name before the bar.
    const std::string narrow = ProgressLine(40, 0.5, "files 1/2", -1, "picture-1.pxc");
    EXPECT_TRUE(Contains(narrow, "picture-1.pxc")) << narrow;
}

TEST(Names, TemplatesSuffixesAndTheirMistakes) {
    EXPECT_EQ(ExpandName("{stem}.{ext}", "dir/CG01.PXC", "png"), "CG01.png");
    EXPECT_EQ(ExpandName("{name}-{offset}.{ext}", "a/game.dat", "bmp", 81920), "game.dat-81920.bmp");
    EXPECT_EQ(ExpandName("{stem}_x.{ext}", "noext", "png"), "noext_x.png");
    EXPECT_THROW(CheckNamePattern("{nope}.png"), std::invalid_argument);
    EXPECT_THROW(CheckNamePattern("{stem"), std::invalid_argument);
    EXPECT_THROW(CheckNamePattern("../{stem}.{ext}"), std::invalid_argument);
    EXPECT_THROW(CheckNamePattern(""), std::invalid_argument);
    EXPECT_NO_THROW(CheckNamePattern("{stem}-{offset}.{ext}"));
    EXPECT_EQ(Extension("x/PIC.PNG"), ".png");
    EXPECT_EQ(Extension("x.d/pic"), "");
}

TEST(Commands, MisspeltCommandsGetTheNearestOne) {
    const std::vector<std::string> commands = {"info", "probe", "verify", "decode", "encode", "scan", "extract"};
    EXPECT_EQ(ClosestCommand("dec", commands), "decode");
    EXPECT_EQ(ClosestCommand("verfiy", commands), "verify");
    EXPECT_EQ(ClosestCommand("extarct", commands), "extract");
    EXPECT_EQ(ClosestCommand("inof", commands), "info");
    EXPECT_EQ(ClosestCommand("frobnicate", commands), "");
    EXPECT_EQ(ClosestCommand("x", commands), "");
}
