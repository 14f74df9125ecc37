#include "images.h"

#include <string.h>

#include <algorithm>
#include <memory>

#include <libdeflate.h>
#include <spng.h>

namespace pxc {

// ---- Bitmap ----

Bitmap::~Bitmap() { Release(); }

Bitmap::Bitmap(Bitmap &&other) noexcept { *this = std::move(other); }

Bitmap &Bitmap::operator=(Bitmap &&other) noexcept {
    if (this == &other) return *this;
    Release();
    width_ = other.width_;
    height_ = other.height_;
    header_ = other.header_;
    own_ = std::move(other.own_);
    bits_ = own_.data();
    other.bits_ = nullptr;
    other.width_ = other.height_ = 0;
    return *this;
}

void Bitmap::Release() {
    bits_ = nullptr;
    own_.clear();
}

PxcmBitmapHeader MakeBitmapHeader(uint32_t width, uint32_t height) {
    PxcmBitmapHeader h{};
    h.biSize = sizeof(PxcmBitmapHeader);
    h.biWidth = static_cast<int32_t>(width);
    h.biHeight = static_cast<int32_t>(height);
    h.biPlanes = 1;
    h.biBitCount = 24;
    uint64_t size = static_cast<uint64_t>(height) * static_cast<uint64_t>(RowStride(width));
    h.biSizeImage = size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
    return h;
}

Bitmap Bitmap::Allocate(uint32_t width, uint32_t height) {
    Bitmap b;
    uint64_t size = static_cast<uint64_t>(height) * static_cast<uint64_t>(RowStride(width));
    try {
        b.own_.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc &) {
        throw FileError("out of memory");
    }
    b.width_ = width;
    b.height_ = height;
    b.bits_ = b.own_.data();
    b.header_ = MakeBitmapHeader(width, height);
    return b;
}

// ---- Writing ----

namespace {

void Put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t *p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

uint32_t Get16(const uint8_t *p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | (Get16(p + 2) << 16); }

struct SpngDeleter {
    void operator()(spng_ctx *ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

std::string SpngMessage(int code) { return spng_strerror(code); }

} // namespace

void WriteBmp(const Bitmap &bitmap, OutputFile &out) {
    constexpr uint32_t HEADERS = 14 + sizeof(PxcmBitmapHeader);
    const uint64_t total = HEADERS + bitmap.size();
    if (total > UINT32_MAX) throw FileError("picture too large for a BMP file");
    uint8_t file_header[14] = {'B', 'M'};
    Put32(file_header + 2, static_cast<uint32_t>(total));
    Put32(file_header + 10, HEADERS);
    out.Write(file_header, sizeof file_header);
    out.Write(&bitmap.header(), sizeof(PxcmBitmapHeader));
    out.Write(bitmap.bits(), static_cast<size_t>(bitmap.size()));
}

namespace {

// PNG output: rows filtered one by one, each with the filter whose output
// has the smallest sum of absolute values (as signed bytes), the usual
// choice; the filtered rows compressed by libdeflate in one zlib stream.
// (At these levels libdeflate is several times faster than zlib at its
// default, and as small or smaller but on some photographs.)
constexpr int PNG_LEVEL = 6;
constexpr int PNG_FAST_LEVEL = 1;

enum PngFilter : uint8_t { FILTER_NONE = 0, FILTER_SUB = 1, FILTER_UP = 2, FILTER_AVERAGE = 3, FILTER_PAETH = 4 };

inline uint32_t Magnitude(uint8_t v) { return v < 128 ? v : 256u - v; }

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    const int ab = pa <= pb ? a : b;
    const int ab_cost = pa <= pb ? pa : pb;
    return static_cast<uint8_t>(ab_cost <= pc ? ab : c);
}

// The filtered row (filter byte first) of RGB row `row` below `above`
// (null for the first row) into out[0 .. 1 + n]; `scratch` holds 4 n bytes.
void FilterRow(const uint8_t *row, const uint8_t *above, size_t n, uint8_t *out, uint8_t *scratch) {
    uint8_t *sub = scratch;
    uint8_t *up = scratch + n;
    uint8_t *average = scratch + 2 * n;
    uint8_t *paeth = scratch + 3 * n;
    uint32_t cost[5] = {};
    for (size_t i = 0; i < n; i++) cost[FILTER_NONE] += Magnitude(row[i]);
    for (size_t i = 0; i < n; i++) {
        const uint8_t a = i >= 3 ? row[i - 3] : 0;
        sub[i] = static_cast<uint8_t>(row[i] - a);
    }
    for (size_t i = 0; i < n; i++) cost[FILTER_SUB] += Magnitude(sub[i]);
    if (above != nullptr) {
        for (size_t i = 0; i < n; i++) up[i] = static_cast<uint8_t>(row[i] - above[i]);
        for (size_t i = 0; i < n; i++) {
            const uint32_t a = i >= 3 ? row[i - 3] : 0;
            average[i] = static_cast<uint8_t>(row[i] - ((a + above[i]) >> 1));
        }
        for (size_t i = 0; i < n; i++) {
            const int a = i >= 3 ? row[i - 3] : 0;
            const int c = i >= 3 ? above[i - 3] : 0;
            paeth[i] = static_cast<uint8_t>(row[i] - Paeth(a, above[i], c));
        }
        for (size_t i = 0; i < n; i++) cost[FILTER_UP] += Magnitude(up[i]);
        for (size_t i = 0; i < n; i++) cost[FILTER_AVERAGE] += Magnitude(average[i]);
        for (size_t i = 0; i < n; i++) cost[FILTER_PAETH] += Magnitude(paeth[i]);
    } else {
        // Above the first row everything is 0: up is none, average and
        // Paeth come down to halves of and the same as sub.
        cost[FILTER_UP] = cost[FILTER_AVERAGE] = cost[FILTER_PAETH] = UINT32_MAX;
    }
    uint8_t best = FILTER_NONE;
    for (uint8_t f = FILTER_SUB; f <= FILTER_PAETH; f++)
        if (cost[f] < cost[best]) best = f;
    out[0] = best;
    const uint8_t *chosen = best == FILTER_NONE ? row : scratch + (best - 1) * n;
    memcpy(out + 1, chosen, n);
}

void PutBe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One chunk: length, type, data, CRC of type and data.
void WriteChunk(OutputFile &out, const char type[4], const uint8_t *data, size_t size) {
    uint8_t head[8];
    PutBe32(head, static_cast<uint32_t>(size));
    memcpy(head + 4, type, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (size != 0) crc = libdeflate_crc32(crc, data, size); // a null buffer would restart the CRC
    uint8_t tail[4];
    PutBe32(tail, crc);
    out.Write(head, sizeof head);
    if (size != 0) out.Write(data, size);
    out.Write(tail, sizeof tail);
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

} // namespace

void WritePng(const Bitmap &bitmap, OutputFile &out, const RowProgress &progress) {
    const uint32_t width = bitmap.width();
    const uint32_t height = bitmap.height();
    const size_t n = static_cast<size_t>(width) * 3;
    const size_t filtered_size = static_cast<size_t>(height) * (n + 1);
    std::vector<uint8_t> filtered, rows, scratch;
    try {
        filtered.resize(filtered_size);
        rows.resize(2 * n);
        scratch.resize(4 * n);
    } catch (const std::bad_alloc &) {
        throw FileError("out of memory");
    }
    // Rows top-down in red, green, blue, each filtered against the one above.
    uint8_t *row = rows.data();
    uint8_t *above = rows.data() + n;
    for (uint32_t y = 0; y < height; y++) {
        if (g_cancel.load()) throw FileError("cancelled");
        if (progress && (y & 63) == 0) progress("writing rows", y, height);
        const uint8_t *src = bitmap.Row(y);
        for (size_t i = 0; i < n; i += 3) {
            row[i] = src[i + RED_BYTE];
            row[i + 1] = src[i + GREEN_BYTE];
            row[i + 2] = src[i + BLUE_BYTE];
        }
        FilterRow(row, y == 0 ? nullptr : above, n, filtered.data() + y * (n + 1), scratch.data());
        std::swap(row, above);
    }
    // A fast pass first. Where it leaves most of the bytes, the filtered
    // rows are noise to the compressor and a longer match search finds
    // little more: that result is kept. Otherwise the rows are compressed
    // again at the usual level.
    std::vector<uint8_t> data;
    size_t compressed = 0;
    for (const int level : {PNG_FAST_LEVEL, PNG_LEVEL}) {
        std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(level));
        if (!compressor) throw FileError("out of memory");
        try {
            data.resize(libdeflate_zlib_compress_bound(compressor.get(), filtered_size));
        } catch (const std::bad_alloc &) {
            throw FileError("out of memory");
        }
        compressed = libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered_size, data.data(),
                                              data.size());
        if (compressed == 0) throw FileError("cannot compress PNG " + out.path());
        if (compressed > filtered_size / 4 * 3) break;
    }
    if (progress) progress("writing rows", height, height);

