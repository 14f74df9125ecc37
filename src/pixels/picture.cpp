#include "pixels/picture.h"

#include <string.h>

#include "pixels/rows.h"

namespace {

// Spare rows of the window beyond those one row's decode can touch: the
// window moves by this many rows at a time, so that it moves rarely but
// stays small.
constexpr int64_t WINDOW_TARGET_BYTES = 256 * 1024;
constexpr int64_t MIN_SPARE_ROWS = 4;
constexpr int64_t MAX_SPARE_ROWS = 64;

int64_t WindowRows(uint32_t width, uint32_t height) {
    const int64_t stride = RowStride(width);
    int64_t spare = WINDOW_TARGET_BYTES / stride;
    if (spare < MIN_SPARE_ROWS) spare = MIN_SPARE_ROWS;
    if (spare > MAX_SPARE_ROWS) spare = MAX_SPARE_ROWS;
    const int64_t rows = ReachRows(width) - 1 + spare;
    return rows < static_cast<int64_t>(height) ? rows : static_cast<int64_t>(height);
}

// One bitmap row into the output, in the output's layout.
void EmitRow(const PictureOutput *o, uint32_t width, uint32_t height, uint32_t m, const uint8_t *row,
             int64_t stride) {
    const int32_t layout = o->layout;
    if (layout == LAYOUT_DIB) {
        memcpy(o->pixels + static_cast<int64_t>(height - 1 - m) * o->stride, row, static_cast<size_t>(stride));
        return;
    }
    uint8_t *out = o->pixels + static_cast<int64_t>(m) * o->stride;
    switch (layout) {
    case LAYOUT_BGR:
        memcpy(out, row, static_cast<size_t>(width) * PIXEL_BYTES);
        break;
    case LAYOUT_RGB:
        for (uint32_t x = 0; x < width; x++, out += 3, row += PIXEL_BYTES) {
            out[0] = row[RED_BYTE];
            out[1] = row[GREEN_BYTE];
            out[2] = row[BLUE_BYTE];
        }
        break;
    case LAYOUT_RGBA:
        for (uint32_t x = 0; x < width; x++, out += 4, row += PIXEL_BYTES) {
            out[0] = row[RED_BYTE];
            out[1] = row[GREEN_BYTE];
            out[2] = row[BLUE_BYTE];
            out[3] = 255;
        }
        break;
    case LAYOUT_BGRA:
        for (uint32_t x = 0; x < width; x++, out += 4, row += PIXEL_BYTES) {
            out[0] = row[BLUE_BYTE];
            out[1] = row[GREEN_BYTE];
            out[2] = row[RED_BYTE];
            out[3] = 255;
        }
        break;
    default:
        break;
    }
}

// The image rows held in window slots [first, last), bottom slot first:
// slot j holds bitmap bytes base + j * stride, which is image row
// height - 1 - base / stride - j.
void EmitSlots(const PictureOutput *o, uint32_t width, uint32_t height, const uint8_t *window, int64_t base,
               int64_t stride, int64_t first, int64_t last) {
    for (int64_t j = last - 1; j >= first; j--) {
        const int64_t m = static_cast<int64_t>(height) - 1 - base / stride - j;
        EmitRow(o, width, height, static_cast<uint32_t>(m), window + j * stride, stride);
    }
}

} // namespace

int64_t ReachRows(uint32_t width) {
    const int64_t stride = RowStride(width);
    if (stride == 0) return 1;
    // From its row's start, the last token of a row starts at most at byte
    // 3 (width - 1); its reference lies at most MAX_DY rows and MAX_DX
    // pixels on, and a run reads 3 * MAX_RUN bytes from there. Everything
    // else a row reads or writes ends earlier.
    const int64_t reach = PIXEL_BYTES * (static_cast<int64_t>(width) - 1) + MAX_DY * stride +
                          PIXEL_BYTES * static_cast<int64_t>(MAX_DX) + PIXEL_BYTES * static_cast<int64_t>(MAX_RUN);
    return (reach + stride - 1) / stride;
}

bool DecodesInPlace(uint32_t width, const PictureOutput *output) {
    return output->layout == LAYOUT_DIB && output->stride == RowStride(width);
}

uint64_t WindowBytes(uint32_t width, uint32_t height, const PictureOutput *output) {
    if (width == 0 || height == 0 || DecodesInPlace(width, output)) return 0;
    return static_cast<uint64_t>(WindowRows(width, height)) * static_cast<uint64_t>(RowStride(width));
}

int32_t DecodePicture(const BitReader *reader, WorkBlock *work, uint8_t *window, uint32_t width,
                      uint32_t height, const PictureOutput *output, RowCallback callback, void *user,
                      PictureReport *report) {
    RowDecoder state;
    StartRowDecoder(&state, reader, work, width);
    const int64_t stride = state.stride;
    const bool in_place = DecodesInPlace(width, output);
    const bool windowed = !in_place && width != 0 && height != 0;
    // The window's rows, how many stay when it moves, and the bitmap
    // offset of its first byte.
    const int64_t rows = windowed ? WindowRows(width, height) : static_cast<int64_t>(height);
    const int64_t keep = ReachRows(width) - 1;
    int64_t base = 0;
    if (in_place) {
        state.bytes = output->pixels;
    } else if (windowed) {
        state.bytes = window;
        memset(window, 0, static_cast<size_t>(rows * stride));
        base = (static_cast<int64_t>(height) - rows) * stride;
    }
    state.lo = 0;
    state.hi = rows * stride;

    uint32_t end_row = height;
    int32_t result = ERR_NONE;
    for (uint32_t m = 0; m < height; m++) {
        if (callback != nullptr && callback(m, height, user) != 0) {
            result = ERR_ABORTED;
            break;
        }
        int64_t out = static_cast<int64_t>(height - 1 - m) * stride - base;
        if (out < 0) {
            // The window moves down: the rows no later token can touch leave
            // it, the rest move to its top, and the slots below are cleared.
            int64_t move = rows - keep;
            if (move > base / stride) move = base / stride;
            EmitSlots(output, width, height, window, base, stride, rows - move, rows);
            memmove(window + move * stride, window, static_cast<size_t>((rows - move) * stride));
            memset(window, 0, static_cast<size_t>(move * stride));
            base -= move * stride;
            out += move * stride;
        }
        result = DecodeRow(&state, out);
        if (end_row == height && BitsPastEnd(&state.reader) != 0) end_row = m;
        if (result != ERR_NONE) break;
    }
    if (result == ERR_NONE && callback != nullptr && callback(height, height, user) != 0)
        result = ERR_ABORTED;
    if (windowed) EmitSlots(output, width, height, window, base, stride, 0, rows);
    if (report != nullptr) {
        report->bits_used = BitsUsed(&state.reader);
        report->bits_past_end = BitsPastEnd(&state.reader);
        report->end_row = end_row;
    }
    return result;
}
