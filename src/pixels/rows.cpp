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
void WriteRunCarefully(uint8_t *buf, int64_t lo, int64_t hi, int64_t out, int64_t src, int64_t len) {
    if (len > hi - out) len = hi - out;
    if (src >= hi) {
        memset(buf + out, 0, static_cast<size_t>(len));
        return;
    }
    int64_t i = 0;
    while (i < len && src + i < lo) buf[out + i++] = 0;
    const int64_t inside = hi - src < len ? hi - src : len; // source bytes inside the bitmap
    for (; i < inside; i++) buf[out + i] = buf[src + i];
    if (i < len) memset(buf + out + i, 0, static_cast<size_t>(len - i));
}

// The same for a run whose source and destination lie inside the bitmap.
// Eight bytes at a time where that gives the byte-by-byte result: a source
// at least 8 bytes behind the destination, or ahead of it. A source 3 or 6
// bytes behind (the previous one or two pixels of the row) repeats its
// pixels: 8-byte words of that pattern, 6 bytes apart.
inline void WriteRunInside(uint8_t *__restrict buf, int64_t out, int64_t src, int64_t len) {
    uint8_t *d = buf + out;
    const uint8_t *s = buf + src;
    const int64_t distance = out - src;
    int64_t i = 0;
    if (distance >= 8 || distance < 0) {
        for (; i + 8 <= len; i += 8) {
            uint64_t v;
            memcpy(&v, s + i, 8);
            memcpy(d + i, &v, 8);
        }
    } else if ((distance == 3 || distance == 6) && len >= 8) {
        uint8_t pattern[8];
        for (int32_t k = 0; k < 8; k++) pattern[k] = s[k % distance];
        uint64_t v;
        memcpy(&v, pattern, 8);
        for (; i + 8 <= len; i += 6) memcpy(d + i, &v, 8);
    }
    for (; i < len; i++) d[i] = s[i];
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

// What a literal token subtracts from its reference, per channel, and
// which channels take an escape symbol instead:
//
//     bits  0..23  the digit values as bytes (blue, green, red); 0 where escaped
//     bits 24..25  the number of escaped channels
//     bits 26..31  the byte (0 to 2) of the first, second and third escaped
//                  channel, red first, two bits each
struct LiteralTable {
    uint32_t info[LITERAL_TOKENS];
};

constexpr LiteralTable MakeLiteralTable() {
    LiteralTable table{};
    for (uint32_t t = 0; t < LITERAL_TOKENS; t++) {
        const uint32_t digit[3] = {RedDigit(t), GreenDigit(t), BlueDigit(t)};
        const uint32_t byte[3] = {RED_BYTE, GREEN_BYTE, BLUE_BYTE};
        uint32_t info = 0;
        uint32_t escapes = 0;
        for (uint32_t i = 0; i < 3; i++) {
            if (digit[i] == ESCAPE_DIGIT) {
                info |= byte[i] << (26 + 2 * escapes);
                escapes++;
            } else {
                info |= static_cast<uint32_t>(static_cast<uint8_t>(DIGIT_VALUES[digit[i]])) << (8 * byte[i]);
            }
        }
        table.info[t] = info | escapes << 24;
    }
    return table;
}

constexpr LiteralTable LITERALS = MakeLiteralTable();

constexpr uint32_t EscapeCount(uint32_t info) { return (info >> 24) & 3; }
// The shift that puts escape i (0 to 2) of a literal into its byte.
constexpr uint32_t EscapeShift(uint32_t info, uint32_t i) { return ((info >> (26 + 2 * i)) & 3) * 8; }

// Masks of the move to front of list entry w: the entries below it and
// those above it, four bits each.
struct MoveMasks {
    uint64_t below[OFFSET_COUNT];
    uint64_t above[OFFSET_COUNT];
};

constexpr MoveMasks MakeMoveMasks() {
    MoveMasks m{};
    for (uint32_t w = 0; w < OFFSET_COUNT; w++) {
        m.below[w] = (uint64_t{1} << (4 * w)) - 1;
        m.above[w] = ~((uint64_t{1} << (4 * w + 4)) - 1);
    }
    return m;
}

constexpr MoveMasks MOVE_MASKS = MakeMoveMasks();

// Where the fast loop stands: the reader's bits, the list, the output
// position and the countdown. The careful loop takes over from exactly here.
struct FastState {
    uint64_t bits;
    int32_t held;
    const uint8_t *next;
    uint64_t order;
    int64_t out;
    int32_t tokens_left;
};

// Bytes the fast loop needs ahead of the reader at the start of a token: it
// tops up twice (the first time only when it holds too few bits for the pair
// look-up), each load taking 8 bytes and moving on by at most 7.
constexpr int64_t FAST_LOOP_BYTES = 8 + 7;

// Tokens of one row the fast way, for as long as every one of them can be
// decoded without a check beyond "is the code in the table": the reader has
// FAST_LOOP_BYTES at hand for its top-ups, no table set is due, and the
// picture is at least 3 pixels wide, so that a literal's reference never
// overlaps its own pixel. Each token starts with the reader topped up to at least 56
// bits, and takes at most 2 FAST_BITS for itself and its offset and
// 3 FAST_BITS for its escapes, so no code runs out of bits.
//
// Each token is decoded whole or not at all: at a code not in the main or
// pair tables, a reference outside the bitmap or a run that would leave it,
// the reader is left topped up but before that token, and the rest of the
// state as it was, for the careful loop. Returns with state->out at or past
// out_end when the row is done.
//
// The escapes of a literal are decoded without a branch on which channels
// they belong to: the first one or two from the escape pair table (or the
// main table for a single one), then a third from the main table, kept or
// not by the count.
__attribute__((always_inline)) inline void FastTokensBody(FastState *state, const WorkBlock *__restrict work,
                                                          const int64_t *__restrict delta,
                                                          uint8_t *__restrict pixels, int64_t lo, int64_t hi,
                                                          int64_t out_end, const uint8_t *stop) {
    static_assert(2 * FAST_BITS + 3 * FAST_BITS <= 56, "a topped-up reader holds a whole token");
    uint64_t bits = state->bits;
    int32_t held = state->held;
    const uint8_t *next = state->next;
    uint64_t order = state->order;
    int64_t out = state->out;
    int32_t tokens_left = state->tokens_left;
    // A literal's reference lies inside the bitmap, its last byte before
    // its end, when src - lo < literal_span (unsigned).
    const uint64_t literal_span = hi - lo > PIXEL_BYTES ? static_cast<uint64_t>(hi - lo - PIXEL_BYTES) : 0;
    for (;;) {
        if (out >= out_end) break;
        if (tokens_left <= 0) break;
        if (next > stop) break;
        // The pair look-up takes the bits already held, where there are
        // enough of them (nearly always: a token takes 20 bits or so of the
        // 56 it starts with), so that it does not wait for the top-up's
        // load, whose address depends on the last token's lengths.
        if (held < PAIR_BITS) {
            uint64_t v;
            memcpy(&v, next, 8);
            bits |= __builtin_bswap64(v) >> held;
            next += (63 - held) >> 3;
            held |= 56;
        }
        const uint32_t pair = work->pairs[bits >> (64 - PAIR_BITS)];
        {
            uint64_t v;
            memcpy(&v, next, 8);
            bits |= __builtin_bswap64(v) >> held;
            next += (63 - held) >> 3;
            held |= 56;
        }
        const uint64_t bits0 = bits;
        const int32_t held0 = held;
        uint32_t t;
        uint32_t w;
        if (PairLength(pair) != 0) {
            t = PairToken(pair);
            w = PairOffset(pair);
            bits <<= PairLength(pair);
            held -= static_cast<int32_t>(PairLength(pair));
        } else {
            const uint32_t te = work->token.fast[bits >> (64 - FAST_BITS)];
            const uint32_t tl = EntryLength(te);
            const uint32_t oe = work->offset.fast[(bits << tl) >> (64 - FAST_BITS)];
            const uint32_t ol = EntryLength(oe);
            if (tl == 0 || ol == 0) break;
            t = EntrySymbol(te);
            w = EntrySymbol(oe);
            bits <<= tl + ol;
            held -= static_cast<int32_t>(tl + ol);
        }
        // Move to front.
        const uint64_t chosen = (order >> (4 * w)) & 15;
        const uint64_t moved =
            (order & MOVE_MASKS.above[w]) | ((order & MOVE_MASKS.below[w]) << 4) | chosen;
        const int64_t src = out + delta[chosen];

        if (t < FIRST_RUN_TOKEN) {
            if (static_cast<uint64_t>(src - lo) >= literal_span) {
                bits = bits0;
                held = held0;
                break;
            }
            const uint32_t info = LITERALS.info[t];
            uint32_t sub = info & 0xffffff;
            const uint32_t n = EscapeCount(info);
            if (n != 0) {
                const uint32_t both = work->escape_pairs[bits >> (64 - PAIR_BITS)];
                const uint32_t one = work->escape.fast[bits >> (64 - FAST_BITS)];
                // All ones where the literal has two escapes or more, three;
                // selections by mask rather than by branch, as escape counts
                // follow no pattern a predictor could learn.
                const uint32_t two = 0u - static_cast<uint32_t>(n >= 2);
                const uint32_t three = 0u - static_cast<uint32_t>(n == 3);
                if ((n >= 2) & (PairLength(both) == 0)) {
                    // The first two escapes do not fit the pair table: one by one.
                    bool missing = false;
                    for (uint32_t i = 0; i < n; i++) {
                        const uint32_t e = work->escape.fast[bits >> (64 - FAST_BITS)];
                        missing |= EntryLength(e) == 0;
                        sub |= (EntrySymbol(e) + ESCAPE_BIAS) << EscapeShift(info, i);
                        bits <<= EntryLength(e);
                        held -= static_cast<int32_t>(EntryLength(e));
                    }
                    if (missing) {
                        bits = bits0;
                        held = held0;
                        break;
                    }
                } else {
                    const uint32_t first_length = (PairLength(both) & two) | (EntryLength(one) & ~two);
                    const uint32_t first = (PairFirst(both) & two) | (EntrySymbol(one) & ~two);
                    const uint64_t rest = bits << first_length;
                    const uint32_t third = work->escape.fast[rest >> (64 - FAST_BITS)];
                    const uint32_t third_length = EntryLength(third) & three;
                    if ((first_length == 0) | ((third_length == 0) & (n == 3))) {
                        bits = bits0;
                        held = held0;
                        break;
                    }
                    sub |= (first + ESCAPE_BIAS) << EscapeShift(info, 0);
                    sub |= ((PairSecond(both) + ESCAPE_BIAS) << EscapeShift(info, 1)) & two;
                    sub |= ((EntrySymbol(third) + ESCAPE_BIAS) << EscapeShift(info, 2)) & three;
                    bits = rest << third_length;
                    held -= static_cast<int32_t>(first_length + third_length);
                }
            }
            const uint8_t *s = pixels + src;
            uint8_t *d = pixels + out;
            d[RED_BYTE] = static_cast<uint8_t>(s[RED_BYTE] - (sub >> 16));
            d[GREEN_BYTE] = static_cast<uint8_t>(s[GREEN_BYTE] - (sub >> 8));
            d[BLUE_BYTE] = static_cast<uint8_t>(s[BLUE_BYTE] - sub);
            out += PIXEL_BYTES;
        } else {
            const int64_t len = PIXEL_BYTES * static_cast<int64_t>(RunLength(t));
            if (src < lo || src > hi - len || out > hi - len) {
                bits = bits0;
                held = held0;
                break;
            }
            WriteRunInside(pixels, out, src, len);
            out += len;
        }
        order = moved;
        tokens_left--;
    }
    state->bits = bits;
    state->held = held;
    state->next = next;
    state->order = order;
    state->out = out;
    state->tokens_left = tokens_left;
}

using FastTokensFunction = void (*)(FastState *, const WorkBlock *, const int64_t *, uint8_t *, int64_t, int64_t,
                                    int64_t, const uint8_t *);

__attribute__((noinline)) void FastTokensPlain(FastState *state, const WorkBlock *work, const int64_t *delta,
                                               uint8_t *pixels, int64_t lo, int64_t hi, int64_t out_end,
                                               const uint8_t *stop) {
    FastTokensBody(state, work, delta, pixels, lo, hi, out_end, stop);
}

#if defined(__x86_64__)
// The same loop with the shifts of BMI2, which take their count from any
// register: the loop is mostly shifts by code lengths.
__attribute__((noinline, target("bmi2"))) void FastTokensBmi2(FastState *state, const WorkBlock *work,
                                                              const int64_t *delta, uint8_t *pixels, int64_t lo,
                                                              int64_t hi, int64_t out_end, const uint8_t *stop) {
    FastTokensBody(state, work, delta, pixels, lo, hi, out_end, stop);
}

FastTokensFunction ChooseFastTokens() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2") ? FastTokensBmi2 : FastTokensPlain;
}
#else
FastTokensFunction ChooseFastTokens() { return FastTokensPlain; }
#endif

