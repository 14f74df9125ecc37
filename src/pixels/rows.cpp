#include "pixels/rows.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pixels/digits.h"

void StartRowDecoder(RowDecoder *state, const BitReader *reader, WorkBlock *work, uint32_t width) {
    state->reader = *reader;
    state->work = work;
    state->countdown = 0;
    state->stride = RowStride(width);
    ResetOffsetList(&state->offsets);
    state->reach_down = 0;
    state->reach_up = 0;
    for (uint32_t i = 0; i < OFFSET_COUNT; i++) {
        const int64_t d = INITIAL_OFFSETS[i].dy * state->stride + PIXEL_BYTES * static_cast<int64_t>(INITIAL_OFFSETS[i].dx);
        state->delta[i] = d;
        if (-d > state->reach_down) state->reach_down = -d;
        if (d > state->reach_up) state->reach_up = d;
    }
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
    for (int32_t i = 0; i < 3; i++) {
        const int32_t c = STREAM_CHANNEL_BYTES[i];
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

// Copies len bytes (at least one Word, at most two) from s to d, which do
// not overlap, as a Word from each end: both loads before the stores.
template <typename Word>
__attribute__((always_inline)) inline void CopyHeadAndTail(uint8_t *d, const uint8_t *s, int64_t len) {
    Word head;
    Word tail;
    memcpy(&head, s, sizeof(Word));
    memcpy(&tail, s + len - static_cast<int64_t>(sizeof(Word)), sizeof(Word));
    memcpy(d, &head, sizeof(Word));
    memcpy(d + len - static_cast<int64_t>(sizeof(Word)), &tail, sizeof(Word));
}

// The same for a run whose source and destination lie inside the bitmap.
// Where the two do not overlap, in whole words, the last one overlapping
// the one before. Otherwise sixteen or eight bytes at a time where that
// gives the byte-by-byte result: a source at least that many bytes behind
// the destination, or ahead of it. A source 3 or 6 bytes behind (the
// previous one or two pixels of the row) repeats its pixels: 8-byte words
// of that pattern, 6 bytes apart.
inline void WriteRunInside(uint8_t *__restrict buf, int64_t out, int64_t src, int64_t len) {
    uint8_t *d = buf + out;
    const uint8_t *s = buf + src;
    const int64_t distance = out - src;
    if (distance >= len || distance <= -len) {
        if (len <= 16) {
            // Runs are at least MIN_RUN pixels, 6 bytes. Each word's size is
            // a constant, so that its copy is one load and one store.
            static_assert(PIXEL_BYTES * MIN_RUN >= 4, "a run covers two 4-byte words");
            if (len >= 8)
                CopyHeadAndTail<uint64_t>(d, s, len);
            else
                CopyHeadAndTail<uint32_t>(d, s, len);
            return;
        }
        int64_t i = 0;
        for (; i + 16 < len; i += 16) memcpy(d + i, s + i, 16);
        memcpy(d + len - 16, s + len - 16, 16);
        return;
    }
    int64_t i = 0;
    if (distance >= 16 || distance < 0) {
        for (; i + 16 <= len; i += 16) {
            uint8_t v[16];
            memcpy(v, s + i, 16);
            memcpy(d + i, v, 16);
        }
    }
    if (distance >= 8 || distance < 0) {
        for (; i + 8 <= len; i += 8) {
            uint64_t v;
            memcpy(&v, s + i, 8);
            memcpy(d + i, &v, 8);
        }
        if (distance >= 8 && i < len && len >= 8) {
            // The last 8 bytes again, the bytes they read all final: a
            // source at least 8 bytes behind.
            uint64_t v;
            memcpy(&v, s + len - 8, 8);
            memcpy(d + len - 8, &v, 8);
            return;
        }
    } else if (distance == 3 && len >= 8) {
        const uint64_t p = static_cast<uint64_t>(s[0]) | static_cast<uint64_t>(s[1]) << 8 | static_cast<uint64_t>(s[2]) << 16;
        const uint64_t q = p | p << 24 | p << 48;
        uint8_t pattern[8];
        for (int32_t k = 0; k < 8; k++) pattern[k] = static_cast<uint8_t>(q >> (8 * k));
        uint64_t v;
        memcpy(&v, pattern, 8);
        for (; i + 8 <= len; i += 6) memcpy(d + i, &v, 8);
        if (len % PIXEL_BYTES == 0) {
            // Whole pixels: the last 8 bytes begin one byte into the
            // pattern.
            const uint64_t r = q >> 8 | static_cast<uint64_t>(s[2]) << 56;
            for (int32_t k = 0; k < 8; k++) pattern[k] = static_cast<uint8_t>(r >> (8 * k));
            memcpy(&v, pattern, 8);
            memcpy(d + len - 8, &v, 8);
            return;
        }
    } else if (distance == 6 && len >= 8) {
        uint8_t pattern[8];
        memcpy(pattern, s, 6);
        memcpy(pattern + 6, s, 2);
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

// What a token subtracts from its reference, per channel, and where its
// escapes go. The channels sit in the order their escapes come in the
// stream: red in bits 0..7, green in 8..15, blue in 16..23; an escaped
// channel's byte is 0. Escape values packed in stream order, one byte each,
// go to their channels as
//
//     ((values & 0xff) << first_shift) | ((values & 0xffff00) << rest_shift)
//
// since the second and third escaped channels are the second and third
// channels or the third alone. Runs have no digits and no escapes.
struct LiteralCode {
    uint32_t sub;
    uint8_t escapes;
    uint8_t first_shift;
    uint8_t rest_shift;
    uint8_t unused;
};

struct LiteralCodes {
    LiteralCode code[TOKEN_SYMBOLS];
};

constexpr LiteralCodes MakeLiteralCodes() {
    LiteralCodes table{};
    for (uint32_t t = 0; t < LITERAL_TOKENS; t++) {
        const uint32_t digit[3] = {RedDigit(t), GreenDigit(t), BlueDigit(t)};
        LiteralCode c{};
        uint32_t at[3] = {0, 0, 0}; // the channels of the escapes, in order
        for (uint32_t i = 0; i < 3; i++) {
            if (digit[i] == ESCAPE_DIGIT)
                at[c.escapes++] = i;
            else
                c.sub |= static_cast<uint32_t>(static_cast<uint8_t>(DIGIT_VALUES[digit[i]])) << (8 * i);
        }
        c.first_shift = static_cast<uint8_t>(8 * at[0]);
        c.rest_shift = static_cast<uint8_t>(c.escapes >= 2 ? 8 * (at[1] - 1) : 0);
        table.code[t] = c;
    }
    return table;
}

constexpr LiteralCodes LITERAL_CODES = MakeLiteralCodes();

// Whole tokens' codes are indexed by their pair entry shifted down to the
// token: the token with the entry's mark of a whole token above it.
constexpr uint32_t PLAIN_INDEX_BIAS = PAIR_PLAIN >> PAIR_TOKEN_AT;
static_assert(PAIR_PLAIN_AT == PAIR_TOKEN_AT + 9 && PAIR_PLAIN_AT == 30,
              "the mark of a whole token sits right above the token, the entry's top bit 0");

// What a whole token writes: for a literal, what it subtracts from its
// reference besides its escape, in the pixel's byte order (the fourth byte
// 0), and where the escape the pair entry took goes: the shift of its first
// escaped channel in the pixel (0 without escapes, whose entries hold an
// escape value of 0); for a run, nothing to subtract. And the bytes it
// covers: a pixel's, or the run's.
struct PlainCode {
    uint32_t sub;
    uint16_t shift;
    uint16_t bytes;
};

struct PlainSubs {
    PlainCode code[PLAIN_INDEX_BIAS + TOKEN_SYMBOLS];
};

// The literal codes turned from stream order to the pixel's byte order.
constexpr PlainSubs MakePlainSubs() {
    PlainSubs table{};
    for (uint32_t t = 0; t < TOKEN_SYMBOLS; t++) {
        PlainCode c{};
        if (t < FIRST_RUN_TOKEN) {
            const LiteralCode l = LITERAL_CODES.code[t];
            for (int32_t i = 0; i < 3; i++) c.sub |= ((l.sub >> (8 * i)) & 0xff) << (8 * STREAM_CHANNEL_BYTES[i]);
            if (l.escapes != 0) c.shift = static_cast<uint16_t>(8 * STREAM_CHANNEL_BYTES[l.first_shift / 8]);
            c.bytes = PIXEL_BYTES;
        } else {
            c.bytes = static_cast<uint16_t>(PIXEL_BYTES * RunLength(t));
        }
        table.code[PLAIN_INDEX_BIAS + t] = c;
    }
    return table;
}

constexpr PlainSubs PLAIN_SUBS = MakePlainSubs();

// How one escape-table entry gives all the escapes a literal has left,
// by their number: the entry's bits that say it does, the field of their
// length and the mask of their values. None left always fit, in no bits:
// the entry is taken with ESCAPE_NONE_LEFT set, and its field of length 0.
// Three left never fit.
struct EscapePick {
    uint32_t whole;
    uint32_t length_at;
    uint32_t values;
    uint32_t unused;
};

struct EscapePicks {
    EscapePick pick[4];
};

constexpr uint32_t ESCAPE_NONE_LEFT = 1u << 31;
static_assert(ESCAPE_NONE_AT == 29 && ESCAPE_NONE_LEFT >> ESCAPE_NONE_AT == 4,
              "an escape entry's bits 29..31 are free: a field of length 0, then the mark");
constexpr EscapePicks ESCAPE_PICKS = {{{ESCAPE_NONE_LEFT, ESCAPE_NONE_AT, 0, 0},
                                       {63u << ESCAPE_ONE_AT, ESCAPE_ONE_AT, 0xff, 0},
                                       {ESCAPE_SECOND_FITS, ESCAPE_TWO_AT, 0xffff, 0},
                                       {0, 0, 0, 0}}};

// Where the fast loop stands: the reader's bits, the list, the output
// position and the tokens it may still decode. The careful loop takes over
// from exactly here.
struct FastState {
    uint64_t bits;
    int32_t held;
    const uint8_t *next;
    uint64_t order;
    int64_t out;
    int32_t budget;
};

// Top-ups of the fast loop's reader, 8 bytes each, moving on by at most 7:
// at most FAST_TOP_UPS in one token (one for every token, one more after a
// token or offset code longer than FAST_BITS, one before each escape
// decoded one by one, and one at the end of a token that leaves fewer bits
// than the next pair look-up takes). So a token needs FAST_LOOP_BYTES at
// hand at its start and moves the reader on by at most FAST_TOKEN_ADVANCE
// bytes.
constexpr int64_t FAST_TOP_UPS = 6;
constexpr int64_t FAST_TOKEN_ADVANCE = 7 * FAST_TOP_UPS;
constexpr int64_t FAST_LOOP_BYTES = 8 + 7 * (FAST_TOP_UPS - 1);

// Tops the fast loop's reader up to at least 56 bits: 8 bytes at `next`.
inline void TopUp(uint64_t *bits, uint64_t *held, const uint8_t **next) {
    uint64_t v;
    memcpy(&v, *next, 8);
    *bits |= __builtin_bswap64(v) >> *held;
    *next += (63 - *held) >> 3;
    *held |= 56;
}

// The fast loop's move to front of the list's entry w, which holds
// `chosen`: the entries before it move up by one and it goes first, the low
// 4 w + 4 bits (front_mask_w) taken from the list shifted.
inline uint64_t MovedToFront(uint64_t order, uint64_t chosen, uint64_t front_mask_w) {
    return order ^ ((((order << 4) | chosen) ^ order) & front_mask_w);
}

// Writes the pixel at d, not the last of its row, as its reference at s
// less `sub` (the pixel's byte order): the three channels at once, four
// bytes, the fourth of which the next token rewrites before anything reads
// it (a literal's reference at d reads it along, and uses none of it). The
// fast loop leaves each row's last pixel to the careful one, as the byte
// after it may belong to a row already decoded.
#if defined(__SSE2__)
__attribute__((always_inline)) inline void WritePixel(uint8_t *d, const uint8_t *s, __m128i sub) {
    _mm_storeu_si32(d, _mm_sub_epi8(_mm_loadu_si32(s), sub));
}
#endif

__attribute__((always_inline)) inline void WritePixel(uint8_t *d, const uint8_t *s, uint32_t sub) {
#if defined(__SSE2__)
    WritePixel(d, s, _mm_cvtsi32_si128(static_cast<int32_t>(sub)));
#else
    for (int32_t i = 0; i < PIXEL_BYTES; i++) d[i] = static_cast<uint8_t>(s[i] - (sub >> (8 * i)));
#endif
}

// WIDE_BYTES: what one whole token writes the wide way, and the reach of
// its reference's load, a literal or a run the pair entry marks whole.
static_assert(PIXEL_BYTES * PLAIN_RUN_PIXELS <= WIDE_BYTES, "a whole run takes one wide store");

#if defined(__x86_64__)
// Offsets in the row (dy 0) lie behind the pixel by at most 3 pixels, so
// that their bytes repeat within one wide load.
static_assert(-MIN_DX * PIXEL_BYTES <= WIDE_BYTES, "a reference in the row lies within one wide load");

// The byte shuffle of each offset's wide load, by its index in the initial
// list: a reference in the row, p bytes behind, repeats its p bytes, as a
// byte-by-byte copy does; one in a row above (ahead in memory, as rows are
// at least 3 pixels wide in the fast loop, and so bytes this token does not
// change) is taken as it is.
struct WideShuffles {
    alignas(16) uint8_t shuffle[OFFSET_COUNT][WIDE_BYTES];
};

constexpr WideShuffles MakeWideShuffles() {
    WideShuffles w{};
    for (uint32_t i = 0; i < OFFSET_COUNT; i++) {
        const int32_t behind = INITIAL_OFFSETS[i].dy == 0 ? -PIXEL_BYTES * INITIAL_OFFSETS[i].dx : 0;
        for (int32_t k = 0; k < WIDE_BYTES; k++) w.shuffle[i][k] = static_cast<uint8_t>(behind > 0 ? k % behind : k);
    }
    return w;
}

constexpr WideShuffles WIDE_SHUFFLES = MakeWideShuffles();

// A wide token needs WIDE_BYTES of its row, so rows narrower than this take
// none; in wider rows, the least a reference to a row above lies ahead of
// its pixel is more than the bytes a wide token may leave past the next
// one's pixel, so that no later token reads them.
constexpr uint32_t NARROWEST_WIDE_ROW = (WIDE_BYTES + PIXEL_BYTES - 1) / PIXEL_BYTES;
constexpr int64_t LeastAhead(uint32_t width) {
    int64_t least = INT64_MAX;
    for (const OffsetPair &o : INITIAL_OFFSETS) {
        if (o.dy == 0) continue;
        const int64_t ahead = o.dy * RowStride(width) + PIXEL_BYTES * o.dx;
        if (ahead < least) least = ahead;
    }
    return least;
}
static_assert(LeastAhead(NARROWEST_WIDE_ROW) > WIDE_BYTES - 1 - PIXEL_BYTES, "no token reads what a wide one leaves");
constexpr bool RowOffsetsLieBehind() {
    for (const OffsetPair &o : INITIAL_OFFSETS)
        if (o.dy < 0 || (o.dy == 0 && o.dx >= 0)) return false;
    return true;
}
static_assert(RowOffsetsLieBehind(), "offsets in the row lie behind the pixel, the others in rows above");

// SSSE3's byte shuffle, written out so that the one loop serves machines
// with it and without (the caller chooses at run time).
__attribute__((always_inline)) inline __m128i ShuffleBytes(__m128i v, __m128i order) {
    __asm__("pshufb %1, %0" : "+x"(v) : "xm"(order));
    return v;
}

// What a literal subtracts from its reference, as one byte shuffle: the
// shuffle's source holds the literal's escapes in stream order in bytes 0
// to 2 and its digits, stream order too, in bytes 4 to 6; `order` takes
// each of the pixel's bytes from the one that is its channel's (byte 3
// zero). The shuffle reads only order's low half, whose bytes 8 to 15 end
// up in bytes of the result no one uses.
struct alignas(16) LiteralShuffle {
    uint8_t order[8];
    uint64_t digits; // or-ed into the source above the escapes
};

struct LiteralShuffles {
    LiteralShuffle token[LITERAL_TOKENS];
};

constexpr LiteralShuffles MakeLiteralShuffles() {
    LiteralShuffles table{};
    for (uint32_t t = 0; t < LITERAL_TOKENS; t++) {
        const uint32_t digit[3] = {RedDigit(t), GreenDigit(t), BlueDigit(t)};
        LiteralShuffle l{};
        for (uint8_t &b : l.order) b = 0x80;
        uint8_t escapes = 0;
        for (int32_t i = 0; i < 3; i++)
            l.order[STREAM_CHANNEL_BYTES[i]] = digit[i] == ESCAPE_DIGIT ? escapes++ : static_cast<uint8_t>(4 + i);
        l.digits = static_cast<uint64_t>(LITERAL_CODES.code[t].sub) << 32;
        table.token[t] = l;
    }
    return table;
}

constexpr LiteralShuffles LITERAL_SHUFFLES = MakeLiteralShuffles();
#endif

// Writes literal t's pixel at d from its reference at s, with its escape
// values packed in stream order: by one byte shuffle where the loop has
// it, else by shifting them to their channels.
template <bool shuffle>
__attribute__((always_inline)) inline void WriteLiteralPixel(uint8_t *d, const uint8_t *s, uint32_t t,
                                                             uint32_t escaped) {
#if defined(__x86_64__)
    if (shuffle) {
        const LiteralShuffle *l = &LITERAL_SHUFFLES.token[t];
        const __m128i source = _mm_cvtsi64_si128(static_cast<int64_t>(escaped | l->digits));
        WritePixel(d, s, ShuffleBytes(source, _mm_load_si128(reinterpret_cast<const __m128i *>(l))));
        return;
    }
#endif
    const LiteralCode code = LITERAL_CODES.code[t];
    const uint32_t sub = code.sub | ((escaped & 0xff) << code.first_shift) | ((escaped & 0xffff00) << code.rest_shift);
    // From stream order (red, green, blue) to the pixel's.
    static_assert(RED_BYTE == 2 && GREEN_BYTE == 1 && BLUE_BYTE == 0, "the pixel's bytes are blue, green, red");
    WritePixel(d, s, __builtin_bswap32(sub) >> 8);
}

// One token whose pair entry holds it whole, after its top-up; false, with
// nothing changed, where the general path is to take it instead: a run
// that the wide way does not take, or a reference outside the bitmap. The
// wide way writes a literal or a short run as one WIDE_BYTES load,
// shuffle, subtract and store, where those bytes lie in the row (up to
// d_wide_end) and, with `checked`, the load inside the bitmap (wide_span);
// the bytes past the token's are the next tokens' to rewrite, and are zero
// again where the loop stops. Other literals are written as four bytes
// (literal_span).
template <bool checked, bool wide>
__attribute__((always_inline)) inline bool TakeWholeToken(uint32_t pair, uint64_t *bits, uint64_t *held,
                                                          uint64_t *order, uint8_t **d, uintptr_t d_wide_end,
                                                          const int64_t *delta, const uint64_t *front_mask,
                                                          const uint8_t *pixels, int64_t lo, uint64_t literal_span,
                                                          uint64_t wide_span) {
    const uint32_t w = PairOffset(pair);
    const uint64_t chosen = (*order >> (4 * w)) & 15;
    const int64_t step = delta[chosen];
    uint8_t *const out = *d;
    const PlainCode code = PLAIN_SUBS.code[pair >> PAIR_TOKEN_AT];
    const uint32_t sub = code.sub | PairEscapeValue(pair) << code.shift;
    const uint64_t from = static_cast<uint64_t>((out - pixels) + step - lo); // the reference, unsigned
#if defined(__x86_64__)
    if (wide && reinterpret_cast<uintptr_t>(out) <= d_wide_end && (!checked || from < wide_span)) {
        const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i *>(WIDE_SHUFFLES.shuffle[chosen]));
        const __m128i v = ShuffleBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(out + step)), shuffle);
        const __m128i differences = _mm_cvtsi32_si128(static_cast<int32_t>(sub));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_sub_epi8(v, differences));
    } else
#else
    (void)d_wide_end;
    (void)wide_span;
#endif
    {
        if (code.bytes != PIXEL_BYTES || (checked && from >= literal_span)) return false;
        WritePixel(out, out + step, sub);
    }
    *order = MovedToFront(*order, chosen, front_mask[w]);
    *bits <<= PairLength(pair);
    *held -= PairLength(pair);
    *d = out + code.bytes;
    return true;
}

