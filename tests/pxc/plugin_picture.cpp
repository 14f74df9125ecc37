// The plug-in's picture of a file, for the command-line tests to compare
// pxc's outputs with: plugin_picture FILE OFFSET OUT.ppm
// GetPicture reads FILE from OFFSET on; its pixel block becomes a binary
// PPM. Exit 0 when GetPicture succeeded, 1 (printing its result) when not.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <vector>

#include "format/format.h"
#include "support/decode.h"
#include "support/files.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s FILE OFFSET OUT.ppm\n", argv[0]);
        return 2;
    }
    const Decoded d = DecodeFile(argv[1], static_cast<PxcmLong>(strtoll(argv[2], nullptr, 10)));
    if (d.result != ERR_NONE) {
        printf("GetPicture: %d\n", d.result);
        return 1;
    }
    const auto width = static_cast<uint32_t>(d.header.biWidth);
    const auto height = static_cast<uint32_t>(d.header.biHeight);
    const size_t stride = static_cast<size_t>(RowStride(width));
    char head[64];
    snprintf(head, sizeof head, "P6\n%u %u\n255\n", width, height);
    std::vector<uint8_t> ppm(head, head + strlen(head));
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t *row = d.pixels.data() + (height - 1 - y) * stride;
        for (uint32_t x = 0; x < width; x++) {
            ppm.push_back(row[PIXEL_BYTES * x + RED_BYTE]);
            ppm.push_back(row[PIXEL_BYTES * x + GREEN_BYTE]);
            ppm.push_back(row[PIXEL_BYTES * x + BLUE_BYTE]);
        }
    }
    try {
        WriteFileBytes(argv[3], ppm);
    } catch (const std::exception &e) {
        fprintf(stderr, "plugin_picture: %s\n", e.what());
        return 1;
    }
    return 0;
}
