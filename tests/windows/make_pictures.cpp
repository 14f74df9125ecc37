// Writes the pictures the Windows test host decodes, with the pixels this
// (native) build decodes from them:
//
//   make_pictures DIR [CORPUS_DIR [SAMPLES_DIR]]
//
// For every picture DIR gets NAME.pxc (the whole file) and, when the native
// decode succeeds, NAME.bgr (the pixel block exactly as GetPicture returned
// it, padding included). DIR/pictures.txt lists one picture a line:
//
//   NAME WIDTH HEIGHT TOKENS RESULT
//
// where RESULT is the native GetPicture result. Before writing anything the
// program checks the native decode against the pixels the random-picture
// model expects, and the set against what the host needs (small and odd
// widths, a picture with more than one table set); it exits non-zero when a
// check fails, so that the host never compares against a wrong reference.
//
// With a corpus directory, every PNG in it is also encoded at the lowest and
// the highest effort (expected: the source pixels), and every .pxc in the
// samples directory is added as it is.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/png_picture.h"
#include "encoder/encoder.h"
#include "format/format.h"
#include "support/decode.h"
#include "support/files.h"
#include "support/header_rule.h"
#include "support/random_stream.h"

namespace {

struct Picture {
    std::string name;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t tokens = 0;
    std::vector<uint8_t> file;
    std::vector<uint8_t> expected; // empty when the model has no pixels (empty pictures)
};

// Writes a file; false (and a message) when it cannot be written.
bool WriteFile(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
    try {
        WriteFileBytes(path.string(), bytes);
        return true;
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return false;
    }
}

bool ReadFile(const std::filesystem::path &path, std::vector<uint8_t> *bytes) {
    try {
        *bytes = ReadFileBytes(path.string());
        return true;
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return false;
    }
}

Picture Random(const std::string &name, uint32_t seed, uint32_t width, uint32_t height,
               const RandomStreamOptions &options = RandomStreamOptions{}) {
    RandomPicture r = MakeRandomPicture(seed, width, height, options);
    return Picture{name, r.width, r.height, r.tokens, std::move(r.file), std::move(r.pixels)};
}

// A header and no stream: zero-area pictures never read a token.
Picture Empty(const std::string &name, uint32_t width, uint32_t height) {
    return Picture{name, width, height, 0, HeaderBytes(width, height), {}};
}

// The corpus pictures through the encoder, at the given effort.
bool AddCorpus(const std::filesystem::path &corpus, int32_t effort, std::vector<Picture> *set) {
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(corpus))
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto &path : files) {
        std::vector<uint8_t> png;
        RgbPicture rgb;
        if (!ReadFile(path, &png) || !DecodePngRgb(png.data(), png.size(), &rgb)) {
            fprintf(stderr, "FAIL cannot read %s\n", path.string().c_str());
            return false;
        }
        Picture p;
        p.name = path.stem().string() + "-e" + std::to_string(effort);
        p.width = rgb.width;
        p.height = rgb.height;
        p.expected = ToBitmap(rgb);
        const EncoderInput in{p.expected.data(), rgb.width, rgb.height, RowStride(rgb.width)};
        EncoderOptions options{};
        options.effort = effort;
        if (EncodePicture(&in, &options, &p.file) != ENCODE_OK) {
            fprintf(stderr, "FAIL cannot encode %s\n", path.string().c_str());
            return false;
        }
        set->push_back(std::move(p));
    }
    return !files.empty();
}