// Tokens of one row the fast way: the budget leaves the reader
// FAST_LOOP_BYTES at hand for every token's top-ups and ends before a table
// set is due, and the picture is at least 3 pixels wide, so that a literal's
// reference never overlaps its own pixel. Each token starts with the reader
// topped up to at least 56 bits and takes at most 2 FAST_BITS for itself
// and its offset (longer codes are followed by a top-up) and 2 ESCAPE_BITS
// for escapes through the escape table, or 3 FAST_BITS for three escapes
// of one look-up each (escapes decoded one by one each come after a
// top-up), so no code runs out of bits. Without `checked`
// every reference and run of the row is known to lie inside the bitmap.
// With `whole_first`, tokens whole in their pair entry go a short way of
// their own (see WholeTokensFirst).
//
// Each token is decoded whole or not at all: at a bit sequence no code
// covers, a reference outside the bitmap or a run that would leave it, the
// reader is left topped up but before that token, and the rest of the state
// as it was, for the careful loop. Returns with state->out at or past
// out_end where a run ended the row; otherwise at its last pixel at the
// latest.
//
// The loop is bound by its chain of dependent look-ups, each waiting for
// the lengths of the one before, so a literal's escapes take as few as
// their codes allow: the pair entry may hold the first; one or two left
// whose codes fit take one look-up of the escape table, so that the next
// token waits for no second, and the entry's fields for their number come
// from a small table rather than a branch, which photographs, with one and
// two left in about equal shares, would mispredict often; otherwise two
// look-ups, whatever their number, without a further branch on it: the first gives one escape or two, the
// second the rest, none where none is left; codes the two do not cover are
// decoded one by one.
template <bool checked, bool wide, bool whole_first>
__attribute__((always_inline)) inline void FastTokensBody(FastState *state, const WorkBlock *__restrict work,
                                                          const int64_t *__restrict row_delta,
                                                          uint8_t *__restrict pixels, int64_t lo, int64_t hi,
                                                          int64_t out_end) {
    static_assert(2 * FAST_BITS + 2 * ESCAPE_BITS <= 56 && 5 * FAST_BITS <= 56, "a topped-up reader holds a whole token");
    uint64_t bits = state->bits;
    uint64_t held = static_cast<uint64_t>(state->held);
    const uint8_t *next = state->next;
    uint64_t order = state->order;
    uint8_t *d = pixels + state->out;
    uint8_t *const d_end = pixels + out_end;
    // As a number, as in the first rows of the bytes at hand it may lie
    // before them.
    const uintptr_t d_wide_end = reinterpret_cast<uintptr_t>(d_end) - WIDE_BYTES;
    int32_t budget = state->budget;
    // Copies on the stack, which need no register for their address.
    int64_t delta[OFFSET_COUNT];
    uint64_t front_mask[OFFSET_COUNT]; // the list's entries 0 to w
    for (uint32_t i = 0; i < OFFSET_COUNT; i++) {
        delta[i] = row_delta[i];
        front_mask[i] = (uint64_t{1} << (4 * i + 4)) - 1;
    }
    // A literal's reference lies inside the bitmap, its last byte before
    // its end, when src - lo < literal_span (unsigned); a whole token's
    // wide load, when src - lo < wide_span.
    const uint64_t literal_span = hi - lo > PIXEL_BYTES ? static_cast<uint64_t>(hi - lo - PIXEL_BYTES) : 0;
    const uint64_t wide_span = hi - lo >= WIDE_BYTES ? static_cast<uint64_t>(hi - lo - WIDE_BYTES + 1) : 0;
    // The row's last pixel is the careful loop's (see WritePixel); a run
    // that starts before it may cover it.
    uint8_t *const d_last = d_end - PIXEL_BYTES;
    while (d < d_last && budget > 0) {
        // The pair look-up takes the bits already held, at least PAIR_BITS
        // of them at every token's start, so that it does not wait for the
        // top-up's load, whose address depends on the last token's lengths.
        uint32_t pair = work->pairs[bits >> (64 - PAIR_BITS)];
        TopUp(&bits, &held, &next);
        if (whole_first && PairIsPlain(pair) &&
            TakeWholeToken<checked, wide>(pair, &bits, &held, &order, &d, d_wide_end, delta, front_mask,
                                          pixels, lo, literal_span, wide_span)) {
            // A token with nothing left to decode, whole in the pair entry;
            // then a second one on the same top-up, as the first leaves at
            // least 56 - PAIR_BITS bits. The second leaves at least
            // PAIR_BITS. Those the whole way does not take go the general
            // way below, after a top-up.
            static_assert(56 - 2 * PAIR_BITS >= PAIR_BITS, "two pairs on one top-up");
            budget--;
            if (d >= d_last || budget <= 0) break;
            pair = work->pairs[bits >> (64 - PAIR_BITS)];
            if (PairIsPlain(pair) && TakeWholeToken<checked, wide>(pair, &bits, &held, &order, &d, d_wide_end,
                                                                    delta, front_mask, pixels, lo, literal_span,
                                                                    wide_span)) {
                budget--;
                continue;
            }
            TopUp(&bits, &held, &next);
        }
        const uint64_t bits0 = bits;
        const uint64_t held0 = held;
        const uint8_t *const next0 = next;
        uint32_t t;
        uint32_t w;
        uint32_t n; // escapes left to decode
        if (PairLength(pair) != 0) {
            t = PairToken(pair);
            w = PairOffset(pair);
            n = PairEscapesLeft(pair);
            bits <<= PairLength(pair);
            held -= PairLength(pair);
        } else {
            // One by one, long codes too, then a top-up for the escapes;
            // the token from the pair entry where its code fits.
            uint32_t te = MakeEntry(PairToken(pair), PairTokenLength(pair));
            if (!PairHasTokenOnly(pair)) {
                te = work->token.fast[bits >> (64 - FAST_BITS)];
                if (EntryLength(te) == 0) te = FindLongCode(&work->token, bits >> (64 - MAX_CODE_LENGTH));
            }
            const uint32_t tl = EntryLength(te);
            uint32_t oe = work->offset.fast[(bits << tl) >> (64 - FAST_BITS)];
            if (EntryLength(oe) == 0) oe = FindLongCode(&work->offset, (bits << tl) >> (64 - MAX_CODE_LENGTH));
            const uint32_t ol = EntryLength(oe);
            if (tl == 0 || ol == 0 || tl + ol > held) break;
            t = EntrySymbol(te);
            w = EntrySymbol(oe);
            n = LITERAL_CODES.code[t].escapes;
            bits <<= tl + ol;
            held -= tl + ol;
            if (tl > FAST_BITS || ol > FAST_BITS) TopUp(&bits, &held, &next);
        }
        const uint64_t chosen = (order >> (4 * w)) & 15;
        const uint64_t moved = MovedToFront(order, chosen, front_mask[w]);
        const int64_t step = delta[chosen];

        if (t < FIRST_RUN_TOKEN) {
            if (checked && static_cast<uint64_t>((d - pixels) + step - lo) >= literal_span) {
                bits = bits0;
                held = held0;
                next = next0;
                break;
            }
            uint32_t escaped = 0; // in stream order
            if (!whole_first || n != 0) {
                // Without whole tokens first, whatever the number of
                // escapes left, none included: a branch on it would go
                // either way about as often as tokens with none left are
                // whole.
                const uint32_t a = work->escapes[bits >> (64 - ESCAPE_BITS)];
                uint32_t values = 0;
                const EscapePick pick = ESCAPE_PICKS.pick[n];
                if (((a | ESCAPE_NONE_LEFT) & pick.whole) != 0) {
                    // All that is left in one look-up: one escape, or two
                    // whose codes fit together; the next token waits for
                    // no second, and no branch tells the two apart.
                    values = (a >> ESCAPE_VALUES_AT) & pick.values;
                    const uint32_t length = (a >> pick.length_at) & 63;
                    bits <<= length;
                    held -= length;
                } else {
                    // The first look-up: one escape, or two where the literal
                    // has two or three and both codes fit.
                    const uint32_t several = 0u - static_cast<uint32_t>(n >= 2);
                    const uint32_t length_a = (a >> (several & ESCAPE_TWO_AT)) & 63;
                    const uint32_t taken = 1 + (several & (a >> ESCAPE_FITS_AT) & 1);
                    const uint32_t left = n - taken; // 0 to 2
                    const uint64_t bits_a = bits << length_a;
                    // The second: what is left, none, one or two.
                    const uint32_t b = work->escapes[bits_a >> (64 - ESCAPE_BITS)];
                    const uint32_t at_b =
                        (((ESCAPE_TWO_AT << 16) | (ESCAPE_ONE_AT << 8) | ESCAPE_NONE_AT) >> (8 * left)) & 0xff;
                    const uint32_t length_b = (b >> at_b) & 63;
                    bool done = false;
                    if ((length_a != 0) & ((left == 0) | (length_b != 0)) & ((left != 2) | EscapeSecondFits(b))) {
                        const uint32_t mask_a = 0xffu | (several & 0xff00u);
                        const uint32_t mask_b = (1u << (8 * left)) - 1;
                        values = ((a >> ESCAPE_VALUES_AT) & mask_a) | (((b >> ESCAPE_VALUES_AT) & mask_b) << (8 * taken));
                        bits = bits_a << length_b;
                        held -= length_a + length_b;
                        done = true;
                    } else if ((length_a != 0) & (left == 2) & (EscapeFirstLength(b) != 0)) {
                        // Three escapes, no two of them in one look-up: the
                        // third after the second, all three of at most
                        // FAST_BITS bits.
                        const uint64_t bits_b = bits_a << EscapeFirstLength(b);
                        const uint32_t c = work->escapes[bits_b >> (64 - ESCAPE_BITS)];
                        if (EscapeFirstLength(c) != 0) {
                            values = EscapeFirstValue(a) | EscapeFirstValue(b) << 8 | EscapeFirstValue(c) << 16;
                            bits = bits_b << EscapeFirstLength(c);
                            held -= length_a + EscapeFirstLength(b) + EscapeFirstLength(c);
                            done = true;
                        }
                    }
                    if (!done) {
                        // Codes that two look-ups do not cover: one by one, long
                        // ones too, each after a top-up.
                        values = 0;
                        bool missing = false;
                        for (uint32_t i = 0; i < n; i++) {
                            TopUp(&bits, &held, &next);
                            const uint32_t e = work->escapes[bits >> (64 - ESCAPE_BITS)];
                            uint32_t length = EscapeFirstLength(e);
                            uint32_t value = EscapeFirstValue(e);
                            if (length == 0) {
                                const uint32_t entry = FindLongCode(&work->escape, bits >> (64 - MAX_CODE_LENGTH));
                                length = EntryLength(entry);
                                value = EntrySymbol(entry) + ESCAPE_BIAS;
                            }
                            missing |= length == 0;
                            values |= value << (8 * i);
                            bits <<= length;
                            held -= length;
                        }
                        if (missing) {
                            bits = bits0;
                            held = held0;
                            next = next0;
                            break;
                        }
                    }
                    // Three escapes of one look-up each, or codes decoded
                    // one by one, may leave fewer bits than the next pair
                    // look-up takes.
                    if (held < PAIR_BITS) TopUp(&bits, &held, &next);
                }
                // In stream order: the first where the pair entry took it
                // (else its field is 0), then those decoded here.
                escaped = PairEscapeValue(pair) | values << (8 * PairTakesEscape(pair));
            }
            WriteLiteralPixel<wide>(d, d + step, t, escaped);
            d += PIXEL_BYTES;
        } else {
            const int64_t len = PIXEL_BYTES * static_cast<int64_t>(RunLength(t));
            if (checked) {
                const int64_t out = d - pixels;
                const int64_t src = out + step;
                if (src < lo || src > hi - len || out > hi - len) {
                    bits = bits0;
                    held = held0;
                    next = next0;
                    break;
                }
            }
            WriteRunInside(d, 0, step, len);
            d += len;
        }
        order = moved;
        budget--;
        // Every other way leaves at least PAIR_BITS for the next pair
        // look-up: from the 56 of the top-up, a pair entry or two codes of
        // FAST_BITS, then one look-up of the escape table or two.
        static_assert(56 - 2 * FAST_BITS - 2 * ESCAPE_BITS >= PAIR_BITS && PAIR_BITS <= 2 * FAST_BITS,
                      "a token of short codes leaves the next pair look-up its bits");
    }
    // A literal written as four bytes leaves its fourth, the first of the
    // next pixel, and a wide token the rest of its WIDE_BYTES, for the next
    // tokens to rewrite; where the loop stops, those bytes go back to what
    // the row's bytes not yet decoded hold: zero. So a stream that fails at
    // the next token leaves the bitmap exactly as the byte-by-byte decode
    // does.
    if (d < d_end) {
        const int64_t written = wide ? WIDE_BYTES : 1;
        memset(d, 0, static_cast<size_t>(d_end - d < written ? d_end - d : written));
    }
    state->bits = bits;
    state->held = static_cast<int32_t>(held);
    state->next = next;
    state->order = order;
    state->out = d - pixels;
    state->budget = budget;
}

