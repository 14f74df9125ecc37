// The gdk-pixbuf loader module called as gdk-pixbuf calls it, through the
// table that fill_vtable fills: the whole-file interface (load) and the
// incremental one (begin_load, load_increment, stop_load) in chunks of
// every size. Built with the sanitizers in the sanitizer build. The
// installed module inside gdk-pixbuf itself is tested by pixbuf_test.py.
#include "io-pxcm.h"

#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>
#include <pxcm/pxcm.h>

#include <string>
#include <vector>

#include "pictures.h"
#include "support/header_rule.h"

namespace {

using Bytes = std::vector<uint8_t>;

GdkPixbufModule Module() {
    GdkPixbufModule module;
    memset(&module, 0, sizeof module);
    fill_vtable(&module);
    return module;
}

// What a loading left: the pixbuf (a reference of ours) and the error.
struct Outcome {
    GdkPixbuf *pixbuf = nullptr;
    GError *error = nullptr;
    Outcome() = default;
    Outcome(const Outcome &) = delete;
    Outcome &operator=(const Outcome &) = delete;
    ~Outcome() {
        if (pixbuf) g_object_unref(pixbuf);
        if (error) g_error_free(error);
    }
    std::string message() const { return error ? error->message : "(no error)"; }
    bool failed_with(int code) const {
        return error && error->domain == GDK_PIXBUF_ERROR && error->code == code;
    }
};

void LoadWhole(const Bytes &file, Outcome *out) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    if (!file.empty()) {
        ASSERT_EQ(fwrite(file.data(), 1, file.size(), f), file.size());
    }
    rewind(f);
    out->pixbuf = Module().load(f, &out->error);
    fclose(f);
}

// The incremental interface, with callbacks that record what they saw.
struct Incremental : Outcome {
    int want_width = -1, want_height = -1; // what the size callback answers (-1: leave it)
    size_t fed = 0;                        // bytes handed to load_increment so far
    bool increment_failed = false;
    size_t fed_at_failure = 0;
    int size_calls = 0, size_width = 0, size_height = 0;
    size_t fed_at_size = 0;
    int prepared_calls = 0;
    int updated_calls = 0, updated_before_prepared = 0;
    int ux = -1, uy = -1, uw = -1, uh = -1;
    gboolean stopped = FALSE; // what stop_load returned

    static void Size(gint *width, gint *height, gpointer user) {
        auto *self = static_cast<Incremental *>(user);
        self->size_calls++;
        self->size_width = *width;
        self->size_height = *height;
        self->fed_at_size = self->fed;
        if (self->want_width >= 0) *width = self->want_width;
        if (self->want_height >= 0) *height = self->want_height;
    }
    static void Prepared(GdkPixbuf *pixbuf, GdkPixbufAnimation *, gpointer user) {
        auto *self = static_cast<Incremental *>(user);
        self->prepared_calls++;
        if (!self->pixbuf) self->pixbuf = GDK_PIXBUF(g_object_ref(pixbuf));
    }
    static void Updated(GdkPixbuf *, int x, int y, int width, int height, gpointer user) {
        auto *self = static_cast<Incremental *>(user);
        self->updated_calls++;
        if (self->prepared_calls == 0) self->updated_before_prepared++;
        self->ux = x, self->uy = y, self->uw = width, self->uh = height;
    }
};

void LoadInChunks(const Bytes &file, size_t chunk, Incremental *out) {
    const GdkPixbufModule module = Module();
    gpointer context = module.begin_load(Incremental::Size, Incremental::Prepared, Incremental::Updated, out,
                                         &out->error);
    ASSERT_NE(context, nullptr);
    for (size_t at = 0; at < file.size(); at += chunk) {
        const size_t n = std::min(chunk, file.size() - at);
        out->fed += n;
        if (!module.load_increment(context, file.data() + at, static_cast<guint>(n), &out->error)) {
            out->increment_failed = true;
            out->fed_at_failure = out->fed;
            break;
        }
    }
    // As GdkPixbufLoader does: stop_load also after a failed increment.
    out->stopped = module.stop_load(context, out->error ? nullptr : &out->error);
}