// Sample pictures as they are; the native decode is the reference.
void AddSamples(const std::filesystem::path &samples, std::vector<Picture> *set) {
    for (const auto &entry : std::filesystem::directory_iterator(samples)) {
        if (entry.path().extension() != ".pxc") continue;
        Picture p;
        p.name = "sample-" + entry.path().stem().string();
        if (!ReadFile(entry.path(), &p.file) || p.file.size() < static_cast<size_t>(HEADER_SIZE)) continue;
        p.width = ClaimedWidth(p.file);
        p.height = ClaimedHeight(p.file);
        const Decoded d = DecodeBytes(p.file);
        p.expected = d.pixels;
        set->push_back(std::move(p));
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: make_pictures DIR [CORPUS_DIR [SAMPLES_DIR]]\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];

    std::vector<Picture> set;
    set.push_back(Random("w1h1", 11, 1, 1));
    set.push_back(Random("w1h37", 12, 1, 37));
    set.push_back(Random("w2h9", 13, 2, 9));
    set.push_back(Random("w3h2", 14, 3, 2));
    set.push_back(Random("w4h16", 15, 4, 16));
    set.push_back(Random("w5h100", 16, 5, 100));
    set.push_back(Random("w7h1", 17, 7, 1));
    set.push_back(Random("w64h64", 18, 64, 64));
    set.push_back(Random("w301h40", 19, 301, 40));
    set.push_back(Random("w420h90", 20, 420, 90));
    // Mostly literals: more than 16384 tokens, so the stream carries a
    // second table set.
    RandomStreamOptions literals;
    literals.run_share = 0.002;
    set.push_back(Random("w260h99", 21, 260, 99, literals));
    set.push_back(Empty("w7h0", 7, 0));
    set.push_back(Empty("w0h5", 0, 5));
    if (argc >= 3) {
        for (int32_t effort : {1, 9})
            if (!AddCorpus(argv[2], effort, &set)) return 1;
    }
    if (argc >= 4) AddSamples(argv[3], &set);

    int failures = 0;
    bool several_table_sets = false;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::ofstream index(dir / "pictures.txt", std::ios::trunc);
    if (!index) {
        fprintf(stderr, "cannot write %s\n", (dir / "pictures.txt").string().c_str());
        return 1;
    }

    for (const Picture &p : set) {
        const Decoded d = DecodeBytes(p.file);
        const uint64_t stride = static_cast<uint64_t>(RowStride(p.width));
        bool ok = true;
        if (!p.expected.empty()) {
            // A picture with pixels must decode, to the model's pixels, with
            // the header and the callback count GetPicture promises.
            ok = d.result == ERR_NONE && d.pixels == p.expected &&
                 d.header.biWidth == static_cast<int32_t>(p.width) &&
                 d.header.biHeight == static_cast<int32_t>(p.height) &&
                 d.header.biSizeImage == p.height * stride &&
                 d.calls == ProgressOf(p.height);
        } else {
            // Zero-size pixel blocks cannot be locked; the decode fails the
            // same way on every platform, without reading a token.
            ok = d.result == ERR_MEMORY || d.result == ERR_NO_MEMORY;
        }
        if (!ok) {
            fprintf(stderr, "FAIL %s: native result %d, %zu pixel bytes (model %zu), %zu callbacks\n",
                    p.name.c_str(), d.result, d.pixels.size(), p.expected.size(), d.calls.size());
            failures++;
            continue;
        }
        if (p.tokens > static_cast<uint64_t>(REBUILD_PERIOD)) several_table_sets = true;
        if (!WriteFile(dir / (p.name + ".pxc"), p.file) ||
            (d.result == ERR_NONE && !WriteFile(dir / (p.name + ".bgr"), d.pixels))) {
            fprintf(stderr, "FAIL %s: cannot write into %s\n", p.name.c_str(), dir.string().c_str());
            failures++;
            continue;
        }
        index << p.name << ' ' << p.width << ' ' << p.height << ' ' << p.tokens << ' ' << d.result
              << '\n';
        printf("%-8s %4ux%-4u %6llu tokens, result %d\n", p.name.c_str(), p.width, p.height,
               static_cast<unsigned long long>(p.tokens), d.result);
    }
    if (!several_table_sets) {
        fprintf(stderr, "FAIL no picture has more than %d tokens (a second table set)\n", REBUILD_PERIOD);
        failures++;
    }
    index.close();
    if (!index) failures++;
    return failures == 0 ? 0 : 1;
}