// Whether the fast loop takes whole tokens first, the short way, under
// the current table set: where most tokens are whole (drawings, flat
// colours). Where many are not (photographs, noise), the branch between
// the two ways would often go the wrong way, and every token goes the
// general way, which decodes whole tokens all the same. A pair entry
// stands for the share of tokens its bits begin, so the share of entries
// that are whole is about that of the tokens: in drawings above 80%, in
// photographs 30 to 70%, in noise 10 to 20%.
constexpr uint32_t WHOLE_FIRST_ENTRIES = PAIR_SIZE * 70 / 100;
inline bool WholeTokensFirst(const WorkBlock *work) { return work->whole_entries >= WHOLE_FIRST_ENTRIES; }

using FastTokensFunction = void (*)(FastState *, const WorkBlock *, const int64_t *, uint8_t *, int64_t, int64_t,
                                    int64_t);

template <bool checked, bool whole_first>
__attribute__((noinline)) void FastTokensPlain(FastState *state, const WorkBlock *work, const int64_t *delta,
                                               uint8_t *pixels, int64_t lo, int64_t hi, int64_t out_end) {
    FastTokensBody<checked, false, whole_first>(state, work, delta, pixels, lo, hi, out_end);
}

// The loop's four kinds: [whole tokens first][every reference of the row
// inside the bitmap].
struct FastTokensSet {
    FastTokensFunction loop[2][2];
};

