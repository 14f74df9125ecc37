#include "pixels/rows.h"

#include <string.h>

#include "pixels/digits.h"

const OffsetPair INITIAL_OFFSETS[OFFSET_COUNT] = {
    {-1, 0}, {0, 1}, {1, 1}, {-1, 1}, {2, 1}, {-2, 1}, {-2, 0}, {0, 2}, {1, 2}, {-1, 2}, {-3, 0},
};

void StartRowDecoder(RowDecoder *state, InputSource source, WorkBlock *work, uint8_t *pixels,
                     uint32_t width, uint32_t height) {
    StartStreamReader(&state->reader, source, work->input);
    state->work = work;
    state->countdown = 0;
    state->pixels = pixels;
    state->stride = RowStride(width);
    ResetOffsetList(&state->offsets);
    for (int32_t i = 0; i < OFFSET_COUNT; i++)
        state->delta[i] = INITIAL_OFFSETS[i].dy * state->stride + 3 * static_cast<int64_t>(INITIAL_OFFSETS[i].dx);
    state->size = state->stride * static_cast<int64_t>(height);
    state->width = static_cast<int32_t>(width);
    state->height = static_cast<int32_t>(height);
}

// Writes a literal pixel at out from the reference at src, the general way.
// Channels go red, green, blue, each reading its reference byte only after
// the previous channel was written, so that a reference overlapping the
// pixel itself (widths 1 and 2) sees the new bytes. Escaped channels take
// their difference from the escape alphabet. A reference that starts within
// the last 3 bytes of the buffer or past it is black; bytes before the
// buffer's start read as zero.
static int32_t WriteLiteral(StreamReader *reader, const PrefixDecoder *escape, uint8_t *buf,
                            int64_t size, uint32_t t, int64_t out, int64_t src) {
    const bool black = src + 3 >= size;
    const int8_t digits[3] = {DigitTables.first[t], DigitTables.second[t], DigitTables.third[t]};
    for (int32_t i = 0; i < 3; i++) {
        const int32_t c = 2 - i; // byte 2 is red, 1 green, 0 blue
        uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(digits[i]));
        if (digits[i] == DIGIT_ESCAPE) {
            uint32_t e = 0;
            int32_t result = DecodeSymbol(reader, escape, &e);
            if (result != ERR_NONE) return result;
            v = e + 3;
        }
        uint32_t ref = 0;
        if (!black && src + c >= 0) ref = buf[src + c];
        buf[out + c] = static_cast<uint8_t>(ref - v);
    }
    return ERR_NONE;
}

// Copies a run of len bytes from src to out in ascending order, one byte at
// a time where source and destination overlap, so that the copy repeats the
// bytes it has just written. Source bytes outside the buffer read as zero;
// writes past the buffer's end are dropped.
static void WriteRun(uint8_t *buf, int64_t size, int64_t out, int64_t src, int64_t len) {
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
        // No overlap: whole words, most runs being short.
        uint8_t *d = buf + out;
        const uint8_t *s = buf + src;
        for (; i + 8 <= inside; i += 8) memcpy(d + i, s + i, 8);
        for (; i < inside; i++) d[i] = s[i];
    } else {
        for (; i < inside; i++) buf[out + i] = buf[src + i];
    }
    if (i < len) memset(buf + out + i, 0, static_cast<size_t>(len - i));
}

// Takes a symbol from the wide table when the code is there and its bits
// are held; false sends the caller the general way.
static inline bool TakeFastSymbol(StreamReader *r, const PrefixDecoder *d, uint32_t *symbol) {
    const FastEntry entry = d->fast[r->bits >> (64 - FAST_BITS)];
    if (entry.length == 0 || entry.length > r->held) return false;
    DropBits(r, entry.length);
    *symbol = entry.symbol;
    return true;
}

// Decodes one symbol with the reader's state in a local copy `r`; the slow
// ways get the caller's reader, brought up to date and read back.
static inline int32_t TakeSymbol(StreamReader *r, StreamReader *shared, const PrefixDecoder *d,
                                 uint32_t *symbol) {
    if (r->held < FAST_BITS) {
        if (r->end - r->next >= 8) {
            FillStream(r);
        } else {
            *shared = *r;
            RefillStream(shared);
            *r = *shared;
        }
    }
    if (TakeFastSymbol(r, d, symbol)) return ERR_NONE;
    // Through a variable of its own, so that the caller's symbol need not
    // live in memory.
    uint32_t slow_symbol = 0;
    *shared = *r;
    int32_t result = DecodeSymbol<StreamReader>(shared, d, &slow_symbol);
    *r = *shared;
    *symbol = slow_symbol;
    return result;
}

