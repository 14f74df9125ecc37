// The native API: pxcm_decode in every layout against GetPicture's block,
// the decode report against the stream writer's own bit count, the
// argument and result rules, and pxcm_encode.
#include <gtest/gtest.h>

#include <string.h>

#include <pxcm/pxcm.h>

#include <memory>
#include <string>
#include <vector>

#include "pixels/picture.h"
#include "support/random_stream.h"
#include "support/reference_bits.h"
#include "support/streams.h"

namespace {

const pxcm_layout LAYOUTS[] = {PXCM_LAYOUT_RGB, PXCM_LAYOUT_BGR, PXCM_LAYOUT_RGBA, PXCM_LAYOUT_BGRA,
                               PXCM_LAYOUT_DIB};

struct Native {
    int result = -100;
    std::vector<uint8_t> pixels;
    pxcm_decode_report report{};
};

// pxcm_decode into a buffer of exactly the size asked for, prefilled with a
// marker so that bytes the decode must leave alone can be checked.
Native DecodeNative(const std::vector<uint8_t> &file, pxcm_layout layout, size_t stride = 0,
                    uint8_t fill = 0xA5) {
    Native n;
    pxcm_info info{};
    if (pxcm_read_info(file.data(), file.size(), &info) != PXCM_OK) return n;
    n.pixels.assign(static_cast<size_t>(pxcm_buffer_size(&info, layout, stride)), fill);
    pxcm_decode_options o{};
    o.layout = layout;
    o.stride = stride;
    n.result = pxcm_decode(file.data(), file.size(), &o, n.pixels.data(), n.pixels.size(), &n.report);
    return n;
}

// Checks one native decode against the bottom-up BGR block of GetPicture.
void ExpectSamePixels(const Native &n, const std::vector<uint8_t> &block, uint32_t width, uint32_t height,
                      pxcm_layout layout, size_t stride, uint8_t fill, const std::string &what) {
    const size_t dib = StrideOf(width);
    const size_t packed = pxcm_stride(width, layout);
    const size_t s = stride != 0 ? stride : packed;
    // Every row at the stride but the last, which is only as long as a packed row.
    ASSERT_EQ(n.pixels.size(), height == 0 ? 0 : (height - 1) * s + packed) << what;
    const int bpp = layout == PXCM_LAYOUT_RGBA || layout == PXCM_LAYOUT_BGRA ? 4 : 3;
    const bool rgb = layout == PXCM_LAYOUT_RGB || layout == PXCM_LAYOUT_RGBA;
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t *want = block.data() + (height - 1 - y) * dib;
        if (layout == PXCM_LAYOUT_DIB) {
            const uint8_t *got = n.pixels.data() + (height - 1 - y) * s;
            // The whole padded row, trailing bytes included, as the block has it.
            ASSERT_EQ(memcmp(got, want, dib), 0) << what << " row " << y;
            for (size_t i = dib; i < s && y != 0; i++) ASSERT_EQ(got[i], fill) << what << " row " << y;
            continue;
        }
        const uint8_t *got = n.pixels.data() + y * s;
        for (uint32_t x = 0; x < width; x++) {
            const uint8_t *p = got + x * bpp;
            const uint8_t *q = want + 3 * x;
            ASSERT_EQ(p[0], q[rgb ? RED_BYTE : BLUE_BYTE]) << what << " x " << x << " y " << y;
            ASSERT_EQ(p[1], q[GREEN_BYTE]) << what << " x " << x << " y " << y;
            ASSERT_EQ(p[2], q[rgb ? BLUE_BYTE : RED_BYTE]) << what << " x " << x << " y " << y;
            if (bpp == 4) {
                ASSERT_EQ(p[3], 255) << what;
            }
        }
        for (size_t i = static_cast<size_t>(width) * bpp; i < s && y + 1 < height; i++)
            ASSERT_EQ(got[i], fill) << what << " row " << y;
    }
}

