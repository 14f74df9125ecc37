// GetPicture over a memory source holding the fuzz input.
//
// Besides what the sanitizers see, each run checks what the host relies on:
// the result code fits the input, a refused picture hands back no block, a
// decoded one comes with a complete bitmap header and a pixel block of
// exactly height x stride bytes, every byte of which is read here, and the
// callback saw every row in order and then (height, height).
#include <string.h>

#include "harness.h"
#include "plugin/pxcm.h"

namespace {

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
    if (result != ERR_NONE) {
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
    UnlockBlock(pixels);
    FreeBlock(pixels);
    FreeBlock(info);
    return 0;
}
