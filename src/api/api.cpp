// The native API over the decoder core and the encoder.
#include <pxcm/pxcm.h>

#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "encoder/encoder.h"
#include "entropy/bitreader.h"
#include "format/format.h"
#include "pixels/picture.h"
#include "platform/platform.h"

static_assert(int{PXCM_LAYOUT_RGB} == int{LAYOUT_RGB} && int{PXCM_LAYOUT_BGR} == int{LAYOUT_BGR} &&
                  int{PXCM_LAYOUT_RGBA} == int{LAYOUT_RGBA} && int{PXCM_LAYOUT_BGRA} == int{LAYOUT_BGRA} &&
                  int{PXCM_LAYOUT_DIB} == int{LAYOUT_DIB},
              "one set of layout values");

#ifndef PXCM_VERSION_STRING
#error "PXCM_VERSION_STRING is set by the build"
#endif

namespace {

bool KnownLayout(int32_t layout) { return layout >= 0 && layout < LAYOUT_COUNT; }

// The stride to use, or 0 where the given one cannot hold a row.
uint64_t UsableStride(uint32_t width, int32_t layout, size_t stride) {
    const uint64_t packed = PackedRowBytes(width, layout);
    if (stride == 0) return packed;
    return stride >= packed ? stride : 0;
}

int32_t HeaderOf(const void *data, size_t size, ImageHeader *header) {
    if (size < static_cast<size_t>(HEADER_SIZE)) return PXCM_ERR_TRUNCATED;
    return ParseHeader(static_cast<const uint8_t *>(data), header);
}

struct Progress {
    pxcm_progress progress;
    void *user;
};

int32_t CallProgress(uint32_t row, uint32_t height, void *user) {
    const Progress *p = static_cast<const Progress *>(user);
    return p->progress(row, height, p->user) != 0 ? 1 : 0;
}

// Bytes a picture takes in a layout and stride: every row but the last at
// the stride, the last only as long as a packed row, so that buffers laid
// out by other libraries (which often do not pad their last row) fit.
uint64_t BufferBytes(uint32_t width, uint32_t height, int32_t layout, uint64_t stride) {
    if (height == 0 || stride == 0) return 0;
    return (height - 1) * stride + PackedRowBytes(width, layout);
}

} // namespace

extern "C" int pxcm_read_info(const void *data, size_t size, pxcm_info *info) {
    if (data == nullptr || info == nullptr) return PXCM_ERR_ARGUMENT;
    ImageHeader header;
    const int32_t result = HeaderOf(data, size, &header);
    if (result != ERR_NONE) return result;
    info->width = header.width;
    info->height = header.height;
    info->depth = header.depth;
    return PXCM_OK;
}

extern "C" size_t pxcm_stride(uint32_t width, pxcm_layout layout) {
    if (!KnownLayout(layout)) return 0;
    return static_cast<size_t>(PackedRowBytes(width, layout));
}


extern "C" uint64_t pxcm_buffer_size(const pxcm_info *info, pxcm_layout layout, size_t stride) {
    if (info == nullptr || !KnownLayout(layout)) return 0;
    return BufferBytes(info->width, info->height, layout, UsableStride(info->width, layout, stride));
}

