// Writes a random PXCM picture and the pixels it must decode to, for the
// command-line tests: make_picture SEED WIDTH HEIGHT OUT.pxc EXPECTED.ppm
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <vector>

#include "format/format.h"
#include "support/files.h"
#include "support/random_stream.h"

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s SEED WIDTH HEIGHT OUT.pxc EXPECTED.ppm\n", argv[0]);
        return 2;
    }
    const auto seed = static_cast<uint32_t>(strtoul(argv[1], nullptr, 10));
    const auto width = static_cast<uint32_t>(strtoul(argv[2], nullptr, 10));
    const auto height = static_cast<uint32_t>(strtoul(argv[3], nullptr, 10));
    RandomPicture p = MakeRandomPicture(seed, width, height);
    // The expected pixels as a binary PPM: top-down rows of red, green, blue.
    const size_t stride = static_cast<size_t>(RowStride(width));
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t *row = p.pixels.data() + (height - 1 - y) * stride;
        for (uint32_t x = 0; x < width; x++) {
            const uint8_t *pixel = row + PIXEL_BYTES * x;
            rgb.push_back(pixel[RED_BYTE]);
            rgb.push_back(pixel[GREEN_BYTE]);
            rgb.push_back(pixel[BLUE_BYTE]);
        }
    }
    char head[64];
    snprintf(head, sizeof head, "P6\n%u %u\n255\n", width, height);
    std::vector<uint8_t> ppm(head, head + strlen(head));
    ppm.insert(ppm.end(), rgb.begin(), rgb.end());
    try {
        WriteFileBytes(argv[4], p.file);
        WriteFileBytes(argv[5], ppm);
    } catch (const std::exception &e) {
        fprintf(stderr, "make_picture: %s\n", e.what());
        return 1;
    }
    return 0;
}