template <template <bool, bool> class Loop>
constexpr FastTokensSet MakeFastTokensSet() {
    return {{{Loop<true, false>::run, Loop<false, false>::run}, {Loop<true, true>::run, Loop<false, true>::run}}};
}

template <bool checked, bool whole_first>
struct PlainLoop {
    static constexpr FastTokensFunction run = FastTokensPlain<checked, whole_first>;
};

#if defined(__x86_64__)
// The same loop with the shifts of BMI2, which take their count from any
// register: the loop is mostly shifts by code lengths; and whole tokens
// written the wide way, with SSSE3's byte shuffle, which every machine
// with BMI2 has.
template <bool checked, bool whole_first>
__attribute__((noinline, target("bmi2"))) void FastTokensBmi2(FastState *state, const WorkBlock *work,
                                                              const int64_t *delta, uint8_t *pixels, int64_t lo,
                                                              int64_t hi, int64_t out_end) {
    FastTokensBody<checked, true, whole_first>(state, work, delta, pixels, lo, hi, out_end);
}

template <bool checked, bool whole_first>
struct Bmi2Loop {
    static constexpr FastTokensFunction run = FastTokensBmi2<checked, whole_first>;
};

FastTokensSet ChooseFastTokens() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("bmi2") && __builtin_cpu_supports("ssse3")) return MakeFastTokensSet<Bmi2Loop>();
    return MakeFastTokensSet<PlainLoop>();
}
#else
FastTokensSet ChooseFastTokens() { return MakeFastTokensSet<PlainLoop>(); }
#endif

