// GetPicture over a memory source holding the fuzz input.
//
// Besides what the sanitizers see, each run checks what the host relies on:
// the result code fits the input, a refused picture hands back no block, a
// decoded one comes with a complete bitmap header and a pixel block of
// exactly height x stride bytes, every byte of which is read here, and the
// callback saw every row in order and then (height, height). Pictures of
// up to 65536 pixels are also decoded by the plain decoder of
// tests/support, and both must agree on success or refusal and on every
// byte. The native API decodes the same bytes too, in a layout and stride
// taken from the input's last byte, and must give the same result and the
// same pixels, and report as many bits used as the plain decoder read.
#include <string.h>

#include <pxcm/pxcm.h>

#include "harness.h"
#include "plugin/pxcm.h"
#include "support/reference_bits.h"

namespace {

constexpr uint64_t REFERENCE_MAX_PIXELS = 1u << 16;

// The reference decode of an accepted picture: true and the bitmap when
// every row decoded, with the bits it read.
bool ReferenceDecode(const uint8_t *data, size_t size, uint32_t width, uint32_t height,
                     std::vector<uint8_t> *out, uint64_t *bits) {
    RefPicture ref;
    ref.bits = RefBits{data + FUZZ_HEADER_SIZE, size - FUZZ_HEADER_SIZE};
    ref.width = width;
    ref.height = height;
    ref.stride = static_cast<int64_t>(FuzzStride(width));
    ref.buf.assign(static_cast<size_t>(ref.stride * height), 0);
    for (uint32_t m = 0; m < height; m++)
        if (!ref.Row(m)) return false;
    *out = std::move(ref.buf);
    *bits = ref.bits.pos;
    return true;
}

// The native API's decode in one layout, compared with the plug-in's
// bottom-up block (or, where the plug-in refused, its result code).
void CheckNativeDecode(const uint8_t *data, size_t size, uint32_t width, uint32_t height, int32_t plugin_result,
                       const uint8_t *block, bool bits_known, uint64_t ref_bits) {
    const uint8_t control = data[size - 1];
    pxcm_decode_options o{};
    o.layout = static_cast<pxcm_layout>(control % 5);
    const size_t packed = pxcm_stride(width, o.layout);
    o.stride = (control & 8) != 0 ? packed + (control >> 4) : 0;
    const size_t stride = o.stride != 0 ? o.stride : packed;
    const size_t bytes = stride * height;
    std::vector<uint8_t> out(bytes, 0xA5);
    pxcm_decode_report report{};
    const int r = pxcm_decode(data, size, &o, out.data(), out.size(), &report);
    if (plugin_result == ERR_MEMORY) {
        // The plug-in cannot lock a zero-size block; the native API decodes
        // an empty picture.
        FUZZ_CHECK(r == PXCM_OK && (width == 0 || height == 0));
        return;
    }
    FUZZ_CHECK((r == PXCM_OK) == (plugin_result == ERR_NONE));
    if (r != PXCM_OK) {
        FUZZ_CHECK(r == PXCM_ERR_STREAM);
        return;
    }
    if (bits_known) FUZZ_CHECK(report.bits_used == ref_bits);
    FUZZ_CHECK(report.bits_past_end == (report.bits_used > 8 * (size - FUZZ_HEADER_SIZE)
                                            ? report.bits_used - 8 * (size - FUZZ_HEADER_SIZE)
                                            : 0));
    FUZZ_CHECK((report.end_row < height) == (report.bits_past_end != 0));
    const uint64_t dib = FuzzStride(width);
    const int bpp = o.layout == PXCM_LAYOUT_RGBA || o.layout == PXCM_LAYOUT_BGRA ? 4 : 3;
    const bool rgb = o.layout == PXCM_LAYOUT_RGB || o.layout == PXCM_LAYOUT_RGBA;
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t *want = block + (height - 1 - y) * dib;
        if (o.layout == PXCM_LAYOUT_DIB) {
            FUZZ_CHECK(memcmp(out.data() + (height - 1 - y) * stride, want, dib) == 0);
            continue;
        }
        const uint8_t *got = out.data() + y * stride;
        for (uint32_t x = 0; x < width; x++) {
            const uint8_t *p = got + x * bpp;
            const uint8_t *q = want + 3 * x;
            FUZZ_CHECK(p[0] == q[rgb ? 2 : 0] && p[1] == q[1] && p[2] == q[rgb ? 0 : 2]);
            if (bpp == 4) FUZZ_CHECK(p[3] == 255);
        }
        for (size_t i = static_cast<size_t>(width) * bpp; i < stride && y + 1 < height; i++)
            FUZZ_CHECK(got[i] == 0xA5); // padding left alone
    }
}

