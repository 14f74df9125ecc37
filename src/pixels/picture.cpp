#include "pixels/picture.h"

#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
// The other layouts sixteen bytes at a time through SSSE3's byte shuffle:
// five pixels a step into 3-byte pixels, four into 4-byte ones. A step
// loads 16 bytes of the row and stores 16 of the output (the last of a
// 3-byte step is the next pixel's first byte, rewritten by the step after),
// so the steps stop while 6 pixels are left, which go byte by byte.
// Returns the pixels done.
static_assert(RED_BYTE == 2 && GREEN_BYTE == 1 && BLUE_BYTE == 0, "the bitmap's pixels are blue, green, red");
constexpr uint32_t SHUFFLE_TAIL = 6;

__attribute__((target("ssse3"))) uint32_t ConvertShuffled(int32_t layout, uint8_t *out, const uint8_t *row,
                                                            uint32_t width) {
    uint32_t x = 0;
    if (width < SHUFFLE_TAIL) return 0;
    const uint32_t last = width - SHUFFLE_TAIL;
    if (layout == LAYOUT_RGB) {
        const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
        for (; x <= last; x += 5) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 3 * x));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * x), _mm_shuffle_epi8(v, order));
        }
    } else if (layout == LAYOUT_RGBA || layout == LAYOUT_BGRA) {
        const __m128i order = layout == LAYOUT_RGBA
                                  ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                                  : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
        const __m128i alpha = _mm_set1_epi32(static_cast<int32_t>(0xff000000u));
        for (; x <= last; x += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 3 * x));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * x),
                             _mm_or_si128(_mm_shuffle_epi8(v, order), alpha));
        }
    }
    return x;
}

bool ShuffleAvailable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

uint32_t ConvertFast(int32_t layout, uint8_t *out, const uint8_t *row, uint32_t width) {
    static const bool shuffle = ShuffleAvailable();
    return shuffle ? ConvertShuffled(layout, out, row, width) : 0;
}
#else
uint32_t ConvertFast(int32_t, uint8_t *, const uint8_t *, uint32_t) { return 0; }
#endif

// One bitmap row into the output, in the output's layout: the pixels the
// shuffle leaves, if any, byte by byte.
void EmitRow(const PictureOutput *o, uint32_t width, uint32_t height, uint32_t m, const uint8_t *row,
             int64_t stride) {
    const int32_t layout = o->layout;
    if (layout == LAYOUT_DIB) {
        memcpy(o->pixels + static_cast<int64_t>(height - 1 - m) * o->stride, row, static_cast<size_t>(stride));
        return;
    }
    uint8_t *out = o->pixels + static_cast<int64_t>(m) * o->stride;
    if (layout == LAYOUT_BGR) {
        memcpy(out, row, static_cast<size_t>(width) * PIXEL_BYTES);
        return;
    }
    const uint32_t done = ConvertFast(layout, out, row, width);
    row += static_cast<size_t>(done) * PIXEL_BYTES;
    switch (layout) {
    case LAYOUT_RGB:
        out += static_cast<size_t>(done) * 3;
        for (uint32_t x = done; x < width; x++, out += 3, row += PIXEL_BYTES) {
            out[0] = row[RED_BYTE];
            out[1] = row[GREEN_BYTE];
            out[2] = row[BLUE_BYTE];
        }
        break;
    case LAYOUT_RGBA:
        out += static_cast<size_t>(done) * 4;
        for (uint32_t x = done; x < width; x++, out += 4, row += PIXEL_BYTES) {
            out[0] = row[RED_BYTE];
            out[1] = row[GREEN_BYTE];
            out[2] = row[BLUE_BYTE];
            out[3] = 255;
        }
        break;
    case LAYOUT_BGRA:
        out += static_cast<size_t>(done) * 4;
        for (uint32_t x = done; x < width; x++, out += 4, row += PIXEL_BYTES) {
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
    // In place, the rows not yet decoded hold what the caller's buffer
    // held: each row gets zero only where its tokens may read before they
    // write, and a decode that stops clears what it did not reach.
    int64_t reached = in_place ? static_cast<int64_t>(height) * stride : 0; // where the rows decoded begin
    for (uint32_t m = 0; m < height; m++) {
        if (callback != nullptr && callback(m, height, user) != 0) {
            result = ERR_ABORTED;
            break;
        }
        int64_t out = static_cast<int64_t>(height - 1 - m) * stride - base;
        if (in_place && stride != 0) {
            const int64_t below = out >= REACH_BEHIND ? out - REACH_BEHIND : 0;
            const int64_t tail = stride > REACH_BEHIND ? out + stride - REACH_BEHIND : out;
            memset(state.bytes + below, 0, static_cast<size_t>(out - below));
            memset(state.bytes + tail, 0, static_cast<size_t>(out + stride - tail));
            // The row clears what it does not reach itself.
            reached = out;
        }
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
    if (result != ERR_NONE && in_place && reached != 0) memset(state.bytes, 0, static_cast<size_t>(reached));
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
