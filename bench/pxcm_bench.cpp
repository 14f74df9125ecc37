// pxcm_bench: decode and encode speeds and file sizes of PXCM against PNG
// (libpng, libspng), lossless WebP (libwebp) and QOI (libqoi), on a set of
// 24-bit PNG pictures. Single-threaded, pinned to one core; every decode is
// the best of several runs, timed in thread CPU time. Prints Markdown tables.
//
//   pxcm_bench [--runs N] [--efforts 1,5,9] [--tmp DIR] PICTURE.png|DIRECTORY ...
#include <dirent.h>
#include <sched.h>
#include <spng.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <webp/decode.h>
#include <webp/encode.h>

#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/png_picture.h"
#include "encoder/encoder.h"
#include "plugin/pxcm.h"
#include <pxcm/pxcm.h>

namespace {

// The calling thread's CPU time (user and system), so that other work on a
// shared machine does not count against the code measured.
double Now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Best time of `runs` calls of f, in seconds; f returns false on failure.
template <typename F> double BestOf(int32_t runs, F f, bool *ok) {
    double best = 1e30;
    for (int32_t i = 0; i < runs; i++) {
        const double t0 = Now();
        const bool good = f();
        const double t = Now() - t0;
        if (!good) *ok = false;
        best = std::min(best, t);
    }
    return best;
}

bool DecodeLibpng(const std::vector<uint8_t> &png, std::vector<uint8_t> *rgb) {
    RgbPicture pic;
    if (!DecodePngRgb(png.data(), png.size(), &pic)) return false;
    rgb->swap(pic.rgb);
    return true;
}

bool DecodeSpng(const std::vector<uint8_t> &png, std::vector<uint8_t> *rgb) {
    spng_ctx *ctx = spng_ctx_new(0);
    if (ctx == nullptr) return false;
    size_t size = 0;
    bool ok = spng_set_png_buffer(ctx, png.data(), png.size()) == 0 &&
              spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size) == 0;
    if (ok) {
        rgb->resize(size);
        ok = spng_decode_image(ctx, rgb->data(), size, SPNG_FMT_RGB8, 0) == 0;
    }
    spng_ctx_free(ctx);
    return ok;
}

bool DecodeWebp(const std::vector<uint8_t> &webp, uint32_t w, uint32_t h, std::vector<uint8_t> *rgb) {
    rgb->resize(static_cast<size_t>(w) * h * 3);
    return WebPDecodeRGBInto(webp.data(), webp.size(), rgb->data(), rgb->size(),
                             static_cast<int>(w * 3)) != nullptr;
}

bool DecodeQoi(const std::vector<uint8_t> &qoi, std::vector<uint8_t> *rgb) {
    qoi_desc desc;
    void *p = qoi_decode(qoi.data(), static_cast<int>(qoi.size()), &desc, 3);
    if (p == nullptr) return false;
    const uint8_t *b = static_cast<const uint8_t *>(p);
    rgb->assign(b, b + static_cast<size_t>(desc.width) * desc.height * 3);
    free(p);
    return true;
}

// The native API from memory in one layout, allocation of the output
// included; the pixels are compared with `want` when given.
bool DecodeNative(const std::vector<uint8_t> &pxcm, pxcm_layout layout, const std::vector<uint8_t> *want) {
    pxcm_info info{};
    if (pxcm_read_info(pxcm.data(), pxcm.size(), &info) != PXCM_OK) return false;
    const size_t size = static_cast<size_t>(pxcm_buffer_size(&info, layout, 0));
    void *pixels = malloc(size != 0 ? size : 1);
    if (pixels == nullptr) return false;
    pxcm_decode_options options{};
    options.layout = layout;
    bool ok = pxcm_decode(pxcm.data(), pxcm.size(), &options, pixels, size, nullptr) == PXCM_OK;
    if (ok && want != nullptr) ok = want->size() == size && (size == 0 || memcmp(pixels, want->data(), size) == 0);
    free(pixels);
    return ok;
}

// GetPicture from memory (file == nullptr) or from a file; the pixel block
// is compared with `want` when given.
bool DecodePxcm(const std::vector<uint8_t> &pxcm, const char *file, const std::vector<uint8_t> *want) {
    PxcmBlock info = nullptr, pixels = nullptr;
    const int32_t r = file != nullptr
                          ? GetPicture(file, 0, SOURCE_FILE, &info, &pixels, nullptr, 0)
                          : GetPicture(reinterpret_cast<const char *>(pxcm.data()),
                                       static_cast<PxcmLong>(pxcm.size()), SOURCE_MEMORY, &info,
                                       &pixels, nullptr, 0);
    if (r != ERR_NONE) return false;
    bool ok = true;
    if (want != nullptr) {
        const uint8_t *p = static_cast<const uint8_t *>(LockBlock(pixels));
        ok = GetBlockSize(pixels) == want->size() &&
             (want->empty() || memcmp(p, want->data(), want->size()) == 0);
        UnlockBlock(pixels);
    }
    FreeBlock(pixels);
    FreeBlock(info);
    return ok;
}

