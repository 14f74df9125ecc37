#include "pixels/rows.h"

#include <string.h>

#include "pixels/digits.h"

const OffsetPair INITIAL_OFFSETS[OFFSET_COUNT] = {
    {-1, 0}, {0, 1}, {1, 1}, {-1, 1}, {2, 1}, {-2, 1}, {-2, 0}, {0, 2}, {1, 2}, {-1, 2}, {-3, 0},
};

void ResetOffsetList(OffsetList *list) {
    for (int32_t i = 0; i < OFFSET_COUNT; i++) list->entries[i] = INITIAL_OFFSETS[i];
}

OffsetPair MoveToFront(OffsetList *list, uint32_t w) {
    OffsetPair chosen = list->entries[w];
    for (uint32_t i = w; i > 0; i--) list->entries[i] = list->entries[i - 1];
    list->entries[0] = chosen;
    return chosen;
}

void StartRowDecoder(RowDecoder *state, InputSource source, WorkBlock *work, uint8_t *pixels,
                     uint32_t width, uint32_t height) {
    StartBitReader(&state->reader, source);
    state->work = work;
    ResetOffsetList(&state->offsets);
    state->countdown = 0;
    state->pixels = pixels;
    state->stride = RowStride(width);
    state->size = state->stride * static_cast<int64_t>(height);
    state->width = static_cast<int32_t>(width);
    state->height = static_cast<int32_t>(height);
}

// One channel of a literal: the difference from the digit table, or an
// explicit one from the escape alphabet.
static inline int32_t ChannelDifference(RowDecoder *s, int8_t digit, uint32_t *v) {
    if (digit != DIGIT_ESCAPE) {
        *v = static_cast<uint32_t>(static_cast<int32_t>(digit));
        return ERR_NONE;
    }
    uint32_t e = 0;
    int32_t result = DecodeSymbol(&s->reader, &s->work->escape, &e);
    *v = e + 3;
    return result;
}

// Writes a literal pixel at out from the reference at src. Channels go red,
// green, blue, each reading its reference byte only after the previous
// channel was written, so that a reference overlapping the pixel itself
// (widths 1 and 2) sees the new bytes. A reference that starts within the
// last 3 bytes of the buffer or past it is black; bytes before the buffer's
// start read as zero.
static int32_t WriteLiteral(RowDecoder *s, uint32_t t, int64_t out, int64_t src) {
    uint8_t *buf = s->pixels;
    const bool black = src + 3 >= s->size;
    const int8_t digits[3] = {DigitTables.first[t], DigitTables.second[t], DigitTables.third[t]};
    for (int32_t i = 0; i < 3; i++) {
        const int32_t c = 2 - i; // byte 2 is red, 1 green, 0 blue
        uint32_t v = 0;
        int32_t result = ChannelDifference(s, digits[i], &v);
        if (result != ERR_NONE) return result;
        uint32_t ref = 0;
        if (!black && src + c >= 0) ref = buf[src + c];
        buf[out + c] = static_cast<uint8_t>(ref - v);
    }
    return ERR_NONE;
}

// Copies a run of 3n bytes from src to out in ascending order, one byte at a
// time where source and destination overlap, so that the copy repeats the
// bytes it has just written. Source bytes outside the buffer read as zero;
// writes past the buffer's end are dropped.
static void WriteRun(RowDecoder *s, int64_t out, int64_t src, int64_t len) {
    uint8_t *buf = s->pixels;
    const int64_t size = s->size;
    if (len > size - out) len = size - out;
    if (src >= size) {
        memset(buf + out, 0, static_cast<size_t>(len));
        return;
    }
    int64_t i = 0;
    while (i < len && src + i < 0) buf[out + i++] = 0;
    const int64_t distance = out - src;
    const int64_t inside = size - src < len ? size - src : len; // source bytes inside the buffer
    if (distance >= inside || distance <= -inside) {
        memcpy(buf + out + i, buf + src + i, static_cast<size_t>(inside - i));
        i = inside;
    } else {
        for (; i < inside; i++) buf[out + i] = buf[src + i];
    }
    if (i < len) memset(buf + out + i, 0, static_cast<size_t>(len - i));
}

int32_t DecodeRow(RowDecoder *s, int32_t m) {
    int64_t out = static_cast<int64_t>(s->height - 1 - m) * s->stride;
    int32_t count = 0;
    WorkBlock *work = s->work;
    while (count < s->width) {
        int32_t result;
        if (s->countdown == 0) {
            result = ReadTableSet(&s->reader, work);
            if (result != ERR_NONE) return result;
            s->countdown = REBUILD_PERIOD - 1;
        } else {
            s->countdown--;
        }
        uint32_t t = 0;
        uint32_t w = 0;
        result = DecodeSymbol(&s->reader, &work->token, &t);
        if (result != ERR_NONE) return result;
        result = DecodeSymbol(&s->reader, &work->offset, &w);
        if (result != ERR_NONE) return result;
        const OffsetPair o = MoveToFront(&s->offsets, w);
        const int64_t src = out + o.dy * s->stride + 3 * static_cast<int64_t>(o.dx);
        if (t < FIRST_RUN_TOKEN) {
            result = WriteLiteral(s, t, out, src);
            if (result != ERR_NONE) return result;
            out += 3;
            count++;
        } else {
            const int32_t n = static_cast<int32_t>(t - RUN_TOKEN_BIAS);
            WriteRun(s, out, src, 3 * static_cast<int64_t>(n));
            out += 3 * static_cast<int64_t>(n);
            count += n;
        }
    }
    return ERR_NONE;
}
