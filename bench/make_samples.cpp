// pxcm_samples: makes the sample pictures in samples/ from the PNG corpus.
//
//   pxcm_samples CORPUS_DIR OUTPUT_DIR
//
// Each sample is a corpus picture, cropped and halved as listed below,
// encoded at effort 9 and checked by decoding it again.
#include <stdio.h>

#include <string>
#include <vector>

#include "bench/png_picture.h"
#include "encoder/encoder.h"
#include "plugin/pxcm.h"

namespace {

struct Sample {
    const char *source; // corpus file
    const char *output; // sample file
    uint32_t x, y, width, height; // crop, in source pixels (0 width: whole picture)
    bool halve;                    // then scale to half size, 2x2 averages
};

const Sample SAMPLES[] = {
    {"chelsea.png", "chelsea.pxc", 0, 0, 0, 0, false},
    {"logo.png", "logo.pxc", 0, 0, 0, 0, false},
    {"field-d-640x480.png", "field-d-320x240.pxc", 0, 0, 0, 0, true},
};

RgbPicture Crop(const RgbPicture &in, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    RgbPicture out;
    out.width = w;
    out.height = h;
    for (uint32_t y = 0; y < h; y++) {
        const uint8_t *row = &in.rgb[((static_cast<size_t>(y0) + y) * in.width + x0) * 3];
        out.rgb.insert(out.rgb.end(), row, row + static_cast<size_t>(w) * 3);
    }
    return out;
}

RgbPicture Halve(const RgbPicture &in) {
    RgbPicture out;
    out.width = in.width / 2;
    out.height = in.height / 2;
    for (uint32_t y = 0; y < out.height; y++)
        for (uint32_t x = 0; x < out.width; x++)
            for (uint32_t c = 0; c < 3; c++) {
                uint32_t sum = 0;
                for (uint32_t dy = 0; dy < 2; dy++)
                    for (uint32_t dx = 0; dx < 2; dx++)
                        sum += in.rgb[((static_cast<size_t>(2 * y + dy)) * in.width + 2 * x + dx) * 3 + c];
                out.rgb.push_back(static_cast<uint8_t>((sum + 2) / 4));
            }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pxcm_samples CORPUS_DIR OUTPUT_DIR\n");
        return 2;
    }
    const std::string corpus = argv[1], output = argv[2];
    for (const Sample &s : SAMPLES) {
        std::vector<uint8_t> png;
        RgbPicture pic;
        if (!ReadWholeFile(corpus + "/" + s.source, &png) || !DecodePngRgb(png.data(), png.size(), &pic)) {
            fprintf(stderr, "%s: cannot read\n", s.source);
            return 1;
        }
        if (s.width != 0) pic = Crop(pic, s.x, s.y, s.width, s.height);
        if (s.halve) pic = Halve(pic);
        const std::vector<uint8_t> bitmap = ToBitmap(pic);
        EncoderInput in{bitmap.data(), pic.width, pic.height, BitmapStride(pic.width)};
        EncoderOptions options{9, nullptr, nullptr};
        std::vector<uint8_t> file;
        if (EncodePicture(&in, &options, &file) != ENCODE_OK) {
            fprintf(stderr, "%s: cannot encode\n", s.output);
            return 1;
        }
        PxcmBlock info = nullptr, pixels = nullptr;
        bool same = GetPicture(reinterpret_cast<const char *>(file.data()), static_cast<PxcmLong>(file.size()),
                               SOURCE_MEMORY, &info, &pixels, nullptr, 0) == ERR_NONE;
        if (same) {
            same = GetBlockSize(pixels) == bitmap.size() &&
                   memcmp(LockBlock(pixels), bitmap.data(), bitmap.size()) == 0;
            UnlockBlock(pixels);
            FreeBlock(pixels);
            FreeBlock(info);
        }
        if (!same || !WriteWholeFile(output + "/" + s.output, file)) {
            fprintf(stderr, "%s: %s\n", s.output, same ? "cannot write" : "does not decode back");
            return 1;
        }
        printf("%s: %ux%u, %zu bytes\n", s.output, pic.width, pic.height, file.size());
    }
    return 0;
}