    static const uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.Write(SIGNATURE, sizeof SIGNATURE);
    uint8_t ihdr[13];
    PutBe32(ihdr, width);
    PutBe32(ihdr + 4, height);
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 2;  // truecolour
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // adaptive filtering
    ihdr[12] = 0; // no interlace
    WriteChunk(out, "IHDR", ihdr, sizeof ihdr);
    // IDAT chunks of at most 1 MiB each.
    constexpr size_t IDAT_BYTES = size_t{1} << 20;
    for (size_t at = 0; at < compressed; at += IDAT_BYTES)
        WriteChunk(out, "IDAT", data.data() + at, std::min(IDAT_BYTES, compressed - at));
    WriteChunk(out, "IEND", nullptr, 0);
}

// ---- Reading ----

namespace {

void CheckSize(uint64_t width, uint64_t height, const ReadLimits &limits) {
    if (width == 0 || height == 0) throw FileError("picture has no pixels");
    if (width > MAX_SIDE || height > MAX_SIDE)
        throw FileError("picture is " + std::to_string(width) + " x " + std::to_string(height) +
                        ", a PXCM picture can be at most 65535 x 65535");
    if (width * height > limits.max_pixels)
        throw FileError("picture is " + std::to_string(width) + " x " + std::to_string(height) +
                        ", more pixels than the limit of " + std::to_string(limits.max_pixels) +
                        " (--max-pixels)");
}

} // namespace

Bitmap ReadPng(const std::vector<uint8_t> &file, const ReadLimits &limits,
               std::vector<std::string> *warnings) {
    SpngContext ctx(spng_ctx_new(0));
    if (!ctx) throw FileError("out of memory");
    // Ancillary chunks are not needed; keep their memory bounded.
    spng_set_chunk_limits(ctx.get(), 1 << 24, 1 << 26);
    spng_set_png_buffer(ctx.get(), file.data(), file.size());
    spng_ihdr ihdr{};
    int r = spng_get_ihdr(ctx.get(), &ihdr);
    if (r != 0) throw FileError("cannot read PNG: " + SpngMessage(r));
    CheckSize(ihdr.width, ihdr.height, limits);

    spng_trns trns{};
    const bool alpha = (ihdr.color_type & 4) != 0 || spng_get_trns(ctx.get(), &trns) == 0;
    size_t rgb_size = 0;
    r = spng_decoded_image_size(ctx.get(), SPNG_FMT_RGB8, &rgb_size);
    if (r != 0) throw FileError("cannot read PNG: " + SpngMessage(r));
    std::vector<uint8_t> rgb;
    try {
        rgb.resize(rgb_size);
    } catch (const std::bad_alloc &) {
        throw FileError("out of memory");
    }
    r = spng_decode_image(ctx.get(), rgb.data(), rgb.size(), SPNG_FMT_RGB8, 0);
    if (r != 0) throw FileError("cannot read PNG: " + SpngMessage(r));
    if (alpha && warnings != nullptr) warnings->push_back("transparency dropped, the picture is kept opaque");

    Bitmap b = Bitmap::Allocate(ihdr.width, ihdr.height);
    const size_t row_bytes = static_cast<size_t>(ihdr.width) * 3;
    for (uint32_t y = 0; y < ihdr.height; y++) {
        const uint8_t *src = rgb.data() + y * row_bytes;
        uint8_t *dst = b.Row(y);
        for (size_t i = 0; i < row_bytes; i += 3) {
            dst[i] = src[i + 2];
            dst[i + 1] = src[i + 1];
            dst[i + 2] = src[i];
        }
    }
    return b;
}

Bitmap ReadBmp(const std::vector<uint8_t> &file, const ReadLimits &limits) {
    if (file.size() < 14 + 40 || file[0] != 'B' || file[1] != 'M')
        throw FileError("not a BMP file");
    const uint8_t *h = file.data() + 14;
    const uint32_t header_size = Get32(h);
    const uint32_t offset = Get32(file.data() + 10);
    if (header_size < 40 || 14 + static_cast<uint64_t>(header_size) > file.size())
        throw FileError("BMP information header not supported (size " + std::to_string(header_size) + ")");
    const int32_t width = static_cast<int32_t>(Get32(h + 4));
    const int32_t height = static_cast<int32_t>(Get32(h + 8));
    const uint32_t bits = Get16(h + 14);
    const uint32_t compression = Get32(h + 16);
    if (bits != 24) throw FileError("only 24-bit BMP files can be read, this one has " + std::to_string(bits) + " bits per pixel");
    if (compression != 0) throw FileError("compressed BMP files cannot be read");
    if (width <= 0 || height == 0 || height == INT32_MIN) throw FileError("BMP has no pixels");
    const bool top_down = height < 0;
    const uint32_t w = static_cast<uint32_t>(width);
    const uint32_t rows = static_cast<uint32_t>(top_down ? -height : height);
    CheckSize(w, rows, limits);
    const int64_t stride = RowStride(w);
    if (offset < 14 + header_size || offset + static_cast<uint64_t>(stride) * rows > file.size())
        throw FileError("BMP file is cut short");
    Bitmap b = Bitmap::Allocate(w, rows);
    const uint8_t *src = file.data() + offset;
    for (uint32_t i = 0; i < rows; i++) {
        // Stored row i is image row i from the top in a top-down file, and
        // from the bottom otherwise.
        uint8_t *dst = b.Row(top_down ? i : rows - 1 - i);
        memcpy(dst, src + i * stride, static_cast<size_t>(w) * 3);
    }
    return b;
}

Bitmap ReadPicture(const std::string &path, const ReadLimits &limits,
                   std::vector<std::string> *warnings) {
    std::vector<uint8_t> file = ReadWholeFile(path);
    static const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() >= 8 && memcmp(file.data(), PNG_SIGNATURE, 8) == 0)
        return ReadPng(file, limits, warnings);
    if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') return ReadBmp(file, limits);
    throw FileError("neither a PNG nor a BMP file");
}

} // namespace pxc
