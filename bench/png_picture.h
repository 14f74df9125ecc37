// Reading 24-bit PNG pictures with libpng, for the benchmark and the sample
// generator: top-down RGB rows, and the bottom-up BGR layout GetPicture
// returns and EncodePicture takes.
#ifndef PXCM_BENCH_PNG_PICTURE_H
#define PXCM_BENCH_PNG_PICTURE_H

#include <png.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

struct RgbPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb; // top-down, 3 * width bytes a row
};

struct PngReadCursor {
    const uint8_t *data;
    size_t size;
    size_t at;
};

inline void PngReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    PngReadCursor *c = static_cast<PngReadCursor *>(png_get_io_ptr(png));
    if (n > c->size - c->at) png_error(png, "truncated");
    memcpy(out, c->data + c->at, n);
    c->at += n;
}

// Decodes a PNG from memory into 8-bit RGB (palette, grey and alpha are
// converted). False on any libpng error.
inline bool DecodePngRgb(const uint8_t *data, size_t size, RgbPicture *pic) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    PngReadCursor cursor{data, size, 0};
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &cursor, PngReadFromMemory);
    png_read_info(png, info);
    png_set_strip_16(png);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_strip_alpha(png);
    png_read_update_info(png, info);
    pic->width = png_get_image_width(png, info);
    pic->height = png_get_image_height(png, info);
    pic->rgb.resize(static_cast<size_t>(pic->width) * 3 * pic->height);
    rows.resize(pic->height);
    for (uint32_t y = 0; y < pic->height; y++) rows[y] = &pic->rgb[static_cast<size_t>(y) * pic->width * 3];
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

inline bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *bytes) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bytes->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    const bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

inline bool WriteWholeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

inline int64_t BitmapStride(uint32_t width) { return (static_cast<int64_t>(width) * 3 + 3) & ~3LL; }

// Top-down RGB into bottom-up BGR rows with the bitmap's padded stride.
inline std::vector<uint8_t> ToBitmap(const RgbPicture &pic) {
    const int64_t stride = BitmapStride(pic.width);
    std::vector<uint8_t> out(static_cast<size_t>(stride * pic.height), 0);
    for (uint32_t y = 0; y < pic.height; y++) {
        const uint8_t *s = &pic.rgb[static_cast<size_t>(y) * pic.width * 3];
        uint8_t *d = &out[static_cast<size_t>((pic.height - 1 - y) * stride)];
        for (uint32_t x = 0; x < pic.width; x++) {
            d[3 * x] = s[3 * x + 2];
            d[3 * x + 1] = s[3 * x + 1];
            d[3 * x + 2] = s[3 * x];
        }
    }
    return out;
}

#endif
