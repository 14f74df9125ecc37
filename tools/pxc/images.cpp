#include "images.h"

#include <string.h>

#include <memory>

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

// Writes through OutputFile; the error is kept, since it cannot pass
// through the library as an exception.
struct PngSink {
    OutputFile *out;
    std::string error;
};

int WritePngBytes(spng_ctx *, void *user, void *data, size_t length) {
    auto *sink = static_cast<PngSink *>(user);
    try {
        sink->out->Write(data, length);
    } catch (const FileError &e) {
        sink->error = e.what();
        return SPNG_IO_ERROR;
    }
    return 0;
}

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

void WritePng(const Bitmap &bitmap, OutputFile &out, const RowProgress &progress) {
    SpngContext ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) throw FileError("out of memory");
    PngSink sink{&out, {}};
    spng_set_png_stream(ctx.get(), WritePngBytes, &sink);
    spng_ihdr ihdr{};
    ihdr.width = bitmap.width();
    ihdr.height = bitmap.height();
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    int r = spng_set_ihdr(ctx.get(), &ihdr);
    if (r == 0)
        r = spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG,
                              SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE);
    std::vector<uint8_t> row(static_cast<size_t>(bitmap.width()) * 3);
    for (uint32_t y = 0; r == 0 && y < bitmap.height(); y++) {
        if (g_cancel.load()) throw FileError("cancelled");
        if (progress) progress("writing rows", y, bitmap.height());
        const uint8_t *src = bitmap.Row(y);
        for (size_t i = 0; i < row.size(); i += 3) {
            row[i] = src[i + 2];
            row[i + 1] = src[i + 1];
            row[i + 2] = src[i];
        }
        r = spng_encode_row(ctx.get(), row.data(), row.size());
        if (r == SPNG_EOI) r = 0; // the last row
    }
    if (r != 0) {
        if (!sink.error.empty()) throw FileError(sink.error);
        throw FileError("cannot write PNG " + out.path() + ": " + SpngMessage(r));
    }
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