// The pixbuf holds the library's pixels, in gdk-pixbuf's RGB layout.
void ExpectPixels(GdkPixbuf *pixbuf, const LibraryDecode &want, const std::string &what) {
    SCOPED_TRACE(what);
    ASSERT_NE(pixbuf, nullptr);
    ASSERT_EQ(gdk_pixbuf_get_width(pixbuf), static_cast<int>(want.width));
    ASSERT_EQ(gdk_pixbuf_get_height(pixbuf), static_cast<int>(want.height));
    EXPECT_EQ(gdk_pixbuf_get_colorspace(pixbuf), GDK_COLORSPACE_RGB);
    EXPECT_EQ(gdk_pixbuf_get_n_channels(pixbuf), 3);
    EXPECT_FALSE(gdk_pixbuf_get_has_alpha(pixbuf));
    EXPECT_EQ(gdk_pixbuf_get_bits_per_sample(pixbuf), 8);
    const size_t row = 3 * static_cast<size_t>(want.width);
    const size_t stride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pixbuf));
    ASSERT_GE(stride, row);
    const guchar *pixels = gdk_pixbuf_read_pixels(pixbuf);
    for (uint32_t y = 0; y < want.height; y++)
        ASSERT_EQ(0, memcmp(pixels + y * stride, want.rgb.data() + y * row, row)) << "row " << y;
}

// gdk-pixbuf's pattern rule: ' ' the same byte, '!' another, 'x' any, 'z'
// zero, 'n' not zero.
bool MatchesSignature(const Bytes &data) {
    GdkPixbufFormat info;
    memset(&info, 0, sizeof info);
    fill_info(&info);
    for (const GdkPixbufModulePattern *p = info.signature; p->prefix; p++) {
        const size_t n = strlen(p->prefix);
        if (p->mask) {
            EXPECT_EQ(strlen(p->mask), n);
        }
        if (n > data.size()) continue;
        bool match = true;
        for (size_t i = 0; i < n && match; i++) {
            const uint8_t byte = data[i], prefix = static_cast<uint8_t>(p->prefix[i]);
            switch (p->mask ? p->mask[i] : ' ') {
            case ' ': match = byte == prefix; break;
            case '!': match = byte != prefix; break;
            case 'x': break;
            case 'z': match = byte == 0; break;
            case 'n': match = byte != 0; break;
            default: ADD_FAILURE() << "mask character " << p->mask[i]; return false;
            }
        }
        if (match && p->relevance > 0) return true;
    }
    return false;
}

Bytes Header(uint32_t width, uint32_t height) { return HeaderBytes(width, height); }

} // namespace

TEST(PixbufSignature, MatchesExactlyTheHeadersTheLibraryAccepts) {
    for (const TestPicture &p : DesktopPictures()) EXPECT_TRUE(MatchesSignature(p.file)) << p.name;
    const Bytes good = Header(451, 300);
    const uint8_t values[] = {0x00, 0x01, 0x18, 0x4d, 0x50, 0x80, 0xff};
    int refused = 0;
    for (size_t at = 0; at < good.size(); at++) {
        for (uint8_t v : values) {
            Bytes h = good;
            h[at] = v;
            pxcm_info info;
            const bool accepted = pxcm_read_info(h.data(), h.size(), &info) == PXCM_OK;
            EXPECT_EQ(accepted, HeaderAccepted(h)) << "byte " << at;
            EXPECT_EQ(MatchesSignature(h), accepted) << "byte " << at << " = " << int(v);
            refused += !accepted;
        }
    }
    EXPECT_GT(refused, 100);
    EXPECT_FALSE(MatchesSignature(Bytes(good.begin(), good.end() - 1)));
}

TEST(PixbufLoader, OpensEveryPictureWholeAndInChunks) {
    for (const TestPicture &p : DesktopPictures()) {
        const LibraryDecode want = DecodeWithLibrary(p.file);
        ASSERT_TRUE(ShouldOpen(want)) << p.name;
        {
            Outcome whole;
            LoadWhole(p.file, &whole);
            EXPECT_EQ(whole.error, nullptr) << p.name << ": " << whole.message();
            ExpectPixels(whole.pixbuf, want, p.name + " whole");
            if (whole.pixbuf) {
                EXPECT_EQ(gdk_pixbuf_get_rowstride(whole.pixbuf), static_cast<int>((3 * want.width + 3) & ~3u));
            }
        }
        for (size_t chunk : {size_t(1), size_t(7), size_t(23), size_t(4096), p.file.size()}) {
            if (chunk == 1 && p.file.size() > 50000) continue; // byte by byte for the small ones
            const std::string what = p.name + " in chunks of " + std::to_string(chunk);
            Incremental in;
            LoadInChunks(p.file, chunk, &in);
            EXPECT_TRUE(in.stopped) << what << ": " << in.message();
            EXPECT_FALSE(in.increment_failed) << what;
            EXPECT_EQ(in.error, nullptr) << what << ": " << in.message();
            // The size is known, and said once, as soon as the header is in.
            EXPECT_EQ(in.size_calls, 1) << what;
            EXPECT_EQ(in.size_width, static_cast<int>(want.width)) << what;
            EXPECT_EQ(in.size_height, static_cast<int>(want.height)) << what;
            EXPECT_GE(in.fed_at_size, 24u) << what;
            EXPECT_LT(in.fed_at_size, 24 + chunk) << what;
            EXPECT_EQ(in.prepared_calls, 1) << what;
            EXPECT_EQ(in.updated_calls, 1) << what;
            EXPECT_EQ(in.updated_before_prepared, 0) << what;
            EXPECT_EQ(in.ux, 0);
            EXPECT_EQ(in.uy, 0);
            EXPECT_EQ(in.uw, static_cast<int>(want.width)) << what;
            EXPECT_EQ(in.uh, static_cast<int>(want.height)) << what;
            ExpectPixels(in.pixbuf, want, what);
        }
    }
}

