// Every offset is tried, also inside the streams of pictures already found,
// so that pictures that overlap are all seen; a header there that does not
// decode (random bytes that happen to look like one, a header of garbage)
// is passed over, and one that decodes is reported as lying inside the
// earlier picture. A candidate costs at most a decode of its own picture:
// its pixels are written to memory that the system hands out on first
// touch, so a false header is only paid for as far as it decodes.
#include "scan.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "decode.h"
#include "format/format.h"

namespace pxc {

namespace {

constexpr uint64_t WINDOW = uint64_t{16} << 20; // bytes searched between progress reports

const uint8_t TAG[4] = {'P', 'X', 'C', 'M'};

// The first "PXCM" in p[0..n), or null.
const uint8_t *FindTag(const uint8_t *p, size_t n) {
    const uint8_t *end = p + n;
    while (static_cast<size_t>(end - p) >= sizeof TAG) {
        const auto *q = static_cast<const uint8_t *>(memchr(p, TAG[0], static_cast<size_t>(end - p) - 3));
        if (q == nullptr) return nullptr;
        if (memcmp(q, TAG, sizeof TAG) == 0) return q;
        p = q + 1;
    }
    return nullptr;
}

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

} // namespace

ScanTotals ScanFile(const MappedFile &file, const ScanOptions &options, const FoundCallback &found,
                    const RowProgress &progress) {
    ScanTotals totals;
    const uint64_t size = file.size();
    const uint8_t *base = file.data();
    if (size < static_cast<uint64_t>(HEADER_SIZE)) return totals;
    if (base == nullptr) throw FileError("cannot be mapped into memory, which a scan needs");

    uint64_t pos = 0;       // where the search goes on
    uint64_t forgotten = 0; // pages before this were given back
    uint64_t cover_end = 0; // end of the furthest-reaching picture so far
    uint64_t cover_offset = 0;
    const uint64_t last = size - HEADER_SIZE; // last offset a header fits at
    while (pos <= last) {
        if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
        if (progress) progress("scanning bytes", pos, size);
        const uint64_t window_end = std::min(last + 1, pos + WINDOW);
        const uint8_t *hit = FindTag(base + pos, static_cast<size_t>(window_end - pos + 3));
        if (pos - forgotten >= WINDOW) {
            file.Forget(forgotten, pos - forgotten);
            forgotten = pos;
        }
        if (hit == nullptr) {
            pos = window_end;
            continue;
        }
        const uint64_t at = static_cast<uint64_t>(hit - base);
        pos = at + 1;
        if (at > last) break;
        pxcm_info info{};
        if (pxcm_read_info(base + at, static_cast<size_t>(size - at), &info) != PXCM_OK) continue;
        totals.candidates++;
        const uint64_t pixels = static_cast<uint64_t>(info.width) * info.height;
        if (pixels == 0) {
            totals.rejected++;
            continue;
        }
        if (pixels > options.max_pixels) {
            totals.rejected++;
            totals.too_large++;
            continue;
        }
        if (TooShortFor(info.width, info.height, size - at - HEADER_SIZE)) {
            totals.rejected++;
            continue;
        }

        Bitmap bitmap;
        std::unique_ptr<void, FreeDeleter> scratch;
        void *out = nullptr;
        uint64_t out_size = 0;
        pxcm_layout layout = PXCM_LAYOUT_RGB;
        if (options.keep_pixels) {
            bitmap = Bitmap::Allocate(info.width, info.height);
            layout = PXCM_LAYOUT_DIB;
            out = bitmap.bits();
            out_size = bitmap.size();
        } else {
            pxcm_info geometry = info;
            out_size = pxcm_buffer_size(&geometry, PXCM_LAYOUT_RGB, 0);
            scratch.reset(calloc(static_cast<size_t>(out_size), 1));
            if (!scratch) throw FileError("out of memory");
            out = scratch.get();
        }
        pxcm_decode_report report{};
        const RowProgress quiet;
        const int r = DecodeWithProgress(base + at, size - at, layout, out, out_size, 0, quiet, &report);
        if (r == PXCM_ERR_ABORTED) throw FileError(ResultMessage(r));
        if (r != PXCM_OK) {
            totals.rejected++;
            continue;
        }
        const StreamFacts facts = FactsOf(info, report, size - at);
        FoundPicture f;
        f.offset = at;
        f.length = facts.stream_bytes;
        f.info = info;
        f.complete = !facts.ends_early();
        f.end_row = facts.end_row;
        if (at < cover_end) {
            f.inside = true;
            f.parent = cover_offset;
        }
        if (at + f.length > cover_end) {
            cover_end = at + f.length;
            cover_offset = at;
        }
        totals.pictures++;
        found(f, options.keep_pixels ? &bitmap : nullptr);
    }
    if (progress) progress("scanning bytes", size, size);
    file.Forget(forgotten, size - forgotten);
    return totals;
}

} // namespace pxc
