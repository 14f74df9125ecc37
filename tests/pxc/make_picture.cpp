// Writes a random PXCM picture and the pixels it must decode to, for the
// command-line tests: make_picture SEED WIDTH HEIGHT OUT.pxc EXPECTED.ppm
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "support/random_stream.h"

static bool WriteAll(const char *path, const void *data, size_t size, const char *head = "") {
    FILE *f = fopen(path, "wb");
    if (f == nullptr) return false;
    bool ok = fputs(head, f) >= 0 && fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

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
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t *row = p.pixels.data() + (height - 1 - y) * stride;
        for (uint32_t x = 0; x < width; x++) {
            rgb.push_back(row[3 * x + 2]);
            rgb.push_back(row[3 * x + 1]);
            rgb.push_back(row[3 * x]);
        }
    }
    char head[64];
    snprintf(head, sizeof head, "P6\n%u %u\n255\n", width, height);
    if (!WriteAll(argv[4], p.file.data(), p.file.size()) || !WriteAll(argv[5], rgb.data(), rgb.size(), head)) {
        perror("make_picture");
        return 1;
    }
    return 0;
}
