// GetPicture over a memory source holding the fuzz input, through the
// tests' decode helper.
//
// Besides what the sanitizers see, each run checks what the host relies on:
// the result code fits the input, a refused picture hands back no block, a
// decoded one comes with a complete bitmap header and a pixel block of
// exactly height x stride bytes, every byte of which is read, and the
// callback saw every row in order and then (height, height). Pictures of
// up to 65536 pixels are also decoded by the plain decoder of
// tests/support, and both must agree on success or refusal and on every
// byte. The native API decodes the same bytes too, in a layout and stride
// taken from the input's last byte, and must give the same result and the
// same pixels, and report as many bits used as the plain decoder read.
#include <string.h>

#include <pxcm/pxcm.h>

#include <algorithm>

#include "harness.h"
#include "support/decode.h"
#include "support/reference_bits.h"

namespace {

constexpr uint64_t REFERENCE_MAX_PIXELS = 1u << 16;

// The reference decode of an accepted picture: true and the bitmap when
// every row decoded, with the bits it read.
bool ReferenceDecode(const uint8_t *data, size_t size, uint32_t width, uint32_t height,
                     std::vector<uint8_t> *out, uint64_t *bits) {
    RefPicture ref;
    ref.Start(data, size, width, height);
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
    o.layout = static_cast<pxcm_layout>(control % LAYOUT_COUNT);
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
    const uint64_t data_bits = 8 * (size - HEADER_SIZE);
    FUZZ_CHECK(report.bits_past_end == (report.bits_used > data_bits ? report.bits_used - data_bits : 0));
    FUZZ_CHECK((report.end_row < height) == (report.bits_past_end != 0));
    const uint64_t dib = static_cast<uint64_t>(RowStride(width));
    const int bpp = LayoutPixelBytes(o.layout);
    const bool rgb = LayoutIsRgbOrder(o.layout);
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t *want = block + (height - 1 - y) * dib;
        if (o.layout == PXCM_LAYOUT_DIB) {
            FUZZ_CHECK(memcmp(out.data() + (height - 1 - y) * stride, want, dib) == 0);
            continue;
        }
        const uint8_t *got = out.data() + y * stride;
        for (uint32_t x = 0; x < width; x++) {
            const uint8_t *p = got + x * bpp;
            const uint8_t *q = want + PIXEL_BYTES * x;
            FUZZ_CHECK(p[0] == q[rgb ? RED_BYTE : BLUE_BYTE] && p[1] == q[GREEN_BYTE] &&
                       p[2] == q[rgb ? BLUE_BYTE : RED_BYTE]);
            if (bpp == 4) FUZZ_CHECK(p[3] == 255);
        }
        for (size_t i = static_cast<size_t>(width) * bpp; i < stride && y + 1 < height; i++)
            FUZZ_CHECK(got[i] == 0xA5); // padding left alone
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (FuzzClaimedPixels(data, size) > FUZZ_MAX_PIXELS) return -1;

    const bool accepted = HeaderAccepted(data, size);
    // The helper reads every byte of the pixel block it is handed.
    const Decoded d = DecodeAt(reinterpret_cast<const char *>(data), static_cast<PxcmLong>(size), SOURCE_MEMORY);
    if (!accepted) {
        FUZZ_CHECK(d.result == (size < static_cast<size_t>(HEADER_SIZE) ? ERR_READ : ERR_BAD_FORMAT));
        FUZZ_CHECK(d.untouched());
        FUZZ_CHECK(d.calls.empty());
        return 0;
    }
    const uint32_t width = ClaimedWidth(data, size);
    const uint32_t height = ClaimedHeight(data, size);
    const uint64_t bytes = BitmapSize(width, height);
    // The callbacks so far: before every row in order, then at the end.
    const Progress full = ProgressOf(height);
    FUZZ_CHECK(d.calls.size() <= full.size() && std::equal(d.calls.begin(), d.calls.end(), full.begin()));
    std::vector<uint8_t> want;
    uint64_t ref_bits = 0;
    const bool compare = bytes != 0 && static_cast<uint64_t>(width) * height <= REFERENCE_MAX_PIXELS;
    const bool ref_ok = compare && ReferenceDecode(data, size, width, height, &want, &ref_bits);
    if (compare) FUZZ_CHECK(ref_ok == (d.result == ERR_NONE));
    if (d.result != ERR_NONE) {
        CheckNativeDecode(data, size, width, height, d.result, nullptr, false, 0);
        // A zero-size pixel block cannot be locked; anything else refused
        // lies in the stream. No block is left with the host.
        FUZZ_CHECK(d.result == (bytes == 0 ? ERR_MEMORY : ERR_READ));
        FUZZ_CHECK(d.info_handle != Handle::Block && d.pixels_handle != Handle::Block);
        return 0;
    }
    FUZZ_CHECK(bytes != 0);
    FUZZ_CHECK(d.calls == full);

    FUZZ_CHECK(d.has_header && d.info_size == sizeof(PxcmBitmapHeader));
    const PxcmBitmapHeader &bh = d.header;
    FUZZ_CHECK(bh.biSize == 40 && bh.biWidth == static_cast<int32_t>(width) &&
               bh.biHeight == static_cast<int32_t>(height) && bh.biPlanes == 1 &&
               bh.biBitCount == FORMAT_DEPTH && bh.biCompression == 0 && bh.biSizeImage == bytes);
    FUZZ_CHECK(d.pixels.size() == bytes);
    if (ref_ok) FUZZ_CHECK(d.pixels == want);
    CheckNativeDecode(data, size, width, height, d.result, d.pixels.data(), ref_ok, ref_bits);
    return 0;
}