// Runs the fast loop from the reader's state for at most `budget` tokens
// and brings the reader, the list, the output position and the countdown
// up to where it stopped.
inline void RunFastTokens(BitReader *r, OffsetList *list, int64_t *out, int32_t *tokens_left, int32_t budget,
                          bool inside, const WorkBlock *work, const int64_t *delta, uint8_t *pixels, int64_t lo,
                          int64_t hi, int64_t out_end) {
    static const FastTokensSet fast_tokens = ChooseFastTokens();
    FastState state{r->bits, r->held, r->next, list->order, *out, budget};
    fast_tokens.loop[WholeTokensFirst(work)][inside](&state, work, delta, pixels, lo, hi, out_end);
    r->bits = state.bits;
    r->held = state.held;
    r->next = state.next;
    list->order = state.order;
    *out = state.out;
    *tokens_left -= budget - state.budget;
}

// The token loop of one row: the fast loop for as far as it goes, then one
// token the careful way, with every check, and so on. The reader is copied
// into a local that never leaves this function, so that its bits stay in
// registers; restrict tells the compiler that pixel stores touch neither it
// nor the offset list.
int32_t DecodeTokens(BitReader *__restrict reader, OffsetList *__restrict offsets,
                     const int64_t *__restrict delta, int64_t reach_down, int64_t reach_up,
                     int32_t *__restrict countdown, WorkBlock *work, uint8_t *__restrict pixels, int64_t lo,
                     int64_t hi, int64_t out, int32_t width) {
    BitReader r = *reader;
    OffsetList list = *offsets;
    int32_t tokens_left = *countdown;
    int32_t result = ERR_NONE;
    const int64_t out_end = out + PIXEL_BYTES * static_cast<int64_t>(width);
    // Whether every reference and every run of the row lies inside the
    // bitmap: then the fast loop checks none.
    const bool inside = out - reach_down >= lo && out_end + reach_up + PIXEL_BYTES * static_cast<int64_t>(MAX_RUN) <= hi;
    int64_t begun = 0; // bytes of the token at out that hold what it wrote before it failed
    while (out < out_end) {
        begun = 0;
        if (width >= 3 && tokens_left > 0 && r.end - r.next >= FAST_LOOP_BYTES + 8) {
            // The fast loop starts with the bits of a pair look-up held
            // (and keeps them for every token); then as many tokens as
            // have their top-ups all inside the data.
            if (r.held < PAIR_BITS) FillBits(&r);
            const int64_t room = (r.end - r.next - FAST_LOOP_BYTES) / FAST_TOKEN_ADVANCE + 1;
            const int32_t budget = room < tokens_left ? static_cast<int32_t>(room) : tokens_left;
            RunFastTokens(&r, &list, &out, &tokens_left, budget, inside, work, delta, pixels, lo, hi, out_end);
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
            // Cleared first (they hold zero or what a fast token left past
            // its own bytes), so that a literal whose escapes fail midway
            // leaves the channels it did not write zero.
            memset(pixels + out, 0, PIXEL_BYTES);
            begun = PIXEL_BYTES;
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
    if (result != ERR_NONE && out + begun < out_end) {
        // Past the tokens written, a row that stops holds zeros, whatever
        // its bytes held before.
        memset(pixels + out + begun, 0, static_cast<size_t>(out_end - out - begun));
    }
    *reader = r;
    *offsets = list;
    *countdown = tokens_left;
    return result;
}

} // namespace

int32_t DecodeRow(RowDecoder *s, int64_t out) {
    // The state's own fields, not copies: a copy made here and written back
    // would go through memory as whole records while the token loop reads
    // and writes them field by field, and the processor cannot forward such
    // stores to such loads.
    return DecodeTokens(&s->reader, &s->offsets, s->delta, s->reach_down, s->reach_up, &s->countdown, s->work,
                        s->bytes, s->lo, s->hi, out, s->width);
}