// Runs the fast loop from the reader's state and brings the reader, the
// list, the output position and the countdown up to where it stopped.
inline void RunFastTokens(BitReader *r, OffsetList *list, int64_t *out, int32_t *tokens_left,
                          const WorkBlock *work, const int64_t *delta, uint8_t *pixels, int64_t lo, int64_t hi,
                          int64_t out_end) {
    static const FastTokensFunction fast_tokens = ChooseFastTokens();
    FastState state{r->bits, r->held, r->next, list->order, *out, *tokens_left};
    fast_tokens(&state, work, delta, pixels, lo, hi, out_end, r->end - FAST_LOOP_BYTES);
    r->bits = state.bits;
    r->held = state.held;
    r->next = state.next;
    list->order = state.order;
    *out = state.out;
    *tokens_left = state.tokens_left;
}

// The token loop of one row: the fast loop for as far as it goes, then one
// token the careful way, with every check, and so on. The reader is copied
// into a local that never leaves this function, so that its bits stay in
// registers; restrict tells the compiler that pixel stores touch neither it
// nor the offset list.
int32_t DecodeTokens(BitReader *__restrict reader, OffsetList *__restrict offsets,
                     const int64_t *__restrict delta, int32_t *__restrict countdown, WorkBlock *work,
                     uint8_t *__restrict pixels, int64_t lo, int64_t hi, int64_t out, int32_t width) {
    BitReader r = *reader;
    OffsetList list = *offsets;
    int32_t tokens_left = *countdown;
    int32_t result = ERR_NONE;
    const int64_t out_end = out + PIXEL_BYTES * static_cast<int64_t>(width);
    while (out < out_end) {
        if (width >= 3 && tokens_left > 0 && r.end - r.next >= FAST_LOOP_BYTES) {
            RunFastTokens(&r, &list, &out, &tokens_left, work, delta, pixels, lo, hi, out_end);
            if (out >= out_end) break;
        }
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
        } else {
            const int64_t len = PIXEL_BYTES * static_cast<int64_t>(RunLength(t));
            if (src >= lo && src <= hi - len && out <= hi - len)
                WriteRunInside(pixels, out, src, len);
            else
                WriteRunCarefully(pixels, lo, hi, out, src, len);
            out += len;
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