// The row in which the plain reference decoder first reads a bit at or past
// `data_bits` (height if it never does), and the bits it reads in all.
std::pair<uint32_t, uint64_t> ReferenceEnd(const std::vector<uint8_t> &file, uint32_t width, uint32_t height,
                                           uint64_t data_bits) {
    RefPicture ref;
    ref.bits = RefBits{file.data() + HEADER_SIZE, file.size() - HEADER_SIZE};
    ref.width = width;
    ref.height = height;
    ref.stride = RowStride(width);
    ref.buf.assign(BitmapSize(width, height), 0);
    uint32_t end = height;
    for (uint32_t m = 0; m < height; m++) {
        EXPECT_TRUE(ref.Row(m));
        if (end == height && ref.bits.pos > data_bits) end = m;
    }
    return {end, ref.bits.pos};
}

} // namespace

TEST(NativeDecode, EveryLayoutGivesGetPicturesPixels) {
    // Random streams of every size class, widths 1 and 2 included, with runs
    // past their row's end, tall enough that the window moves many times,
    // with and without padding after each output row; widths 5 to 17 end
    // the layouts' 4- and 5-pixel steps at every place in a row.
    const uint32_t sizes[][2] = {{1, 1},  {1, 400}, {2, 7},  {2, 300}, {3, 3},    {4, 50},    {5, 33},
                                 {6, 5},  {7, 129}, {8, 4},  {9, 3},   {10, 4},   {11, 6},    {12, 3},
                                 {13, 2}, {16, 3},  {17, 2}, {64, 40}, {127, 9},  {300, 200}, {1000, 3}};
    uint32_t seed = 40;
    for (const auto &size : sizes) {
        RandomStreamOptions options;
        options.long_run_share = 0.3;
        const RandomPicture p = MakeRandomPicture(seed++, size[0], size[1], options);
        const Decoded block = DecodeBytes(p.file);
        ASSERT_EQ(block.result, ERR_NONE);
        ASSERT_EQ(block.pixels, p.pixels);
        for (pxcm_layout layout : LAYOUTS) {
            for (size_t extra : {size_t{0}, size_t{5}}) {
                const size_t stride = extra == 0 ? 0 : pxcm_stride(p.width, layout) + extra;
                const std::string what = std::to_string(p.width) + "x" + std::to_string(p.height) + " layout " +
                                         std::to_string(layout) + " stride " + std::to_string(stride);
                const Native n = DecodeNative(p.file, layout, stride);
                ASSERT_EQ(n.result, PXCM_OK) << what;
                ExpectSamePixels(n, block.pixels, p.width, p.height, layout, stride, 0xA5, what);
                EXPECT_EQ(n.report.bits_used, p.stream_bits) << what;
                EXPECT_EQ(n.report.bits_past_end, 0u) << what;
                EXPECT_EQ(n.report.end_row, p.height) << what;
            }
        }
    }
}

TEST(NativeDecode, BitmapLayoutIsTheWholePixelBlock) {
    // Packed, the bitmap layout is GetPicture's block byte for byte, also
    // where the caller's buffer held something else before.
    const RandomPicture p = MakeRandomPicture(7, 33, 20);
    const Native n = DecodeNative(p.file, PXCM_LAYOUT_DIB, 0, 0xEE);
    ASSERT_EQ(n.result, PXCM_OK);
    EXPECT_EQ(n.pixels, p.pixels);
}