extern "C" int pxcm_decode(const void *data, size_t size, const pxcm_decode_options *options,
                           void *pixels, size_t pixels_size, pxcm_decode_report *report) {
    static const pxcm_decode_options DEFAULTS = {};
    if (options == nullptr) options = &DEFAULTS;
    if (data == nullptr || !KnownLayout(options->layout)) return PXCM_ERR_ARGUMENT;
    ImageHeader header;
    int32_t result = HeaderOf(data, size, &header);
    if (result != ERR_NONE) return result;
    const uint64_t count = static_cast<uint64_t>(header.width) * header.height;
    if (options->max_pixels != 0 && count > options->max_pixels) return PXCM_ERR_TOO_LARGE;
    const uint64_t stride = UsableStride(header.width, options->layout, options->stride);
    if (stride == 0 && header.width != 0) return PXCM_ERR_ARGUMENT;
    const uint64_t need = BufferBytes(header.width, header.height, options->layout, stride);
    if (need > pixels_size) return PXCM_ERR_BUFFER;
    if (pixels == nullptr && need != 0) return PXCM_ERR_ARGUMENT;
    if (need > static_cast<uint64_t>(INT64_MAX)) return PXCM_ERR_TOO_LARGE;

    PictureOutput output{static_cast<uint8_t *>(pixels), static_cast<int64_t>(stride), options->layout};
    const uint64_t window = WindowBytes(header.width, header.height, &output);
    if (window > SIZE_MAX - sizeof(WorkBlock)) return PXCM_ERR_NO_MEMORY;
    // One allocation: the tables, then the window.
    auto *work = static_cast<WorkBlock *>(PlatformHeapAlloc(sizeof(WorkBlock) + static_cast<size_t>(window)));
    if (work == nullptr) return PXCM_ERR_NO_MEMORY;

    BitReader reader;
    StartMemoryReader(&reader, static_cast<const uint8_t *>(data) + HEADER_SIZE, size - HEADER_SIZE);
    Progress progress{options->progress, options->user};
    PictureReport picture_report{};
    result = DecodePicture(&reader, work, reinterpret_cast<uint8_t *>(work + 1), header.width, header.height,
                           &output, options->progress != nullptr ? CallProgress : nullptr, &progress,
                           &picture_report);
    PlatformHeapFree(work);
    if (report != nullptr) {
        report->bits_used = picture_report.bits_used;
        report->bits_past_end = picture_report.bits_past_end;
        report->end_row = picture_report.end_row;
    }
    return result;
}

extern "C" int pxcm_encode(const void *pixels, uint32_t width, uint32_t height, pxcm_layout layout,
                           size_t stride, int effort, void **out, size_t *out_size) {
    if (out == nullptr || out_size == nullptr) return PXCM_ERR_ARGUMENT;
    *out = nullptr;
    *out_size = 0;
    if (!KnownLayout(layout) || width > MAX_SIDE || height > MAX_SIDE) return PXCM_ERR_ARGUMENT;
    if (effort < 0 || effort > MAX_EFFORT) return PXCM_ERR_ARGUMENT;
    const uint64_t usable = UsableStride(width, layout, stride);
    if (usable == 0 && width != 0) return PXCM_ERR_ARGUMENT;
    if (pixels == nullptr && width != 0 && height != 0) return PXCM_ERR_ARGUMENT;

    EncoderInput input{static_cast<const uint8_t *>(pixels), width, height, static_cast<int64_t>(usable), layout};
    EncoderOptions settings{effort == 0 ? DEFAULT_EFFORT : effort, nullptr, nullptr};
    try {
        std::vector<uint8_t> file;
        if (EncodePicture(&input, &settings, &file) != ENCODE_OK) return PXCM_ERR_ARGUMENT;
        void *block = malloc(file.size());
        if (block == nullptr) return PXCM_ERR_NO_MEMORY;
        memcpy(block, file.data(), file.size());
        *out = block;
        *out_size = file.size();
        return PXCM_OK;
    } catch (const std::bad_alloc &) {
        return PXCM_ERR_NO_MEMORY;
    }
}

extern "C" void pxcm_free(void *p) { free(p); }

extern "C" const char *pxcm_result_text(int result) {
    switch (result) {
    case PXCM_OK: return "success";
    case PXCM_ERR_NOT_IMPLEMENTED: return "not implemented";
    case PXCM_ERR_ABORTED: return "stopped by the caller";
    case PXCM_ERR_BAD_FORMAT: return "not a PXCM picture";
    case PXCM_ERR_NO_MEMORY: return "out of memory";
    case PXCM_ERR_MEMORY: return "a memory block cannot be used";
    case PXCM_ERR_READ: return "the data cannot be read";
    case PXCM_ERR_INTERNAL: return "unsupported kind of source";
    case PXCM_ERR_STREAM: return "damaged picture data";
    case PXCM_ERR_TRUNCATED: return "the data ends inside the header";
    case PXCM_ERR_TOO_LARGE: return "the picture is larger than allowed";
    case PXCM_ERR_ARGUMENT: return "invalid argument";
    case PXCM_ERR_BUFFER: return "the buffer is too small";
    default: return "unknown result code";
    }
}

extern "C" const char *pxcm_version(void) { return PXCM_VERSION_STRING; }