TEST(PixbufLoader, SizeOfZeroAsksForTheSizeAlone) {
    // gdk_pixbuf_get_file_info answers the size callback with 0 x 0: no
    // pixbuf, no error. Also for a picture of exactly the largest size,
    // which would otherwise be decoded.
    const uint32_t side = 1u << 13;
    ASSERT_EQ(uint64_t(side) * side, uint64_t(PXCM_DESKTOP_MAX_PIXELS));
    const Bytes largest = Header(side, side);
    for (const Bytes &file : {DesktopPictures().front().file, largest}) {
        Incremental in;
        in.want_width = 0;
        in.want_height = 0;
        LoadInChunks(file, 4096, &in);
        EXPECT_TRUE(in.stopped) << in.message();
        EXPECT_EQ(in.error, nullptr) << in.message();
        EXPECT_EQ(in.size_calls, 1);
        EXPECT_EQ(in.prepared_calls, 0);
        EXPECT_EQ(in.updated_calls, 0);
        EXPECT_EQ(in.pixbuf, nullptr);
    }
    // Any other size is a wish the loader leaves to gdk-pixbuf, which scales.
    const TestPicture p = DesktopPictures().front();
    Incremental in;
    in.want_width = 40;
    in.want_height = 30;
    LoadInChunks(p.file, 4096, &in);
    EXPECT_EQ(in.error, nullptr) << in.message();
    ExpectPixels(in.pixbuf, DecodeWithLibrary(p.file), p.name + " with a size asked for");
}