TEST(NativeDecode, ReportCountsTheBitsOfTheStream) {
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE(seed);
        const uint32_t width = 1 + seed * 7 % 40, height = 1 + seed * 5 % 23;
        const RandomPicture p = MakeRandomPicture(seed, width, height);
        const uint64_t stream_bytes = p.file.size() - HEADER_SIZE;

        // Trailing bytes are never read: the stream ends where the writer
        // stopped, at byte 24 + ceil(bits_used / 8).
        std::vector<uint8_t> longer = p.file;
        longer.insert(longer.end(), {0xFF, 0x00, 0x13, 0x37, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        const Native n = DecodeNative(longer, PXCM_LAYOUT_RGB);
        ASSERT_EQ(n.result, PXCM_OK);
        EXPECT_EQ(n.report.bits_used, p.stream_bits);
        EXPECT_EQ(n.report.bits_past_end, 0u);
        EXPECT_EQ(n.report.end_row, height);
        EXPECT_EQ(HEADER_SIZE + (n.report.bits_used + 7) / 8, p.file.size());

        // A stream whose last bits are zero bits left out of the file: the
        // same picture, the same bits used, those past the end counted, and
        // the row where they start named.
        std::vector<uint8_t> trimmed = p.file;
        while (trimmed.size() > static_cast<size_t>(HEADER_SIZE) + 1 && trimmed.back() == 0) trimmed.pop_back();
        const bool only_zeros = trimmed.size() < p.file.size();
        if (!only_zeros) trimmed.pop_back(); // then drop real bits: a cut stream
        const uint64_t data_bits = (trimmed.size() - HEADER_SIZE) * 8;
        const Decoded plugin = DecodeBytes(trimmed);
        const Native cut = DecodeNative(trimmed, PXCM_LAYOUT_BGR);
        ASSERT_EQ(cut.result == PXCM_OK, plugin.result == ERR_NONE);
        if (cut.result != PXCM_OK) {
            EXPECT_EQ(cut.result, PXCM_ERR_STREAM);
            EXPECT_EQ(plugin.result, ERR_READ);
            continue;
        }
        ExpectSamePixels(cut, plugin.pixels, width, height, PXCM_LAYOUT_BGR, 0, 0xA5, "trimmed");
        const auto [end_row, ref_bits] = ReferenceEnd(trimmed, width, height, data_bits);
        EXPECT_EQ(cut.report.bits_used, ref_bits);
        ASSERT_GT(cut.report.bits_used, data_bits);
        EXPECT_EQ(cut.report.bits_past_end, cut.report.bits_used - data_bits);
        EXPECT_EQ(cut.report.end_row, end_row);
        if (only_zeros) {
            // Only zero bits were left out: nothing but the count changes.
            EXPECT_EQ(cut.report.bits_used, p.stream_bits);
            EXPECT_EQ(plugin.pixels, p.pixels);
        }
        EXPECT_LT(trimmed.size() - HEADER_SIZE, stream_bytes);
    }
}

TEST(NativeDecode, ExamplePictureAndItsReport) {
    // The 2 x 1 example: 51 bits of tables (token 40, offset 10, escape 1),
    // then two tokens of 2 bits each: 55 bits, in the data whether or not
    // the four zero bytes of the example follow.
    std::vector<uint8_t> file = HeaderBytes(2, 1);
    file.insert(file.end(), {0x64, 0x02, 0x07, 0x01, 0x57, 0x67, 0xFA, 0, 0, 0, 0});
    for (size_t trailing : {size_t{4}, size_t{0}}) {
        Native n = DecodeNative(file, PXCM_LAYOUT_RGB);
        ASSERT_EQ(n.result, PXCM_OK);
        EXPECT_EQ(n.pixels, (std::vector<uint8_t>{254, 254, 254, 254, 254, 254}));
        EXPECT_EQ(n.report.bits_used, 55u);
        EXPECT_EQ(n.report.bits_past_end, 0u);
        EXPECT_EQ(n.report.end_row, 1u);
        file.resize(file.size() - trailing);
    }
    // Without the last byte, the offset table's last flag (bit 48) reads a
    // zero: a skip whose count finds no one bit.
    file.pop_back();
    const Native n = DecodeNative(file, PXCM_LAYOUT_RGBA);
    EXPECT_EQ(n.result, PXCM_ERR_STREAM);
    EXPECT_EQ(n.report.bits_used, 49u);
    EXPECT_EQ(n.report.bits_past_end, 1u);
    EXPECT_EQ(n.report.end_row, 0u);
}

TEST(NativeDecode, StreamFailingMidRowLeavesTheRestOfTheRowZero) {
    // Row 0 of distinct colours, then literals in row 1 copying the pixel
    // above, then bits no token code covers: the bitmap holds the copies
    // and zeros after them, the next pixel's bytes untouched, however the
    // decoder wrote the copies. Enough bits follow for the fast loop to
    // take the row.
    CodeTables tables;
    tables.token[LiteralToken(3, 3, 3)] = 2; // code 00: a copy of the reference
    tables.token[LiteralToken(5, 5, 5)] = 2; // code 01: 2 less per channel
    tables.offset[0] = tables.offset[1] = 1; // codes 10 and 11: none
    const uint32_t width = 40;
    for (uint32_t copies : {0u, 1u, 5u, 20u, 39u}) {
        StreamBuilder s(width, 2);
        s.Tables(tables);
        for (uint32_t x = 0; x < width; x++) s.Literal(LiteralToken(5, 5, 5), -1, 0);
        for (uint32_t x = 0; x < copies; x++) s.Literal(LiteralToken(3, 3, 3), 0, 1);
        s.Bits(3, 2);
        for (int i = 0; i < 32; i++) s.Bits(0x5a5a, 16);
        const Native n = DecodeNative(s.Finish(), PXCM_LAYOUT_DIB, 0, 0);
        ASSERT_EQ(n.result, PXCM_ERR_STREAM) << copies;
        const uint8_t *top = n.pixels.data() + StrideOf(width);
        const uint8_t *row = n.pixels.data();
        for (uint32_t x = 0; x < width; x++) {
            const uint8_t grey = static_cast<uint8_t>(254 - 2 * x);
            for (int c = 0; c < PIXEL_BYTES; c++) {
                ASSERT_EQ(top[3 * x + c], grey) << copies << " x " << x;
                ASSERT_EQ(row[3 * x + c], x < copies ? grey : 0) << copies << " x " << x;
            }
        }
    }
}

TEST(NativeDecode, StoppedDecodeInPlaceIsTheReferencesWhateverTheBufferHeld) {
    // Decoded in place, the caller's buffer is not cleared first: a stream
    // that fails, in the fast loop or the careful one, midway through a
    // literal's escapes or at a table set, and a decode the caller stops,
    // must still leave exactly the plain reference's bitmap at that point
    // (zeros where it did not reach), whatever the buffer held.
    // The widest rows mostly of runs, long ones from rows above and far
    // behind among them, so that streams fail in the fast loop after runs
    // as well as after literals.
    struct Case {
        uint32_t width, height, seed;
        double run_share;
    };
    const Case cases[] = {{1, 9, 1, 0.25},  {2, 9, 2, 0.25},  {3, 7, 3, 0.25},   {4, 6, 4, 0.25},
                          {6, 6, 5, 0.25},  {17, 5, 6, 0.25}, {40, 4, 7, 0.25},  {300, 3, 8, 0.25},
                          {700, 9, 9, 0.7}, {1001, 5, 10, 0.9}};
    uint32_t failures = 0;
    for (const Case &c : cases) {
        RandomStreamOptions options;
        options.run_share = c.run_share;
        options.long_run_share = 0.3;
        options.escape_share = 0.3;
        const RandomPicture p = MakeRandomPicture(c.seed, c.width, c.height, options);
        const size_t stream = p.file.size() - HEADER_SIZE;
        for (uint32_t k = 0; k < 24; k++) {
            // Damage one byte somewhere in the stream, or give it no more
            // valid bits after some point.
            std::vector<uint8_t> file = p.file;
            const size_t at = HEADER_SIZE + stream * k / 24;
            if (k % 2 == 0)
                file[at] ^= static_cast<uint8_t>(0x5b + k);
            else
                for (size_t i = at; i < file.size(); i++) file[i] = 0xff;
            RefPicture ref;
            ref.Start(file.data(), file.size(), c.width, c.height);
            bool ok = true;
            for (uint32_t m = 0; m < c.height && ok; m++) ok = ref.Row(m);
            const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + " case " +
                                     std::to_string(k);
            for (uint8_t fill : {uint8_t{0}, uint8_t{0xA5}, uint8_t{0xff}}) {
                const Native n = DecodeNative(file, PXCM_LAYOUT_DIB, 0, fill);
                ASSERT_EQ(n.result, ok ? PXCM_OK : PXCM_ERR_STREAM) << what;
                ASSERT_EQ(n.pixels, ref.buf) << what << " fill " << int{fill};
            }
            failures += !ok;
        }
        // Stopped by the caller before row `stop`: the rows above it as
        // the reference decodes them, the rest zero.
        for (uint32_t stop = 0; stop <= c.height; stop++) {
            RefPicture ref;
            ref.Start(p.file.data(), p.file.size(), c.width, c.height);
            for (uint32_t m = 0; m < stop; m++) ASSERT_TRUE(ref.Row(m));
            std::vector<uint8_t> out(p.pixels.size(), 0xA5);
            pxcm_decode_options o{};
            o.layout = PXCM_LAYOUT_DIB;
            o.user = &stop;
            o.progress = [](uint32_t row, uint32_t, void *user) { return row == *static_cast<uint32_t *>(user) ? 1 : 0; };
            ASSERT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, out.data(), out.size(), nullptr),
                      PXCM_ERR_ABORTED);
            ASSERT_EQ(out, ref.buf) << stop;
        }
    }
    // Most damaged streams fail (the rest decode to other pixels).
    EXPECT_GT(failures, 100u);
}

