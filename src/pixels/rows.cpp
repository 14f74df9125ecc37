#include "pixels/rows.h"

#include <string.h>

#include "pixels/digits.h"

void StartRowDecoder(RowDecoder *state, const BitReader *reader, WorkBlock *work, uint32_t width) {
    state->reader = *reader;
    state->work = work;
    state->countdown = 0;
    state->stride = RowStride(width);
    ResetOffsetList(&state->offsets);
    for (uint32_t i = 0; i < OFFSET_COUNT; i++)
        state->delta[i] = INITIAL_OFFSETS[i].dy * state->stride + PIXEL_BYTES * static_cast<int64_t>(INITIAL_OFFSETS[i].dx);
    state->width = static_cast<int32_t>(width);
    state->bytes = nullptr;
    state->lo = 0;
    state->hi = 0;
}

namespace {

// Writes a literal pixel at out from the reference at src, the general way.
// Channels go red, green, blue, each reading its reference byte only after
// the previous channel was written, so that a reference overlapping the
// pixel itself (widths 1 and 2) sees the new bytes. Escaped channels take
// their difference from the escape alphabet. A reference that starts within
// the last 3 bytes of the bitmap or past it is black; bytes before the
// bitmap's start read as zero.
int32_t WriteLiteral(BitReader *reader, const DecodeTable *escape, uint8_t *buf, int64_t lo, int64_t hi,
                     uint32_t t, int64_t out, int64_t src) {
    const bool black = src + PIXEL_BYTES >= hi;
    const int8_t digits[3] = {DigitTables.first[t], DigitTables.second[t], DigitTables.third[t]};
    const int32_t channel[3] = {RED_BYTE, GREEN_BYTE, BLUE_BYTE};
    for (int32_t i = 0; i < 3; i++) {
        const int32_t c = channel[i];
        uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(digits[i]));
        if (digits[i] == DIGIT_ESCAPE) {
            uint32_t e = 0;
            int32_t result = DecodeSymbol(reader, escape, &e);
            if (result != ERR_NONE) return result;
            v = e + ESCAPE_BIAS;
        }
        uint32_t ref = 0;
        if (!black && src + c >= lo) ref = buf[src + c];
        buf[out + c] = static_cast<uint8_t>(ref - v);
    }
    return ERR_NONE;
}

// Copies a run of len bytes from src to out in ascending order, one byte at
// a time where source and destination overlap, so that the copy repeats the
// bytes it has just written. Source bytes outside the bitmap read as zero;
// writes past its end are dropped.
void WriteRun(uint8_t *buf, int64_t lo, int64_t hi, int64_t out, int64_t src, int64_t len) {
    if (len > hi - out) len = hi - out;
    if (src >= hi) {
        memset(buf + out, 0, static_cast<size_t>(len));
        return;
    }
    int64_t i = 0;
    while (i < len && src + i < lo) buf[out + i++] = 0;
    const int64_t distance = out - src;
    const int64_t inside = hi - src < len ? hi - src : len; // source bytes inside the bitmap
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

// Decodes one symbol with the reader's state in the local copy `r`: the
// one-look-up way, or the careful way through the caller's reader, brought
// up to date and read back, so that `r` itself never needs an address.
inline int32_t NextSymbol(BitReader *r, BitReader *shared, const DecodeTable *d, uint32_t *symbol) {
    if (r->held < FAST_BITS) {
        if (r->end - r->next >= 8) {
            FillBits(r);
        } else {
            *shared = *r;
            RefillBits(shared);
            *r = *shared;
        }
    }
    if (TakeSymbol(r, d, symbol)) return ERR_NONE;
    // Through a variable of its own, so that the caller's symbol need not
    // live in memory.
    uint32_t slow_symbol = 0;
    *shared = *r;
    int32_t result = DecodeSlow(shared, d, &slow_symbol);
    *r = *shared;
    *symbol = slow_symbol;
    return result;
}

// The token loop of one row. The reader is copied into a local that never
// leaves this function, so that its bits stay in registers; restrict tells
// the compiler that pixel stores touch neither it nor the offset list.
int32_t DecodeTokens(BitReader *__restrict reader, OffsetList *__restrict offsets,
                     const int64_t *__restrict delta, int32_t *__restrict countdown, WorkBlock *work,
                     uint8_t *__restrict pixels, int64_t lo, int64_t hi, int64_t out, int32_t width) {
    BitReader r = *reader;
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
        if (r.held < 2 * FAST_BITS && r.end - r.next >= 8) FillBits(&r);
        if (!TakePair(&r, work->pairs, &t, &w)) {
            if (!TakeSymbol(&r, &work->token, &t)) {
                result = NextSymbol(&r, reader, &work->token, &t);
                if (result != ERR_NONE) break;
            }
            if (!TakeSymbol(&r, &work->offset, &w)) {
                result = NextSymbol(&r, reader, &work->offset, &w);
                if (result != ERR_NONE) break;
            }
        }
        const int64_t src = out + delta[MoveToFrontIndex(&list, w)];
        if (t < FIRST_RUN_TOKEN) {
            const int8_t dr = DigitTables.first[t];
            const int8_t dg = DigitTables.second[t];
            const int8_t db = DigitTables.third[t];
            if (src >= lo && src + PIXEL_BYTES < hi) {
                // The reference is inside the bitmap. Still red first, each
                // read after the previous write.
                uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(dr));
                if (dr == DIGIT_ESCAPE) {
                    result = NextSymbol(&r, reader, &work->escape, &v);
                    if (result != ERR_NONE) break;
                    v += ESCAPE_BIAS;
                }
                pixels[out + RED_BYTE] = static_cast<uint8_t>(pixels[src + RED_BYTE] - v);
                v = static_cast<uint32_t>(static_cast<int32_t>(dg));
                if (dg == DIGIT_ESCAPE) {
                    result = NextSymbol(&r, reader, &work->escape, &v);
                    if (result != ERR_NONE) break;
                    v += ESCAPE_BIAS;
                }
                pixels[out + GREEN_BYTE] = static_cast<uint8_t>(pixels[src + GREEN_BYTE] - v);
                v = static_cast<uint32_t>(static_cast<int32_t>(db));
                if (db == DIGIT_ESCAPE) {
                    result = NextSymbol(&r, reader, &work->escape, &v);
                    if (result != ERR_NONE) break;
                    v += ESCAPE_BIAS;
                }
                pixels[out + BLUE_BYTE] = static_cast<uint8_t>(pixels[src + BLUE_BYTE] - v);
            } else {
                *reader = r;
                result = WriteLiteral(reader, &work->escape, pixels, lo, hi, t, out, src);
                r = *reader;
                if (result != ERR_NONE) break;
            }
            out += PIXEL_BYTES;
            count++;
        } else {
            const int32_t n = static_cast<int32_t>(RunLength(t));
            WriteRun(pixels, lo, hi, out, src, PIXEL_BYTES * static_cast<int64_t>(n));
            out += PIXEL_BYTES * static_cast<int64_t>(n);
            count += n;
        }
    }
    *reader = r;
    *offsets = list;
    *countdown = tokens_left;
    return result;
}

} // namespace

int32_t DecodeRow(RowDecoder *s, int64_t out) {
    BitReader reader = s->reader;
    OffsetList offsets = s->offsets;
    int32_t countdown = s->countdown;
    int32_t result = DecodeTokens(&reader, &offsets, s->delta, &countdown, s->work, s->bytes, s->lo, s->hi, out,
                                  s->width);
    s->reader = reader;
    s->offsets = offsets;
    s->countdown = countdown;
    return result;
}