TEST(PixbufLoader, RefusesFilesThatAreNoPictureOrTooLarge) {
    const Bytes good = DesktopPictures().front().file;
    const Bytes text(reinterpret_cast<const uint8_t *>("P6\n451 300\n255\nnot a PXCM picture at all"),
                     reinterpret_cast<const uint8_t *>("P6\n451 300\n255\nnot a PXCM picture at all") + 40);
    Bytes wrong_depth = good;
    wrong_depth[16] = 32;
    Bytes too_large = Header(8193, 8192); // one row more than the limit allows
    too_large.resize(too_large.size() + 64, 0);
    const struct {
        const char *what;
        Bytes file;
        int code;
        const char *message;
        bool at_header; // refused while loading, once 24 bytes are in
    } cases[] = {
        {"text", text, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, "Not a PXCM picture", true},
        {"depth 32", wrong_depth, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, "Not a PXCM picture", true},
        {"empty", Bytes(), GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "ends inside the header", false},
        {"23 bytes", Bytes(good.begin(), good.begin() + 23), GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
         "ends inside the header", false},
        {"0 x 300", Header(0, 300), GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "without pixels", true},
        {"451 x 0", Header(451, 0), GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "without pixels", true},
        {"8193 x 8192", too_large, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "more than the 67108864 pixels", true},
        {"65535 x 65535", Header(65535, 65535), GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "65535 x 65535", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Outcome whole;
        LoadWhole(c.file, &whole);
        EXPECT_EQ(whole.pixbuf, nullptr);
        EXPECT_TRUE(whole.failed_with(c.code)) << whole.message();
        EXPECT_NE(whole.message().find(c.message), std::string::npos) << whole.message();

        Incremental in;
        LoadInChunks(c.file, 7, &in);
        EXPECT_FALSE(in.stopped);
        EXPECT_TRUE(in.failed_with(c.code)) << in.message();
        EXPECT_NE(in.message().find(c.message), std::string::npos) << in.message();
        EXPECT_EQ(in.increment_failed, c.at_header);
        // Refused with the chunk that completed the header.
        if (c.at_header) {
            EXPECT_EQ(in.fed_at_failure, std::min<size_t>(28, c.file.size()));
        }
        EXPECT_EQ(in.size_calls, 0);
        EXPECT_EQ(in.prepared_calls, 0);
    }
}

TEST(PixbufLoader, CutFilesShowWhatTheLibraryDecodesOrFail) {
    // A cut whose missing bits the stream reads as zeros decodes, as the
    // plug-in shows it; one whose zeros the format does not define fails,
    // after the incremental interface has handed out the pixbuf.
    int shown = 0, failed = 0;
    for (const TestPicture &p : DesktopPictures()) {
        if (p.file.size() < 64) continue;
        for (size_t keep : {size_t(24), size_t(25), p.file.size() / 2, p.file.size() - 1}) {
            const std::string what = p.name + " cut to " + std::to_string(keep) + " bytes";
            const Bytes cut(p.file.begin(), p.file.begin() + static_cast<long>(keep));
            const LibraryDecode lib = DecodeWithLibrary(cut);

            Outcome w;
            LoadWhole(cut, &w);
            Incremental in;
            LoadInChunks(cut, 4096, &in);
            ASSERT_NE(in.pixbuf, nullptr) << what;
            EXPECT_EQ(in.stopped, ShouldOpen(lib)) << what;
            if (!ShouldOpen(lib)) {
                failed++;
                EXPECT_EQ(w.pixbuf, nullptr) << what;
                EXPECT_TRUE(w.failed_with(GDK_PIXBUF_ERROR_CORRUPT_IMAGE)) << what << ": " << w.message();
                EXPECT_TRUE(in.failed_with(GDK_PIXBUF_ERROR_CORRUPT_IMAGE)) << what << ": " << in.message();
                continue;
            }
            shown++;
            EXPECT_GT(lib.bits_past_end, 0u) << what;
            ASSERT_NE(w.pixbuf, nullptr) << what << ": " << w.message();
            for (GdkPixbuf *pixbuf : {w.pixbuf, in.pixbuf}) {
                const size_t row = 3 * size_t(lib.width), stride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
                const guchar *pixels = gdk_pixbuf_read_pixels(pixbuf);
                for (uint32_t y = 0; y < lib.height; y++)
                    ASSERT_EQ(0, memcmp(pixels + y * stride, lib.rgb.data() + y * row, row)) << what << ", row " << y;
            }
        }
    }
    EXPECT_GT(shown, 0);
    EXPECT_GT(failed, 0);
}

TEST(PixbufLoader, DamagedStreamsOpenAsTheLibraryDecodesThemOrFail) {
    int opened = 0, failed = 0, stream_errors = 0;
    uint32_t seed = 1;
    for (const TestPicture &p : DesktopPictures()) {
        for (const Bytes &file : DamagedCopies(p.file, seed++, 20)) {
            const LibraryDecode lib = DecodeWithLibrary(file);
            Outcome w;
            LoadWhole(file, &w);
            Incremental in;
            LoadInChunks(file, 1000, &in);
            if (ShouldOpen(lib)) {
                opened++;
                EXPECT_EQ(w.error, nullptr) << p.name << ": " << w.message();
                ExpectPixels(w.pixbuf, lib, p.name + " damaged, whole");
                EXPECT_TRUE(in.stopped) << p.name << ": " << in.message();
                ExpectPixels(in.pixbuf, lib, p.name + " damaged, in chunks");
            } else {
                failed++;
                stream_errors += lib.result == PXCM_ERR_STREAM;
                EXPECT_EQ(w.pixbuf, nullptr) << p.name;
                EXPECT_TRUE(w.failed_with(GDK_PIXBUF_ERROR_CORRUPT_IMAGE)) << p.name << ": " << w.message();
                EXPECT_FALSE(in.stopped) << p.name;
                EXPECT_TRUE(in.failed_with(GDK_PIXBUF_ERROR_CORRUPT_IMAGE)) << p.name << ": " << in.message();
            }
        }
    }
    // The seeds give both kinds, and streams the format does not define.
    EXPECT_GT(opened, 10);
    EXPECT_GT(failed, 10);
    EXPECT_GT(stream_errors, 5);
    std::printf("damaged copies: %d opened, %d refused (%d undefined streams)\n", opened, failed, stream_errors);
}

TEST(PixbufLoader, BytesAfterTheStreamChangeNothing) {
    for (const TestPicture &p : DesktopPictures()) {
        Bytes longer = p.file;
        for (int i = 0; i < 300; i++) longer.push_back(static_cast<uint8_t>(i * 37));
        Outcome w;
        LoadWhole(longer, &w);
        EXPECT_EQ(w.error, nullptr) << p.name << ": " << w.message();
        ExpectPixels(w.pixbuf, DecodeWithLibrary(p.file), p.name + " with bytes after it");
    }
}