TEST(NativeDecode, ArgumentsAndRefusals) {
    const RandomPicture p = MakeRandomPicture(3, 10, 10);
    std::vector<uint8_t> rgb(300);
    pxcm_decode_options o{};
    pxcm_decode_report report{};
    EXPECT_EQ(pxcm_decode(nullptr, 100, &o, rgb.data(), rgb.size(), nullptr), PXCM_ERR_ARGUMENT);
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, nullptr, rgb.size(), nullptr), PXCM_ERR_ARGUMENT);
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, rgb.data(), 299, nullptr), PXCM_ERR_BUFFER);
    // With padded rows the last needs no padding: exactly what such a buffer has.
    std::vector<uint8_t> padded(9 * 36 + 30);
    pxcm_decode_options wide{};
    wide.stride = 36;
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &wide, padded.data(), padded.size(), nullptr), PXCM_OK);
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &wide, padded.data(), padded.size() - 1, nullptr),
              PXCM_ERR_BUFFER);
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), nullptr, rgb.data(), 300, nullptr), PXCM_OK);
    o.stride = 29; // below the packed row
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, rgb.data(), rgb.size(), nullptr), PXCM_ERR_ARGUMENT);
    o.stride = 0;
    o.layout = static_cast<pxcm_layout>(5);
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, rgb.data(), rgb.size(), nullptr), PXCM_ERR_ARGUMENT);
    o.layout = PXCM_LAYOUT_DIB; // rows of 32 bytes
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, rgb.data(), rgb.size(), nullptr), PXCM_ERR_BUFFER);
    o.layout = PXCM_LAYOUT_RGB;
    o.max_pixels = 99;
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, rgb.data(), rgb.size(), &report), PXCM_ERR_TOO_LARGE);
    o.max_pixels = 100;
    EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, rgb.data(), rgb.size(), &report), PXCM_OK);

    // The header's own refusals, before any argument about pixels.
    EXPECT_EQ(pxcm_decode(p.file.data(), 23, &o, rgb.data(), rgb.size(), nullptr), PXCM_ERR_TRUNCATED);
    std::vector<uint8_t> wrong = p.file;
    wrong[0] = 'p';
    EXPECT_EQ(pxcm_decode(wrong.data(), wrong.size(), &o, rgb.data(), rgb.size(), nullptr), PXCM_ERR_BAD_FORMAT);
    pxcm_info info{};
    EXPECT_EQ(pxcm_read_info(p.file.data(), 23, &info), PXCM_ERR_TRUNCATED);
    EXPECT_EQ(pxcm_read_info(wrong.data(), wrong.size(), &info), PXCM_ERR_BAD_FORMAT);
    EXPECT_EQ(pxcm_read_info(p.file.data(), p.file.size(), nullptr), PXCM_ERR_ARGUMENT);
    ASSERT_EQ(pxcm_read_info(p.file.data(), 24, &info), PXCM_OK);
    EXPECT_EQ(info.width, 10u);
    EXPECT_EQ(info.height, 10u);
    EXPECT_EQ(info.depth, 24u);

    // A header with nothing after it: the first table set's count meets no
    // one bit. The plug-in says it could not read the picture; the native
    // API names the stream.
    const std::vector<uint8_t> bare = HeaderBytes(4, 4);
    std::vector<uint8_t> out(64);
    EXPECT_EQ(pxcm_decode(bare.data(), bare.size(), &o, out.data(), out.size(), &report), PXCM_ERR_STREAM);
    EXPECT_EQ(report.bits_past_end, report.bits_used);
    EXPECT_EQ(DecodeBytes(bare).result, ERR_READ);

    // Buffer sizes.
    EXPECT_EQ(pxcm_stride(10, PXCM_LAYOUT_RGB), 30u);
    EXPECT_EQ(pxcm_stride(10, PXCM_LAYOUT_BGRA), 40u);
    EXPECT_EQ(pxcm_stride(10, PXCM_LAYOUT_DIB), 32u);
    EXPECT_EQ(pxcm_stride(10, static_cast<pxcm_layout>(9)), 0u);
    EXPECT_EQ(pxcm_buffer_size(&info, PXCM_LAYOUT_DIB, 0), 320u);
    EXPECT_EQ(pxcm_buffer_size(&info, PXCM_LAYOUT_RGB, 31), 9u * 31u + 30u); // the last row unpadded
    EXPECT_EQ(pxcm_buffer_size(&info, PXCM_LAYOUT_DIB, 40), 9u * 40u + 32u);
    EXPECT_EQ(pxcm_buffer_size(&info, PXCM_LAYOUT_RGB, 29), 0u);
    const pxcm_info largest{65535, 65535, 24};
    EXPECT_EQ(pxcm_buffer_size(&largest, PXCM_LAYOUT_DIB, 0), 65535ull * 196608ull);
}