struct Progress {
    int32_t calls;
    int32_t next;  // the row the next call must announce
    bool in_order;
};

int32_t PXCM_API CountRows(int32_t num, int32_t denom, PxcmLong user) {
    auto *p = reinterpret_cast<Progress *>(user);
    if (num != p->next || denom < 0 || num > denom) p->in_order = false;
    p->next++;
    p->calls++;
    return 0;
}

volatile uint32_t g_sink;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (FuzzClaimedPixels(data, size) > FUZZ_MAX_PIXELS) return -1;

    const bool accepted = FuzzHeaderAccepted(data, size);
    Progress progress{0, 0, true};
    PxcmBlock info = reinterpret_cast<PxcmBlock>(1); // must be replaced or left alone
    PxcmBlock pixels = reinterpret_cast<PxcmBlock>(1);
    const int32_t result =
        GetPicture(reinterpret_cast<const char *>(data), static_cast<PxcmLong>(size), SOURCE_MEMORY,
                   &info, &pixels, CountRows, reinterpret_cast<PxcmLong>(&progress));

    if (!accepted) {
        FUZZ_CHECK(result == (size < FUZZ_HEADER_SIZE ? ERR_READ : ERR_BAD_FORMAT));
        FUZZ_CHECK(info == reinterpret_cast<PxcmBlock>(1));
        FUZZ_CHECK(pixels == reinterpret_cast<PxcmBlock>(1));
        FUZZ_CHECK(progress.calls == 0);
        return 0;
    }
    const uint32_t width = FuzzLe16(data + 12);
    const uint32_t height = FuzzLe16(data + 14);
    const uint64_t bytes = FuzzStride(width) * height;
    std::vector<uint8_t> want;
    uint64_t ref_bits = 0;
    const bool compare = bytes != 0 && static_cast<uint64_t>(width) * height <= REFERENCE_MAX_PIXELS;
    const bool ref_ok = compare && ReferenceDecode(data, size, width, height, &want, &ref_bits);
    if (compare) FUZZ_CHECK(ref_ok == (result == ERR_NONE));
    if (result != ERR_NONE) {
        CheckNativeDecode(data, size, width, height, result, nullptr, false, 0);
        // A zero-size pixel block cannot be locked; anything else refused
        // lies in the stream.
        FUZZ_CHECK(result == (bytes == 0 ? ERR_MEMORY : ERR_READ));
        FUZZ_CHECK(info == nullptr || info == reinterpret_cast<PxcmBlock>(1));
        FUZZ_CHECK(pixels == nullptr || pixels == reinterpret_cast<PxcmBlock>(1));
        return 0;
    }
    FUZZ_CHECK(bytes != 0);
    FUZZ_CHECK(progress.in_order && progress.calls == static_cast<int32_t>(height) + 1);

    FUZZ_CHECK(GetBlockSize(info) == sizeof(PxcmBitmapHeader));
    PxcmBitmapHeader bh;
    memcpy(&bh, LockBlock(info), sizeof bh);
    UnlockBlock(info);
    FUZZ_CHECK(bh.biSize == 40 && bh.biWidth == static_cast<int32_t>(width) &&
               bh.biHeight == static_cast<int32_t>(height) && bh.biPlanes == 1 &&
               bh.biBitCount == 24 && bh.biCompression == 0 && bh.biSizeImage == bytes);

    FUZZ_CHECK(GetBlockSize(pixels) == bytes);
    const auto *p = static_cast<const uint8_t *>(LockBlock(pixels));
    FUZZ_CHECK(p != nullptr);
    uint32_t sum = 0;
    for (uint64_t i = 0; i < bytes; i++) sum = sum * 31 + p[i];
    g_sink = sum;
    if (ref_ok) FUZZ_CHECK(memcmp(p, want.data(), want.size()) == 0);
    CheckNativeDecode(data, size, width, height, result, p, ref_ok, ref_bits);
    UnlockBlock(pixels);
    FreeBlock(pixels);
    FreeBlock(info);
    return 0;
}
