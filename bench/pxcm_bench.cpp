// pxcm_bench: decode and encode speeds and file sizes of PXCM against PNG
// (libpng, libspng), lossless WebP (libwebp) and QOI (libqoi), on a set of
// 24-bit PNG pictures and, with --unseen, on pictures made here (generated,
// or cut out of the others at odd places). Single-threaded, pinned to one
// core; every decode is the best of several runs, timed in thread CPU time,
// with the time-stamp counter's cycles of the best PXCM decode. The runs go
// in rounds over every picture and decoder, so that a busy spell of the
// machine falls on one run of many, not on all runs of one. Prints
// Markdown tables; --data DIR also writes them as tab-separated files for
// plotting, --keep DIR keeps the PXCM files of the default effort.
//
//   pxcm_bench [--runs N] [--efforts 1,5,9] [--tmp DIR] [--data DIR] [--keep DIR] [--unseen]
//              PICTURE.png|DIRECTORY ...
#include <dirent.h>
#include <sched.h>
#include <spng.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <webp/decode.h>
#include <webp/encode.h>
#include <x86intrin.h>

#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/png_picture.h"
#include "encoder/encoder.h"
#include "plugin/pxcm.h"
#include "support/reference_bits.h"
#include <pxcm/pxcm.h>

namespace {

// The calling thread's CPU time (user and system), so that other work on a
// shared machine does not count against the code measured.
double Now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Each round runs a decoder this many times in a row, so that the later
// runs find its code and tables in the caches, as a program decoding
// several pictures would.
constexpr int32_t RUNS_PER_ROUND = 2;

// One round of f: RUNS_PER_ROUND timed calls, the shortest kept in *best
// (seconds) if shorter than it; f returns false on failure.
template <typename F> void TimeRound(double *best, F f, bool *ok) {
    for (int32_t i = 0; i < RUNS_PER_ROUND; i++) {
        const double t0 = Now();
        const bool good = f();
        const double t = Now() - t0;
        if (!good) *ok = false;
        *best = std::min(*best, t);
    }
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
    bool unseen;
    std::vector<size_t> pxcm_size;      // per effort
    std::vector<double> encode_seconds; // per effort
    double libpng, spng, webp, qoi, pxcm_memory, pxcm_rgb, pxcm_file; // decode seconds
    double cycles;    // time-stamp counter cycles of the best DIB decode from memory
    uint64_t symbols; // symbols in the stream decoded
    bool ok;
};

// A picture's files in the other formats, made once and decoded in every round.
struct Encoded {
    std::vector<uint8_t> webp, qoi, pxcm;
    std::string pxc_path;
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

// Symbols a PXCM stream holds (tokens, offsets, escapes; table sets not
// counted), by the tests' plain bit-by-bit decoder.
uint64_t CountSymbols(const std::vector<uint8_t> &file, uint32_t width, uint32_t height) {
    RefBits bits{file.data() + HEADER_SIZE, file.size() - HEADER_SIZE};
    RefTables tables;
    int32_t countdown = 0;
    uint64_t symbols = 0;
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    for (uint64_t done = 0; done < pixels;) {
        if (countdown == 0) {
            if (!RefReadTableSet(&bits, &tables)) return 0;
            countdown = REBUILD_PERIOD - 1;
        } else {
            countdown--;
        }
        uint32_t t = 0, w = 0, e = 0;
        if (!RefDecode(&bits, tables.token, &t) || !RefDecode(&bits, tables.offset, &w)) return 0;
        symbols += 2;
        if (t >= LITERAL_TOKENS) {
            done += RunLength(t);
            continue;
        }
        const uint32_t digit[3] = {RedDigit(t), GreenDigit(t), BlueDigit(t)};
        for (uint32_t d : digit) {
            if (d != ESCAPE_DIGIT) continue;
            if (!RefDecode(&bits, tables.escape, &e)) return 0;
            symbols++;
        }
        done++;
    }
    return symbols;
}

struct Picture {
    std::string name;
    bool unseen;
    std::vector<uint8_t> png; // the picture as a PNG file (libpng's default settings for made ones)
    RgbPicture pic;
};

// A small deterministic generator, so that made pictures are the same in every run.
struct Lcg {
    uint32_t state;
    uint32_t Next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

RgbPicture Crop(const RgbPicture &from, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    RgbPicture out;
    out.width = std::min(w, from.width - std::min(x0, from.width));
    out.height = std::min(h, from.height - std::min(y0, from.height));
    out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
    for (uint32_t y = 0; y < out.height; y++)
        memcpy(&out.rgb[static_cast<size_t>(y) * out.width * 3],
               &from.rgb[(static_cast<size_t>(y0 + y) * from.width + x0) * 3], static_cast<size_t>(out.width) * 3);
    return out;
}

// A soft gradient under sensor-like noise (a photograph's statistics), and
// flat tiles with thin borders (a drawing's).
RgbPicture Gradient(uint32_t w, uint32_t h) {
    RgbPicture out{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
    Lcg rng{12345};
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *p = &out.rgb[(static_cast<size_t>(y) * w + x) * 3];
            const int base[3] = {static_cast<int>(255 * x / w), static_cast<int>(255 * y / h),
                                 static_cast<int>(128 + 100 * ((x + y) % 256) / 256)};
            for (int c = 0; c < 3; c++) p[c] = static_cast<uint8_t>(std::clamp(base[c] + static_cast<int>(rng.Next() % 9) - 4, 0, 255));
        }
    return out;
}

RgbPicture Tiles(uint32_t w, uint32_t h) {
    RgbPicture out{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
    Lcg rng{777};
    uint8_t colours[64][3];
    for (auto &c : colours)
        for (auto &v : c) v = static_cast<uint8_t>(rng.Next());
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint8_t *p = &out.rgb[(static_cast<size_t>(y) * w + x) * 3];
            const bool border = x % 37 == 0 || y % 29 == 0;
            const uint8_t *c = colours[(x / 37 * 7 + y / 29 * 13) % 64];
            for (int k = 0; k < 3; k++) p[k] = border ? 20 : c[k];
        }
    return out;
}

// A PNG of the picture, for the PNG decoders.
std::vector<uint8_t> EncodePng(const RgbPicture &pic) {
    spng_ctx *ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = pic.width;
    ihdr.height = pic.height;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    spng_set_ihdr(ctx, &ihdr);
    std::vector<uint8_t> out;
    if (spng_encode_image(ctx, pic.rgb.data(), pic.rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0) {
        size_t size = 0;
        int error = 0;
        void *buffer = spng_get_png_buffer(ctx, &size, &error);
        if (buffer != nullptr) {
            const uint8_t *b = static_cast<const uint8_t *>(buffer);
            out.assign(b, b + size);
            free(buffer);
        }
    }
    spng_ctx_free(ctx);
    return out;
}

} // namespace

int main(int argc, char **argv) {
    int32_t runs = 7;
    std::vector<int32_t> efforts{1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::string tmp = "/tmp";
    std::string data_dir;
    std::string keep_dir;
    bool unseen = false;
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
        } else if (a == "--data" && i + 1 < argc) {
            data_dir = argv[++i];
        } else if (a == "--keep" && i + 1 < argc) {
            keep_dir = argv[++i];
        } else if (a == "--unseen") {
            unseen = true;
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
        fprintf(stderr, "usage: pxcm_bench [--runs N] [--efforts 1,5,9] [--tmp DIR] [--data DIR] [--keep DIR] "
                        "[--unseen] PICTURE.png|DIR ...\n");
        return 2;
    }
    std::sort(efforts.begin(), efforts.end());
    efforts.erase(std::unique(efforts.begin(), efforts.end()), efforts.end());
    // One core, so that the figures do not depend on migrations.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);

    std::vector<Picture> pictures;
    for (const std::string &path : files) {
        Picture p{Base(path), false, {}, {}};
        if (!ReadWholeFile(path, &p.png) || !DecodePngRgb(p.png.data(), p.png.size(), &p.pic)) {
            fprintf(stderr, "%s: cannot read\n", path.c_str());
            return 1;
        }
        pictures.push_back(std::move(p));
    }
    if (unseen) {
        // Cut out of the corpus at places no test looks at, and made from scratch.
        std::vector<Picture> made;
        for (const Picture &p : pictures) {
            if (p.name == "pixels-1920x1080") made.push_back({"cut-pixels-1000x600", true, {}, Crop(p.pic, 457, 233, 1000, 600)});
            if (p.name == "astronaut") made.push_back({"cut-astronaut-400x300", true, {}, Crop(p.pic, 61, 97, 400, 300)});
            if (p.name == "truchet-800x600") made.push_back({"cut-truchet-555x333", true, {}, Crop(p.pic, 101, 203, 555, 333)});
        }
        made.push_back({"gradient-noise-1024x768", true, {}, Gradient(1024, 768)});
        made.push_back({"tiles-960x720", true, {}, Tiles(960, 720)});
        for (Picture &p : made) {
            p.png = EncodePng(p.pic);
            pictures.push_back(std::move(p));
        }
    }

    const int32_t default_index = static_cast<int32_t>(
        std::find(efforts.begin(), efforts.end(), DEFAULT_EFFORT) != efforts.end()
            ? std::find(efforts.begin(), efforts.end(), DEFAULT_EFFORT) - efforts.begin()
            : static_cast<long>(efforts.size()) - 1);
    std::vector<Result> results;
    std::vector<Encoded> encoded;
    for (const Picture &picture : pictures) {
        const RgbPicture &pic = picture.pic;
        const std::vector<uint8_t> &png = picture.png;
        Result r{};
        Encoded e;
        r.name = picture.name;
        r.unseen = picture.unseen;
        r.ok = true;
        fprintf(stderr, "%s %ux%u\n", r.name.c_str(), pic.width, pic.height);
        r.width = pic.width;
        r.height = pic.height;
        r.png_size = png.size();
        const std::vector<uint8_t> bitmap = ToBitmap(pic);
        std::vector<uint8_t> rgb;
        // Each decoder once with its pixels checked; the timed runs below
        // only check that they succeed.
        r.ok = r.ok && DecodeLibpng(png, &rgb) && rgb == pic.rgb;
        r.ok = r.ok && DecodeSpng(png, &rgb) && rgb == pic.rgb;

        uint8_t *webp_out = nullptr;
        const size_t webp_size = WebPEncodeLosslessRGB(pic.rgb.data(), static_cast<int>(pic.width),
                                                       static_cast<int>(pic.height),
                                                       static_cast<int>(pic.width * 3), &webp_out);
        e.webp.assign(webp_out, webp_out + webp_size);
        WebPFree(webp_out);
        r.webp_size = e.webp.size();
        r.ok = r.ok && DecodeWebp(e.webp, pic.width, pic.height, &rgb) && rgb == pic.rgb;

        const qoi_desc desc{pic.width, pic.height, 3, QOI_SRGB};
        int qoi_len = 0;
        void *qoi_out = qoi_encode(pic.rgb.data(), &desc, &qoi_len);
        const uint8_t *qb = static_cast<const uint8_t *>(qoi_out);
        e.qoi.assign(qb, qb + qoi_len);
        free(qoi_out);
        r.qoi_size = e.qoi.size();
        r.ok = r.ok && DecodeQoi(e.qoi, &rgb) && rgb == pic.rgb;

        for (size_t i = 0; i < efforts.size(); i++) {
            std::vector<uint8_t> file;
            EncoderInput in{bitmap.data(), pic.width, pic.height, BitmapStride(pic.width)};
            EncoderOptions options{efforts[i], nullptr, nullptr};
            const double t0 = Now();
            if (EncodePicture(&in, &options, &file) != ENCODE_OK) r.ok = false;
            r.encode_seconds.push_back(Now() - t0);
            r.pxcm_size.push_back(file.size());
            r.ok = r.ok && DecodePxcm(file, nullptr, &bitmap);
            if (static_cast<int32_t>(i) == default_index) e.pxcm = file;
        }
        e.pxc_path = (keep_dir.empty() ? tmp + "/pxcm_bench_" : keep_dir + "/") + r.name + ".pxc";
        if (!WriteWholeFile(e.pxc_path, e.pxcm)) {
            fprintf(stderr, "%s: cannot write\n", e.pxc_path.c_str());
            return 1;
        }
        r.ok = r.ok && DecodeNative(e.pxcm, PXCM_LAYOUT_RGB, &pic.rgb) &&
               DecodeNative(e.pxcm, PXCM_LAYOUT_DIB, &bitmap) && DecodePxcm(e.pxcm, e.pxc_path.c_str(), &bitmap);
        r.symbols = CountSymbols(e.pxcm, pic.width, pic.height);
        r.libpng = r.spng = r.webp = r.qoi = r.pxcm_memory = r.pxcm_rgb = r.pxcm_file = 1e30;
        r.cycles = 1e30;
        results.push_back(r);
        encoded.push_back(std::move(e));
    }
    fprintf(stderr, "decoding: %d rounds\n", runs);
    for (int32_t round = 0; round < runs; round++) {
        for (size_t i = 0; i < pictures.size(); i++) {
            const std::vector<uint8_t> &png = pictures[i].png;
            const Encoded &e = encoded[i];
            Result &r = results[i];
            std::vector<uint8_t> rgb;
            TimeRound(&r.libpng, [&] { return DecodeLibpng(png, &rgb); }, &r.ok);
            TimeRound(&r.spng, [&] { return DecodeSpng(png, &rgb); }, &r.ok);
            TimeRound(&r.webp, [&] { return DecodeWebp(e.webp, r.width, r.height, &rgb); }, &r.ok);
            TimeRound(&r.qoi, [&] { return DecodeQoi(e.qoi, &rgb); }, &r.ok);
            // The DIB decode, also in time-stamp counter cycles.
            TimeRound(&r.pxcm_memory, [&] {
                const uint64_t c0 = __rdtsc();
                const bool good = DecodeNative(e.pxcm, PXCM_LAYOUT_DIB, nullptr);
                r.cycles = std::min(r.cycles, static_cast<double>(__rdtsc() - c0));
                return good;
            }, &r.ok);
            TimeRound(&r.pxcm_rgb, [&] { return DecodeNative(e.pxcm, PXCM_LAYOUT_RGB, nullptr); }, &r.ok);
            TimeRound(&r.pxcm_file, [&] { return DecodePxcm(e.pxcm, e.pxc_path.c_str(), nullptr); }, &r.ok);
        }
    }
    for (size_t i = 0; i < results.size(); i++) {
        if (keep_dir.empty()) remove(encoded[i].pxc_path.c_str());
        if (!results[i].ok) fprintf(stderr, "%s: a decode failed or differed\n", results[i].name.c_str());
    }

    auto mpx = [](const Result &r, double s) { return r.width * static_cast<double>(r.height) / s / 1e6; };
    auto label = [](const Result &r) { return r.name + (r.unseen ? " *" : "") + (r.ok ? "" : " (FAILED)"); };
    FILE *decode_data = data_dir.empty() ? nullptr : fopen((data_dir + "/decode.tsv").c_str(), "w");
    if (decode_data != nullptr) fprintf(decode_data, "picture\tlibpng\tlibspng\tlibwebp\tQOI\tPXCM DIB\tPXCM RGB\tPXCM GetPicture\n");
    printf("### Decoding, Mpixel/s (best of %d rounds over every picture and decoder, %d runs in a row each, thread CPU time; in brackets: against libpng)\n\n", runs, RUNS_PER_ROUND);
    printf("Pictures marked * are not in the corpus: cut out of it at other places, or made by the benchmark.\n\n");
    printf("| picture | size | libpng | libspng | libwebp | QOI | PXCM DIB | PXCM RGB | PXCM GetPicture (file) | PXCM / QOI |\n");
    printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<double> med[8];
    std::vector<double> seen_ratio;
    for (const Result &r : results) {
        auto cell = [&](double s) {
            char buf[64];
            snprintf(buf, sizeof buf, "%.1f (%.2f×)", mpx(r, s), r.libpng / s);
            return std::string(buf);
        };
        printf("| %s | %ux%u | %.1f | %s | %s | %s | %s | %s | %s | %.2f |\n", label(r).c_str(), r.width, r.height,
               mpx(r, r.libpng), cell(r.spng).c_str(), cell(r.webp).c_str(), cell(r.qoi).c_str(),
               cell(r.pxcm_memory).c_str(), cell(r.pxcm_rgb).c_str(), cell(r.pxcm_file).c_str(),
               r.qoi / r.pxcm_memory);
        if (decode_data != nullptr)
            fprintf(decode_data, "%s%s\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\n", r.name.c_str(), r.unseen ? "*" : "",
                    mpx(r, r.libpng), mpx(r, r.spng), mpx(r, r.webp), mpx(r, r.qoi), mpx(r, r.pxcm_memory),
                    mpx(r, r.pxcm_rgb), mpx(r, r.pxcm_file));
        if (r.unseen) continue;
        const double v[8] = {mpx(r, r.libpng), mpx(r, r.spng), mpx(r, r.webp), mpx(r, r.qoi),
                             mpx(r, r.pxcm_memory), mpx(r, r.pxcm_rgb), mpx(r, r.pxcm_file), r.qoi / r.pxcm_memory};
        for (int k = 0; k < 8; k++) med[k].push_back(v[k]);
    }
    if (decode_data != nullptr) fclose(decode_data);
    printf("| **median of the corpus** | | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | |\n\n", Median(med[0]),
           Median(med[1]), Median(med[2]), Median(med[3]), Median(med[4]), Median(med[5]), Median(med[6]));

    printf("### PXCM decoding in cycles (the DIB decode from memory, time-stamp counter)\n\n");
    printf("| picture | pixels | symbols | cycles / pixel | cycles / symbol |\n|---|---:|---:|---:|---:|\n");
    for (const Result &r : results) {
        const double pixels = static_cast<double>(r.width) * r.height;
        printf("| %s | %.0f | %llu | %.1f | %.2f |\n", label(r).c_str(), pixels,
               static_cast<unsigned long long>(r.symbols), r.cycles / pixels,
               r.symbols != 0 ? r.cycles / static_cast<double>(r.symbols) : 0.0);
    }

    printf("\n### File sizes, bytes (in brackets: against the PNG)\n\n");
    printf("| picture | PNG | WebP lossless | QOI |");
    for (int32_t e : efforts) printf(" PXCM %d |", e);
    printf("\n|---|---:|---:|---:|");
    for (size_t i = 0; i < efforts.size(); i++) printf("---:|");
    printf("\n");
    for (const Result &r : results) {
        const double p = static_cast<double>(r.png_size);
        printf("| %s | %zu | %zu (%.3f) | %zu (%.3f) |", label(r).c_str(), r.png_size, r.webp_size, r.webp_size / p,
               r.qoi_size, r.qoi_size / p);
        for (size_t i = 0; i < efforts.size(); i++) printf(" %zu (%.3f) |", r.pxcm_size[i], r.pxcm_size[i] / p);
        printf("\n");
    }
    printf("\n### PXCM encoding, Mpixel/s (one run each, thread CPU time)\n\n| picture |");
    for (int32_t e : efforts) printf(" effort %d |", e);
    printf("\n|---|");
    for (size_t i = 0; i < efforts.size(); i++) printf("---:|");
    printf("\n");
    for (const Result &r : results) {
        printf("| %s |", label(r).c_str());
        for (size_t i = 0; i < efforts.size(); i++) printf(" %.2f |", mpx(r, r.encode_seconds[i]));
        printf("\n");
    }
    // The effort curve over the whole set: total bytes against total time.
    printf("\n### The effort scale over all pictures (sizes against WebP lossless at its default)\n\n");
    printf("| effort | seconds | Mpixel/s | bytes | against effort %d | against WebP |\n|---:|---:|---:|---:|---:|---:|\n",
           efforts[static_cast<size_t>(default_index)]);
    FILE *encode_data = data_dir.empty() ? nullptr : fopen((data_dir + "/encode.tsv").c_str(), "w");
    if (encode_data != nullptr) fprintf(encode_data, "effort\tseconds\tbytes\n");
    double pixels = 0;
    uint64_t webp_total = 0;
    for (const Result &r : results) {
        pixels += static_cast<double>(r.width) * r.height;
        webp_total += r.webp_size;
    }
    uint64_t default_total = 0;
    for (const Result &r : results) default_total += r.pxcm_size[static_cast<size_t>(default_index)];
    for (size_t i = 0; i < efforts.size(); i++) {
        double seconds = 0;
        uint64_t bytes = 0;
        for (const Result &r : results) {
            seconds += r.encode_seconds[i];
            bytes += r.pxcm_size[i];
        }
        printf("| %d | %.2f | %.2f | %llu | %.4f | %.3f |\n", efforts[i], seconds, pixels / seconds / 1e6,
               static_cast<unsigned long long>(bytes), static_cast<double>(bytes) / default_total,
               static_cast<double>(bytes) / webp_total);
        if (encode_data != nullptr) fprintf(encode_data, "%d\t%.4f\t%llu\n", efforts[i], seconds, static_cast<unsigned long long>(bytes));
    }
    printf("| WebP | | | %llu | %.4f | 1.000 |\n", static_cast<unsigned long long>(webp_total),
           static_cast<double>(webp_total) / default_total);
    if (encode_data != nullptr) fclose(encode_data);
    bool all_ok = true;
    for (const Result &r : results) all_ok = all_ok && r.ok;
    return all_ok ? 0 : 1;
}