TEST(NativeDecode, EmptyPicturesDecodeToNothing) {
    // Unlike the plug-in, whose zero-size pixel block cannot be locked.
    for (const auto &size : {std::pair{0u, 5u}, std::pair{5u, 0u}, std::pair{0u, 0u}}) {
        const std::vector<uint8_t> file = HeaderBytes(size.first, size.second);
        for (pxcm_layout layout : LAYOUTS) {
            pxcm_decode_options o{};
            o.layout = layout;
            pxcm_decode_report report{};
            EXPECT_EQ(pxcm_decode(file.data(), file.size(), &o, nullptr, 0, &report), PXCM_OK);
            EXPECT_EQ(report.bits_used, 0u);
        }
        EXPECT_EQ(DecodeBytes(file).result, ERR_MEMORY);
    }
}

TEST(NativeDecode, ProgressIsReportedAndCanStop) {
    const RandomPicture p = MakeRandomPicture(5, 20, 6);
    struct Calls {
        std::vector<std::pair<uint32_t, uint32_t>> seen;
        uint32_t stop_at;
    };
    auto record = [](uint32_t row, uint32_t height, void *user) {
        auto *c = static_cast<Calls *>(user);
        c->seen.emplace_back(row, height);
        return c->seen.size() - 1 == c->stop_at ? 1 : 0;
    };
    for (pxcm_layout layout : {PXCM_LAYOUT_RGB, PXCM_LAYOUT_DIB}) {
        Calls calls{{}, 1000};
        std::vector<uint8_t> out(20 * 6 * 4);
        pxcm_decode_options o{};
        o.layout = layout;
        o.progress = record;
        o.user = &calls;
        ASSERT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, out.data(), out.size(), nullptr), PXCM_OK);
        ASSERT_EQ(calls.seen.size(), 7u);
        for (uint32_t i = 0; i < 7; i++) EXPECT_EQ(calls.seen[i], (std::pair<uint32_t, uint32_t>{i, 6}));
        for (uint32_t stop = 0; stop < 7; stop++) {
            Calls stopping{{}, stop};
            o.user = &stopping;
            EXPECT_EQ(pxcm_decode(p.file.data(), p.file.size(), &o, out.data(), out.size(), nullptr),
                      PXCM_ERR_ABORTED);
            EXPECT_EQ(stopping.seen.size(), stop + 1);
        }
    }
}

