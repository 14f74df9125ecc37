// Writes the seed corpora of the fuzz targets:
//   fuzz_seeds ROOT TARGET...
// makes ROOT/seeds/TARGET (the seeds) and ROOT/TARGET (an empty scratch
// folder for what a run finds) for every target named. Seeds: random
// well-formed pictures of many shapes, the 2-by-1 example picture, the
// sample pictures when there are any, and truncations of all of them.
#include <stdio.h>

#include <exception>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "support/example.h"
#include "support/files.h"
#include "support/random_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Picture {
    uint32_t width, height;
    Bytes file;
};

std::vector<Picture> Pictures() {
    std::vector<Picture> pictures;
    pictures.push_back({EXAMPLE_WIDTH, EXAMPLE_HEIGHT, ExamplePicture()});
    const uint32_t shapes[][2] = {{1, 1}, {1, 9}, {2, 2}, {2, 7}, {3, 1}, {4, 4}, {5, 3},
                                  {7, 7}, {12, 5}, {16, 16}, {31, 9}, {47, 15}, {64, 40}};
    uint32_t seed = 1;
    for (const auto &s : shapes) {
        for (int k = 0; k < 2; k++) {
            RandomPicture pic = MakeRandomPicture(seed++, s[0], s[1]);
            pictures.push_back({s[0], s[1], pic.file});
        }
    }
    // Short codes, many escapes and table sets.
    RandomStreamOptions options;
    options.escape_share = 0.4;
    options.max_code_length = 12;
    RandomPicture pic = MakeRandomPicture(seed++, 24, 12, options);
    pictures.push_back({24, 12, pic.file});
    options.run_share = 0.0;
    options.max_code_length = 28;
    pic = MakeRandomPicture(seed++, 200, 100, options);
    pictures.push_back({200, 100, pic.file});
    for (const std::string &path : SampleFiles()) {
        Bytes file = ReadFileBytes(path);
        if (!HeaderAccepted(file)) continue;
        const uint32_t w = ClaimedWidth(file), h = ClaimedHeight(file);
        if (FuzzClaimedPixels(file.data(), file.size()) > FUZZ_MAX_PIXELS) continue; // over the targets' cap
        pictures.push_back({w, h, file});
    }
    return pictures;
}

// The whole file and a few cuts of it.
std::vector<Bytes> WithTruncations(const Bytes &file) {
    std::vector<Bytes> out{file};
    const size_t header = HEADER_SIZE;
    const size_t cuts[] = {0, 16, header - 1, header, header + 1, header + 4, file.size() / 2, file.size() - 1};
    for (size_t cut : cuts)
        if (cut < file.size()) out.emplace_back(file.begin(), file.begin() + static_cast<long>(cut));
    return out;
}

std::vector<Bytes> SeedsFor(const std::string &target) {
    std::vector<Bytes> seeds;
    const std::vector<Picture> pictures = Pictures();
    if (target == "fuzz_picture" || target == "fuzz_info") {
        for (const Picture &p : pictures)
            for (Bytes &b : WithTruncations(p.file)) seeds.push_back(std::move(b));
    } else if (target == "fuzz_tables") {
        // Row mode for the pictures that fit its geometry, symbol mode for all.
        uint8_t selector = 0;
        for (const Picture &p : pictures) {
            if (p.file.size() <= static_cast<size_t>(HEADER_SIZE)) continue;
            const Bytes stream(p.file.begin() + HEADER_SIZE, p.file.end());
            if (p.width >= 1 && p.width <= 48 && p.height >= 1 && p.height <= 16) {
                Bytes rows{static_cast<uint8_t>(1 | (selector & 0x0e)),
                           static_cast<uint8_t>(p.width - 1), static_cast<uint8_t>(p.height - 1)};
                rows.insert(rows.end(), stream.begin(), stream.end());
                seeds.push_back(rows);
            }
            Bytes symbols{static_cast<uint8_t>(selector & 0xfe)};
            symbols.insert(symbols.end(), stream.begin(), stream.end());
            seeds.push_back(symbols);
            selector = static_cast<uint8_t>(selector + 0x36);
        }
    } else if (target == "fuzz_roundtrip") {
        // Width - 1, height - 1, effort, then pixel bytes (repeated as needed).
        std::mt19937 rng(7);
        const uint8_t shapes[][2] = {{0, 0}, {1, 0}, {0, 5}, {3, 3}, {6, 2}, {15, 7}, {30, 4}};
        for (const auto &s : shapes) {
            for (int kind = 0; kind < 3; kind++) {
                Bytes b{s[0], s[1], static_cast<uint8_t>(1 + kind * 4)};
                const size_t n = 3u * (s[0] + 1u) * (s[1] + 1u);
                for (size_t i = 0; i < n; i++) {
                    // Noise, flat colour, and a gentle gradient.
                    b.push_back(kind == 0 ? static_cast<uint8_t>(rng())
                                          : kind == 1 ? 0x80 : static_cast<uint8_t>(i / 3));
                }
                seeds.push_back(b);
            }
        }
    }
    return seeds;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s ROOT TARGET...\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    for (int i = 2; i < argc; i++) {
        const std::string target = argv[i];
        const std::string dir = root + "/seeds/" + target;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (!ec) std::filesystem::create_directories(root + "/" + target, ec);
        if (ec) {
            fprintf(stderr, "cannot make %s: %s\n", dir.c_str(), ec.message().c_str());
            return 1;
        }
        const std::vector<Bytes> seeds = SeedsFor(target);
        if (seeds.empty()) {
            fprintf(stderr, "no seeds for %s\n", target.c_str());
            return 1;
        }
        try {
            for (size_t k = 0; k < seeds.size(); k++) {
                char name[32];
                snprintf(name, sizeof name, "/seed-%04zu", k);
                WriteFileBytes(dir + name, seeds[k]);
            }
        } catch (const std::exception &e) {
            fprintf(stderr, "%s\n", e.what());
            return 1;
        }
        printf("%s: %zu seeds\n", target.c_str(), seeds.size());
    }
    return 0;
}