struct Result {
    std::string name;
    uint32_t width, height;
    size_t png_size, webp_size, qoi_size;
    std::vector<size_t> pxcm_size;      // per effort
    std::vector<double> encode_seconds; // per effort
    double libpng, spng, webp, qoi, pxcm_memory, pxcm_rgb, pxcm_file; // decode seconds
    bool ok;
};

std::string Base(const std::string &path) {
    std::string b = path.substr(path.find_last_of('/') + 1);
    if (b.size() > 4 && b.compare(b.size() - 4, 4, ".png") == 0) b.resize(b.size() - 4);
    return b;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    int32_t runs = 7;
    std::vector<int32_t> efforts{1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::string tmp = "/tmp";
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, atoi(argv[++i]));
        } else if (a == "--efforts" && i + 1 < argc) {
            efforts.clear();
            for (const char *p = argv[++i]; *p != 0;) {
                efforts.push_back(std::clamp(atoi(p), 1, 9));
                while (*p != 0 && *p != ',') p++;
                if (*p == ',') p++;
            }
        } else if (a == "--tmp" && i + 1 < argc) {
            tmp = argv[++i];
        } else {
            inputs.push_back(a);
        }
    }
    std::vector<std::string> files;
    for (const std::string &in : inputs) {
        DIR *d = opendir(in.c_str());
        if (d == nullptr) {
            files.push_back(in);
            continue;
        }
        std::vector<std::string> found;
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) found.push_back(in + "/" + n);
        }
        closedir(d);
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    if (files.empty() || efforts.empty()) {
        fprintf(stderr, "usage: pxcm_bench [--runs N] [--efforts 1,5,9] [--tmp DIR] PICTURE.png|DIR ...\n");
        return 2;
    }
    // One core, so that the figures do not depend on migrations.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);

    const int32_t top_effort = *std::max_element(efforts.begin(), efforts.end());
    std::vector<Result> results;
    for (const std::string &path : files) {
        Result r{};
        r.name = Base(path);
        r.ok = true;
        std::vector<uint8_t> png;
        RgbPicture pic;
        if (!ReadWholeFile(path, &png) || !DecodePngRgb(png.data(), png.size(), &pic)) {
            fprintf(stderr, "%s: cannot read\n", path.c_str());
            return 1;
        }
        fprintf(stderr, "%s %ux%u\n", r.name.c_str(), pic.width, pic.height);
        r.width = pic.width;
        r.height = pic.height;
        r.png_size = png.size();
        const std::vector<uint8_t> bitmap = ToBitmap(pic);
        std::vector<uint8_t> rgb;

        r.libpng = BestOf(runs, [&] { return DecodeLibpng(png, &rgb); }, &r.ok);
        r.spng = BestOf(runs, [&] { return DecodeSpng(png, &rgb) && rgb == pic.rgb; }, &r.ok);

        uint8_t *webp_out = nullptr;
        const size_t webp_size = WebPEncodeLosslessRGB(pic.rgb.data(), static_cast<int>(pic.width),
                                                       static_cast<int>(pic.height),
                                                       static_cast<int>(pic.width * 3), &webp_out);
        const std::vector<uint8_t> webp(webp_out, webp_out + webp_size);
        WebPFree(webp_out);
        r.webp_size = webp.size();
        r.webp = BestOf(runs, [&] { return DecodeWebp(webp, pic.width, pic.height, &rgb); }, &r.ok);
        r.ok = r.ok && rgb == pic.rgb;

        const qoi_desc desc{pic.width, pic.height, 3, QOI_SRGB};
        int qoi_len = 0;
        void *qoi_out = qoi_encode(pic.rgb.data(), &desc, &qoi_len);
        const uint8_t *qb = static_cast<const uint8_t *>(qoi_out);
        const std::vector<uint8_t> qoi(qb, qb + qoi_len);
        free(qoi_out);
        r.qoi_size = qoi.size();
        r.qoi = BestOf(runs, [&] { return DecodeQoi(qoi, &rgb); }, &r.ok);
        r.ok = r.ok && rgb == pic.rgb;

        std::vector<uint8_t> pxcm;
        for (int32_t effort : efforts) {
            std::vector<uint8_t> file;
            EncoderInput in{bitmap.data(), pic.width, pic.height, BitmapStride(pic.width)};
            EncoderOptions options{effort, nullptr, nullptr};
            const double t0 = Now();
            if (EncodePicture(&in, &options, &file) != ENCODE_OK) r.ok = false;
            r.encode_seconds.push_back(Now() - t0);
            r.pxcm_size.push_back(file.size());
            r.ok = r.ok && DecodePxcm(file, nullptr, &bitmap);
            if (effort == top_effort) pxcm = file;
        }
        const std::string pxc_path = tmp + "/pxcm_bench_" + r.name + ".pxc";
        if (!WriteWholeFile(pxc_path, pxcm)) {
            fprintf(stderr, "%s: cannot write\n", pxc_path.c_str());
            return 1;
        }
        r.ok = r.ok && DecodeNative(pxcm, PXCM_LAYOUT_RGB, &pic.rgb);
        r.pxcm_memory = BestOf(runs, [&] { return DecodeNative(pxcm, PXCM_LAYOUT_DIB, nullptr); }, &r.ok);
        r.pxcm_rgb = BestOf(runs, [&] { return DecodeNative(pxcm, PXCM_LAYOUT_RGB, nullptr); }, &r.ok);
        r.pxcm_file = BestOf(runs, [&] { return DecodePxcm(pxcm, pxc_path.c_str(), nullptr); }, &r.ok);
        remove(pxc_path.c_str());
        if (!r.ok) fprintf(stderr, "%s: a decode failed or differed\n", r.name.c_str());
        results.push_back(r);
    }

    auto mpx = [](const Result &r, double s) { return r.width * static_cast<double>(r.height) / s / 1e6; };
    printf("### Decoding, Mpixel/s (best of %d, thread CPU time; in brackets: against libpng)\n\n", runs);
    printf("| picture | size | libpng | libspng | libwebp | libqoi | PXCM memory | PXCM RGB | PXCM file |\n");
    printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<double> med_pxcm, med_rgb, med_qoi, med_png, med_spng, med_webp, med_file;
    for (const Result &r : results) {
        auto cell = [&](double s) {
            static char buf[64];
            snprintf(buf, sizeof buf, "%.1f (%.2f×)", mpx(r, s), r.libpng / s);
            return std::string(buf);
        };
        printf("| %s%s | %ux%u | %.1f | %s | %s | %s | %s | %s | %s |\n", r.name.c_str(), r.ok ? "" : " (FAILED)",
               r.width, r.height, mpx(r, r.libpng), cell(r.spng).c_str(), cell(r.webp).c_str(),
               cell(r.qoi).c_str(), cell(r.pxcm_memory).c_str(), cell(r.pxcm_rgb).c_str(),
               cell(r.pxcm_file).c_str());
        med_png.push_back(mpx(r, r.libpng));
        med_spng.push_back(mpx(r, r.spng));
        med_webp.push_back(mpx(r, r.webp));
        med_qoi.push_back(mpx(r, r.qoi));
        med_pxcm.push_back(mpx(r, r.pxcm_memory));
        med_rgb.push_back(mpx(r, r.pxcm_rgb));
        med_file.push_back(mpx(r, r.pxcm_file));
    }
    printf("| **median** | | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n\n", Median(med_png),
           Median(med_spng), Median(med_webp), Median(med_qoi), Median(med_pxcm), Median(med_rgb),
           Median(med_file));

    printf("### File sizes, bytes (in brackets: against the PNG)\n\n");
    printf("| picture | PNG | WebP lossless | QOI |");
    for (int32_t e : efforts) printf(" PXCM %d |", e);
    printf("\n|---|---:|---:|---:|");
    for (size_t i = 0; i < efforts.size(); i++) printf("---:|");
    printf("\n");
    for (const Result &r : results) {
        const double p = static_cast<double>(r.png_size);
        printf("| %s | %zu | %zu (%.3f) | %zu (%.3f) |", r.name.c_str(), r.png_size, r.webp_size,
               r.webp_size / p, r.qoi_size, r.qoi_size / p);
        for (size_t i = 0; i < efforts.size(); i++) printf(" %zu (%.3f) |", r.pxcm_size[i], r.pxcm_size[i] / p);
        printf("\n");
    }
    printf("\n### PXCM encoding, Mpixel/s (one run each, thread CPU time)\n\n| picture |");
    for (int32_t e : efforts) printf(" effort %d |", e);
    printf("\n|---|");
    for (size_t i = 0; i < efforts.size(); i++) printf("---:|");
    printf("\n");
    for (const Result &r : results) {
        printf("| %s |", r.name.c_str());
        for (size_t i = 0; i < efforts.size(); i++) printf(" %.2f |", mpx(r, r.encode_seconds[i]));
        printf("\n");
    }
    bool all_ok = true;
    for (const Result &r : results) all_ok = all_ok && r.ok;
    return all_ok ? 0 : 1;
}