// The token loop of one row. The reader is copied into a local that never
// leaves this function, so that its bits stay in registers; restrict tells
// the compiler that pixel stores touch neither it nor the offset list.
static int32_t DecodeTokens(StreamReader *__restrict reader, OffsetList *__restrict offsets,
                            const int64_t *__restrict delta, int32_t *__restrict countdown,
                            WorkBlock *work,
                            uint8_t *__restrict pixels, int64_t size, int64_t out, int32_t width) {
    StreamReader r = *reader;
    OffsetList list = *offsets;
    int32_t tokens_left = *countdown;
    int32_t result = ERR_NONE;
    int32_t count = 0;
    while (count < width) {
        if (tokens_left == 0) {
            *reader = r;
            result = ReadTableSet(reader, work);
            r = *reader;
            if (result != ERR_NONE) break;
            tokens_left = REBUILD_PERIOD - 1;
        } else {
            tokens_left--;
        }
        uint32_t t = 0;
        uint32_t w = 0;
        // One top-up serves both symbols when their codes are short.
        if (r.held < 2 * FAST_BITS && r.end - r.next >= 8) FillStream(&r);
        const PairEntry pair = work->pairs[r.bits >> (64 - PAIR_BITS)];
        if (pair.length != 0 && pair.length <= r.held) {
            DropBits(&r, pair.length);
            t = pair.token;
            w = pair.offset;
        } else {
            if (!TakeFastSymbol(&r, &work->token, &t)) {
                result = TakeSymbol(&r, reader, &work->token, &t);
                if (result != ERR_NONE) break;
            }
            if (!TakeFastSymbol(&r, &work->offset, &w)) {
                result = TakeSymbol(&r, reader, &work->offset, &w);
                if (result != ERR_NONE) break;
            }
        }
        const int64_t src = out + delta[MoveToFrontIndex(&list, w)];
        if (t < FIRST_RUN_TOKEN) {
            const int8_t dr = DigitTables.first[t];
            const int8_t dg = DigitTables.second[t];
            const int8_t db = DigitTables.third[t];
            if (src >= 0 && src + 3 < size) {
                // The reference is inside the buffer. Still red first, each
                // read after the previous write.
                uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(dr));
                if (dr == DIGIT_ESCAPE) {
                    result = TakeSymbol(&r, reader, &work->escape, &v);
                    if (result != ERR_NONE) break;
                    v += 3;
                }
                pixels[out + 2] = static_cast<uint8_t>(pixels[src + 2] - v);
                v = static_cast<uint32_t>(static_cast<int32_t>(dg));
                if (dg == DIGIT_ESCAPE) {
                    result = TakeSymbol(&r, reader, &work->escape, &v);
                    if (result != ERR_NONE) break;
                    v += 3;
                }
                pixels[out + 1] = static_cast<uint8_t>(pixels[src + 1] - v);
                v = static_cast<uint32_t>(static_cast<int32_t>(db));
                if (db == DIGIT_ESCAPE) {
                    result = TakeSymbol(&r, reader, &work->escape, &v);
                    if (result != ERR_NONE) break;
                    v += 3;
                }
                pixels[out] = static_cast<uint8_t>(pixels[src] - v);
            } else {
                *reader = r;
                result = WriteLiteral(reader, &work->escape, pixels, size, t, out, src);
                r = *reader;
                if (result != ERR_NONE) break;
            }
            out += 3;
            count++;
        } else {
            const int32_t n = static_cast<int32_t>(t - RUN_TOKEN_BIAS);
            WriteRun(pixels, size, out, src, 3 * static_cast<int64_t>(n));
            out += 3 * static_cast<int64_t>(n);
            count += n;
        }
    }
    *reader = r;
    *offsets = list;
    *countdown = tokens_left;
    return result;
}

int32_t DecodeRow(RowDecoder *s, int32_t m) {
    StreamReader reader = s->reader;
    OffsetList offsets = s->offsets;
    int32_t countdown = s->countdown;
    const int64_t out = static_cast<int64_t>(s->height - 1 - m) * s->stride;
    int32_t result = DecodeTokens(&reader, &offsets, s->delta, &countdown, s->work, s->pixels, s->size, out,
                                  s->width);
    s->reader = reader;
    s->offsets = offsets;
    s->countdown = countdown;
    return result;
}