TEST(NativeDecode, WorkingMemoryIsAFewRows) {
    // Beside the caller's buffer the decode holds a window of rows, which
    // depends on the width alone, never on the height.
    for (uint32_t width : {1u, 2u, 100u, 1920u, 65535u}) {
        const int64_t stride = RowStride(width);
        const PictureOutput rgb{nullptr, static_cast<int64_t>(PackedRowBytes(width, LAYOUT_RGB)), LAYOUT_RGB};
        const uint64_t window = WindowBytes(width, 65535, &rgb);
        EXPECT_GE(window, static_cast<uint64_t>(ReachRows(width) * stride)) << width;
        EXPECT_LE(window, static_cast<uint64_t>(stride) * 200u) << width;
        EXPECT_LE(window, 256u * 1024u + 8u * static_cast<uint64_t>(stride)) << width;
        const PictureOutput dib{nullptr, stride, LAYOUT_DIB};
        EXPECT_EQ(WindowBytes(width, 65535, &dib), 0u) << width;
    }
}

TEST(NativeEncode, RoundTripInEveryLayout) {
    const uint32_t width = 13, height = 9;
    std::vector<uint8_t> rgb(width * height * 3);
    for (size_t i = 0; i < rgb.size(); i++) rgb[i] = static_cast<uint8_t>(i * 7 + i / 39);
    for (pxcm_layout layout : LAYOUTS) {
        const size_t stride = pxcm_stride(width, layout) + 3;
        std::vector<uint8_t> in(stride * height, 0x77);
        const int bpp = layout == PXCM_LAYOUT_RGBA || layout == PXCM_LAYOUT_BGRA ? 4 : 3;
        const bool is_rgb = layout == PXCM_LAYOUT_RGB || layout == PXCM_LAYOUT_RGBA;
        for (uint32_t y = 0; y < height; y++) {
            const uint32_t row = layout == PXCM_LAYOUT_DIB ? height - 1 - y : y;
            for (uint32_t x = 0; x < width; x++) {
                const uint8_t *s = &rgb[(y * width + x) * 3];
                uint8_t *d = &in[row * stride + x * bpp];
                d[0] = is_rgb ? s[0] : s[2];
                d[1] = s[1];
                d[2] = is_rgb ? s[2] : s[0];
                if (bpp == 4) d[3] = static_cast<uint8_t>(x); // alpha is ignored
            }
        }
        void *file = nullptr;
        size_t file_size = 0;
        ASSERT_EQ(pxcm_encode(in.data(), width, height, layout, stride, 0, &file, &file_size), PXCM_OK);
        std::vector<uint8_t> bytes(static_cast<uint8_t *>(file), static_cast<uint8_t *>(file) + file_size);
        pxcm_free(file);
        const Native n = DecodeNative(bytes, PXCM_LAYOUT_RGB);
        ASSERT_EQ(n.result, PXCM_OK) << layout;
        EXPECT_EQ(n.pixels, rgb) << layout;
        EXPECT_EQ(n.report.bits_past_end, 0u) << layout;
        EXPECT_EQ(HEADER_SIZE + (n.report.bits_used + 7) / 8, bytes.size()) << layout;
    }
    void *file = reinterpret_cast<void *>(1);
    size_t file_size = 1;
    EXPECT_EQ(pxcm_encode(rgb.data(), width, height, PXCM_LAYOUT_RGB, 0, 10, &file, &file_size), PXCM_ERR_ARGUMENT);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(pxcm_encode(rgb.data(), 65536, 1, PXCM_LAYOUT_RGB, 0, 1, &file, &file_size), PXCM_ERR_ARGUMENT);
    EXPECT_EQ(pxcm_encode(rgb.data(), width, height, PXCM_LAYOUT_RGB, 38, 1, &file, &file_size), PXCM_ERR_ARGUMENT);
    EXPECT_EQ(pxcm_encode(nullptr, width, height, PXCM_LAYOUT_RGB, 0, 1, &file, &file_size), PXCM_ERR_ARGUMENT);
    EXPECT_EQ(pxcm_encode(rgb.data(), width, height, PXCM_LAYOUT_RGB, 0, 1, nullptr, &file_size), PXCM_ERR_ARGUMENT);
    // An empty picture is a header and nothing else.
    ASSERT_EQ(pxcm_encode(nullptr, 0, 0, PXCM_LAYOUT_RGB, 0, 0, &file, &file_size), PXCM_OK);
    EXPECT_EQ(file_size, static_cast<size_t>(HEADER_SIZE));
    pxcm_free(file);
}

TEST(NativeApi, ResultTextsAndVersion) {
    for (int code = -2; code <= 14; code++) {
        const char *text = pxcm_result_text(code);
        ASSERT_NE(text, nullptr);
        EXPECT_GT(strlen(text), 3u);
    }
    EXPECT_STREQ(pxcm_result_text(PXCM_ERR_BAD_FORMAT), "not a PXCM picture");
    EXPECT_STRNE(pxcm_result_text(PXCM_ERR_STREAM), pxcm_result_text(PXCM_ERR_READ));
    EXPECT_STREQ(pxcm_version(), PXCM_TEST_VERSION);
}
