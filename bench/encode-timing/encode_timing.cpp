// pxcm_encode_timing: the encoder alone, timed. Reads each PNG picture once,
// then encodes it `runs` times at one effort and prints, per picture, the
// best thread CPU time of EncodePicture and the size of the file, as
// tab-separated lines: name, seconds, bytes. Reading the PNG, process start
// and writing are left out, so small pictures are timed as fairly as large
// ones. Built against any tree that has src/encoder/encoder.h (see
// CMakeLists.txt here), so that two trees' encoders can be compared.
//
//   pxcm_encode_timing [--runs N] [--effort E] [--out DIR] PICTURE.png ...
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/png_picture.h"
#include "encoder/encoder.h"

namespace {

double ThreadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

std::string BaseName(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace

int main(int argc, char **argv) {
    int32_t runs = 5;
    int32_t effort = DEFAULT_EFFORT;
    std::string out_dir;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, atoi(argv[++i]));
        } else if (a == "--effort" && i + 1 < argc) {
            effort = atoi(argv[++i]);
        } else if (a == "--out" && i + 1 < argc) {
            out_dir = argv[++i];
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        fprintf(stderr, "usage: pxcm_encode_timing [--runs N] [--effort E] [--out DIR] PICTURE.png ...\n");
        return 2;
    }
    int status = 0;
    for (const std::string &path : files) {
        std::vector<uint8_t> png;
        RgbPicture pic;
        if (!ReadWholeFile(path, &png) || !DecodePngRgb(png.data(), png.size(), &pic)) {
            fprintf(stderr, "%s: not a readable PNG\n", path.c_str());
            status = 1;
            continue;
        }
        const std::vector<uint8_t> bitmap = ToBitmap(pic);
        const EncoderInput in{bitmap.data(), pic.width, pic.height, BitmapStride(pic.width)};
        const EncoderOptions options{effort, nullptr, nullptr};
        double best = 1e30;
        std::vector<uint8_t> file;
        for (int32_t r = 0; r < runs; r++) {
            file.clear();
            const double t0 = ThreadSeconds();
            const int32_t result = EncodePicture(&in, &options, &file);
            const double t = ThreadSeconds() - t0;
            if (result != ENCODE_OK) {
                fprintf(stderr, "%s: the encoder failed (%d)\n", path.c_str(), result);
                status = 1;
                break;
            }
            best = std::min(best, t);
        }
        if (!out_dir.empty() && !WriteWholeFile(out_dir + "/" + BaseName(path) + ".pxc", file)) {
            fprintf(stderr, "%s: cannot write into %s\n", path.c_str(), out_dir.c_str());
            status = 1;
        }
        printf("%s\t%.5f\t%zu\n", BaseName(path).c_str(), best, file.size());
        fflush(stdout);
    }
    return status;
}
