// GetPicture: a whole picture into a device-independent bitmap.
#include "plugin/picture.h"

#include <string.h>

#include "pixels/picture.h"
#include "source/header.h"
#include "source/source.h"

static_assert(SOURCE_FILE == SOURCE_KIND_FILE && SOURCE_MEMORY == SOURCE_KIND_MEMORY, "one set of source kinds");

int32_t AllocLocked(uint64_t size, PxcmBlock *handle, void **pointer) {
    PlatformBlock block = PlatformBlockAlloc(size);
    *handle = block;
    *pointer = nullptr;
    if (block == nullptr) return ERR_NO_MEMORY;
    void *p = PlatformBlockLock(block);
    if (p == nullptr) {
        PlatformBlockFree(block);
        *handle = nullptr;
        return ERR_MEMORY;
    }
    *pointer = p;
    return ERR_NONE;
}

void ReleaseLocked(PxcmBlock handle, void *pointer) {
    if (handle == nullptr) return;
    PlatformBlock block = static_cast<PlatformBlock>(handle);
    PlatformBlockUnlock(block);
    if (pointer != nullptr) PlatformBlockFree(block);
}

static int32_t PXCM_API DefaultProgress(int32_t, int32_t, PxcmLong) { return 0; }

// The host's callback, called the host's way from the decoder core.
struct HostProgress {
    ProgressCallback callback;
    PxcmLong user;
};

static int32_t CallHost(uint32_t row, uint32_t height, void *user) {
    const HostProgress *p = static_cast<const HostProgress *>(user);
    return p->callback(static_cast<int32_t>(row), static_cast<int32_t>(height), p->user);
}

static void FillBitmapHeader(PxcmBitmapHeader *bh, const ImageHeader &header, uint64_t size) {
    memset(bh, 0, sizeof *bh);
    bh->biSize = sizeof(PxcmBitmapHeader);
    bh->biWidth = static_cast<int32_t>(header.width);
    bh->biHeight = static_cast<int32_t>(header.height);
    bh->biPlanes = 1;
    bh->biBitCount = static_cast<uint16_t>(header.depth);
    bh->biCompression = 0;
    // The field is 32 bits wide; 0 (allowed for uncompressed bitmaps) where
    // the size does not fit.
    bh->biSizeImage = size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
}

extern "C" int32_t PXCM_API GetPicture(const char *location, PxcmLong extent, uint32_t mode,
                                       PxcmBlock *info_out, PxcmBlock *pixels_out,
                                       ProgressCallback callback, PxcmLong user) {
    InputSource source = nullptr;
    int32_t result = OpenSource(&source, location, extent, mode);
    if (result != ERR_NONE) return result;

    PxcmBlock info_block = nullptr;
    PxcmBlock pixel_block = nullptr;
    void *info = nullptr;
    void *pixels = nullptr;
    WorkBlock *work = nullptr;
    ImageHeader header;
    uint64_t size = 0;

    result = CheckHeader(source, &header);
    if (result != ERR_NONE) goto exit;
    size = BitmapSize(header.width, header.height);

    result = AllocLocked(sizeof(PxcmBitmapHeader), &info_block, &info);
    *info_out = info_block;
    if (result != ERR_NONE) goto exit;
    FillBitmapHeader(static_cast<PxcmBitmapHeader *>(info), header, size);

    result = AllocLocked(size, &pixel_block, &pixels);
    *pixels_out = pixel_block;
    if (result != ERR_NONE) goto exit;

    if (callback == nullptr) callback = DefaultProgress;
    work = static_cast<WorkBlock *>(PlatformHeapAlloc(sizeof(WorkBlock)));
    if (work == nullptr) {
        result = ERR_NO_MEMORY;
        goto exit;
    }
    {
        // The zero-filled pixel block is the bitmap the stream decodes into.
        BitReader reader;
        StartSourceReader(&reader, source, work->chunk);
        const PictureOutput output{static_cast<uint8_t *>(pixels), RowStride(header.width), LAYOUT_DIB};
        HostProgress progress{callback, user};
        result = PluginResult(DecodePicture(&reader, work, nullptr, header.width, header.height, &output,
                                            CallHost, &progress, nullptr));
    }

exit:
    if (work != nullptr) PlatformHeapFree(work);
    CloseSource(source, &result);
    if (result == ERR_NONE) {
        ReleaseLocked(info_block, nullptr);
        ReleaseLocked(pixel_block, nullptr);
    } else {
        // Free what this call allocated, and leave the host no stale handle.
        ReleaseLocked(info_block, info);
        ReleaseLocked(pixel_block, pixels);
        if (info_block != nullptr) *info_out = nullptr;
        if (pixel_block != nullptr) *pixels_out = nullptr;
    }
    return result;
}
