// The PXCM encoder.
//
// The decoder rebuilds every pixel from a reference position in its own
// bottom-up buffer, so the encoder works on the same byte layout: the
// picture is copied into a zero-padded H x S buffer (the "target"), and the
// bytes a token would read are taken from it with the decoder's rules for
// what is already decoded at that moment. Only the current row's own tail
// and the rows below it are still zero while a row is decoded, and both
// are the same whatever tokens came before, so every choice of token at a
// position can be judged without knowing how the row was parsed up to it.
//
// Parsing goes row by row. For every offset and every position of the row
// the encoder first works out the longest legal run and the literal token
// (with its escapes); a greedy parser (low effort) or a shortest-path
// parser over the row (higher effort) then picks tokens by their estimated
// cost in bits. Costs come from the symbol statistics of the previous pass,
// per table-set block; the best of the passes is written.
#include "encoder/encoder.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "encoder/lanes.h"
#include "encoder/writer.h"

namespace {

// The format's facts as the signed integers this file computes with.
constexpr int32_t NTOKEN = static_cast<int32_t>(TOKEN_SYMBOLS);
constexpr int32_t NESCAPE = static_cast<int32_t>(ESCAPE_SYMBOLS);
constexpr int32_t NLITERAL = static_cast<int32_t>(LITERAL_TOKENS);
constexpr int32_t RUN_BIAS = static_cast<int32_t>(RUN_TOKEN_BIAS); // run token t copies t - RUN_BIAS pixels
constexpr int32_t RUN_MIN = static_cast<int32_t>(MIN_RUN);
constexpr int32_t RUN_MAX = static_cast<int32_t>(MAX_RUN);
constexpr int32_t BLOCK_TOKENS = REBUILD_PERIOD;
// Sampled passes parse the rows m with Sampled(m): pairs of neighbouring
// rows, a pair in every SAMPLE_PERIOD, so that both parities are seen.
constexpr int32_t SAMPLE_PERIOD = 4;
inline bool Sampled(size_t m) { return m % SAMPLE_PERIOD < 2; }
constexpr int32_t MAX_CODE_BITS = 16;
constexpr uint8_t NO_LITERAL = 0xFF;
constexpr uint8_t NO_ESCAPE = ESCAPE_SYMBOLS; // stored for channels without escape; costs nothing

// The decoder's initial list; the encoder names offsets by their index there.
constexpr const OffsetPair *OFFSETS = INITIAL_OFFSETS;

struct Token {
    uint16_t symbol;    // 0 to 341
    uint8_t offset;     // position in the move-to-front list
    uint8_t escapes[3]; // escape symbols, red first; NO_ESCAPE for channels without one
};

// A run token: no escapes.
inline Token RunToken(int32_t length, int32_t list_position) {
    return Token{static_cast<uint16_t>(RUN_BIAS + length), static_cast<uint8_t>(list_position),
                 {NO_ESCAPE, NO_ESCAPE, NO_ESCAPE}};
}

struct Costs {
    float token[NTOKEN];
    float offset[NOFFSET];
    float escape[NESCAPE + 1]; // the last is NO_ESCAPE's, 0
};

struct Counts {
    uint64_t token[NTOKEN];
    uint64_t offset[NOFFSET];
    uint64_t escape[NESCAPE];
};

// The picture as the decoder's buffer will hold it.
struct Target {
    std::vector<uint8_t> bytes; // height * stride, trailing bytes zero
    int64_t size;
    int64_t stride;
    int32_t width;
    int32_t height;
};

// What every offset offers at every position of one row.
struct RowChoices {
    int32_t width;
    // Position by position, every offset's entries side by side, as the
    // parsers read them: [x * NOFFSET + offset].
    std::vector<uint8_t> run;      // longest legal run, 0 if below 2; RUN_PAD bytes past the last position
    std::vector<uint32_t> literal; // the literal as PackLiteral packs it; NO_LITERAL if the reference is illegal
    std::vector<uint16_t> runs;    // [x]: bit k set where offset k has a run; FULL_RUN where one runs to the cap
};

// A literal token and the escape symbols of its channels (NO_ESCAPE where
// a channel has none) in one word, so that pricing it takes one load: the
// token in the low byte, the escapes above it in byte order.
inline uint32_t PackLiteral(uint32_t token, const uint8_t *escapes) {
    return token | uint32_t{escapes[0]} << 8 | uint32_t{escapes[1]} << 16 | uint32_t{escapes[2]} << 24;
}
inline uint32_t LiteralOf(uint32_t packed) { return packed & 0xFF; }
inline uint32_t ByteEscape(uint32_t packed, int32_t byte) { return (packed >> (8 + 8 * byte)) & 0xFF; }
inline uint32_t RedEscape(uint32_t packed) { return ByteEscape(packed, RED_BYTE); }
inline uint32_t GreenEscape(uint32_t packed) { return ByteEscape(packed, GREEN_BYTE); }
inline uint32_t BlueEscape(uint32_t packed) { return ByteEscape(packed, BLUE_BYTE); }

static_assert(NOFFSET < 15, "the run masks hold a bit per offset");

// The run entries are read a vector at a time, every offset's of one
// position in one load: room past the last position for the bytes the
// load takes beyond its NOFFSET.
constexpr int32_t RUN_PAD = 16 - NOFFSET;

// Working space of PrepareRow.
struct RowScratch {
    std::vector<uint8_t> diffs;   // every byte of a stretch minus the one it takes
    std::vector<uint8_t> literal; // one offset's literal tokens
    std::vector<uint8_t> escapes; // and their escape symbols, 3 per position in byte order
};

// Which channels of a token carry an escape: bit 0 red, 1 green, 2 blue.
struct EscapeChannels {
    uint8_t of[NTOKEN];
    constexpr EscapeChannels() : of() {
        for (int32_t t = 0; t < NLITERAL; t++)
            of[t] = static_cast<uint8_t>((RedDigit(t) == ESCAPE_DIGIT ? 1 : 0) | (GreenDigit(t) == ESCAPE_DIGIT ? 2 : 0) |
                                         (BlueDigit(t) == ESCAPE_DIGIT ? 4 : 0));
    }
};
constexpr EscapeChannels ESCAPE_CHANNELS;

// One literal channel: the digit and, for digit 0, the escape symbol.
inline int32_t ChannelDigit(uint8_t ref, uint8_t out, uint8_t *escape) {
    uint32_t e = NO_ESCAPE;
    const uint32_t digit = DigitFor(ref, out, &e);
    *escape = static_cast<uint8_t>(e);
    return static_cast<int32_t>(digit);
}

// A byte as the decoder sees it while it writes byte `limit` of row
// `row_start`: rows above are decoded, the current row up to `limit`, the
// rest is still zero. `a` lies inside the buffer.
inline uint8_t SeenByte(const Target &t, int64_t a, int64_t row_start, int64_t limit) {
    if (a >= row_start + t.stride) return t.bytes[a];
    if (a >= row_start && a < limit) return t.bytes[a];
    return 0;
}

// The literal and longest run of offset k at position x, byte by byte with
// the decoder's full rules. Used where the reference lies left of the row
// (x + dx < 0), where it can land on bytes that are not decoded yet.
void ExactChoice(const Target &t, int64_t row_start, int32_t x, int32_t k, uint8_t *literal,
                 uint8_t *escapes, int32_t *run) {
    const int64_t out = row_start + 3 * static_cast<int64_t>(x);
    const int64_t src = out + OFFSETS[k].dy * t.stride + 3 * static_cast<int64_t>(OFFSETS[k].dx);
    *literal = NO_LITERAL;
    *run = 0;
    if (src < 0) return; // before the buffer: never referenced
    const uint8_t *want = &t.bytes[out];
    const int32_t cap = std::min(RUN_MAX, t.width - x);
    // Literal: channels red, green, blue; a reference byte inside the pixel
    // itself is seen after the channels before it were written.
    const bool black = src + 3 >= t.size;
    uint32_t digit[3] = {}; // by byte: blue, green, red
    for (int32_t c = RED_BYTE; c >= BLUE_BYTE; c--) {
        const int64_t a = src + c;
        uint8_t ref = 0;
        if (!black) {
            if (a >= out && a < out + 3 && a - out > c)
                ref = t.bytes[a];
            else
                ref = SeenByte(t, a, row_start, out);
        }
        digit[c] = static_cast<uint32_t>(ChannelDigit(ref, want[c], &escapes[c]));
    }
    *literal = static_cast<uint8_t>(LiteralToken(digit[RED_BYTE], digit[GREEN_BYTE], digit[BLUE_BYTE]));
    // Run: a source starting past the end writes zeros; one starting inside
    // must stay inside. Overlapping copies repeat what they just wrote.
    int32_t n = 0;
    if (src >= t.size) {
        while (n < cap && want[3 * n] == 0 && want[3 * n + 1] == 0 && want[3 * n + 2] == 0) n++;
    } else {
        for (; n < cap; n++) {
            bool same = true;
            for (int32_t c = 0; c < 3 && same; c++) {
                const int64_t j = 3 * static_cast<int64_t>(n) + c;
                const int64_t a = src + j;
                same = a < t.size && SeenByte(t, a, row_start, out + j) == want[j];
            }
            if (!same) break;
        }
    }
    *run = n >= 2 ? n : 0;
}

// Reference byte minus picture byte over a stretch, in a form the compiler
// turns into vector code.
void ByteDiffs(const uint8_t *ref, const uint8_t *want, int32_t n, uint8_t *diff) {
    for (int32_t j = 0; j < n; j++) diff[j] = static_cast<uint8_t>(ref[j] - want[j]);
}

// By byte of the pixel and by the difference there (reference minus
// picture): the channel's share of the packed literal, its digit weighted
// as LiteralToken weighs it and its escape symbol (NO_ESCAPE for none) in
// its byte. A pixel's three shares add up to PackLiteral of its literal.
struct DiffShares {
    uint32_t of[PIXEL_BYTES][256];
    constexpr DiffShares() : of() {
        for (int32_t d = 0; d < 256; d++) {
            uint32_t escape = NO_ESCAPE;
            const uint32_t digit = DigitFor(static_cast<uint8_t>(d), 0, &escape);
            of[BLUE_BYTE][d] = LiteralToken(0, 0, digit) | escape << (8 + 8 * BLUE_BYTE);
            of[GREEN_BYTE][d] = LiteralToken(0, digit, 0) | escape << (8 + 8 * GREEN_BYTE);
            of[RED_BYTE][d] = LiteralToken(digit, 0, 0) | escape << (8 + 8 * RED_BYTE);
        }
    }
};
constexpr DiffShares DIFF_SHARES;
static_assert(LiteralToken(0, 0, 0) == 0, "the channels' shares of a token add up");

inline uint32_t PackedFromDiffs(const uint8_t *d) {
    return DIFF_SHARES.of[BLUE_BYTE][d[BLUE_BYTE]] + DIFF_SHARES.of[GREEN_BYTE][d[GREEN_BYTE]] +
           DIFF_SHARES.of[RED_BYTE][d[RED_BYTE]];
}

// Fills the choices of every offset at every position of image row m.
// PLAIN works out each literal channel by channel and each position's run
// marks offset by offset, rather than by table and vector compare.
template <bool PLAIN>
void PrepareRow(const Target &t, int32_t m, RowChoices *rc, RowScratch *scratch) {
    const int32_t w = t.width;
    rc->width = w;
    rc->run.resize(static_cast<size_t>(NOFFSET) * w + RUN_PAD);
    rc->literal.resize(static_cast<size_t>(NOFFSET) * w);
    rc->runs.resize(static_cast<size_t>(w));
    scratch->diffs.resize(static_cast<size_t>(w) * 3);
    scratch->literal.resize(static_cast<size_t>(w));
    scratch->escapes.resize(static_cast<size_t>(w) * 3);
    const int64_t row_start = static_cast<int64_t>(t.height - 1 - m) * t.stride;
    const uint8_t *bytes = t.bytes.data();
    constexpr uint8_t UNCHANGED[PIXEL_BYTES] = {};
    const uint32_t same = PackedFromDiffs(UNCHANGED); // every channel unchanged, no escapes
    for (int32_t k = 0; k < NOFFSET; k++) {
        const OffsetPair o = OFFSETS[k];
        const int64_t delta = o.dy * t.stride + 3 * static_cast<int64_t>(o.dx);
        uint8_t *lit = scratch->literal.data();
        uint8_t *esc = scratch->escapes.data();
        // This offset's entries, NOFFSET apart.
        uint8_t *run = rc->run.data() + k;
        uint32_t *packed = rc->literal.data() + k;
        // From the first position whose reference is within the row's
        // columns on, the bytes read are final picture bytes (the run's own
        // output included, as it repeats them), so plain comparisons of the
        // target suffice, run lengths chained from the right. Up to `fast`
        // the reference pixel also ends before the buffer's last byte, so
        // the whole stretch is compared at once.
        const int32_t first = std::min(w, std::max(0, -o.dx));
        const int64_t room = t.size - 4 - row_start - delta - 3 * static_cast<int64_t>(first);
        const int32_t fast =
            room < 0 ? first : static_cast<int32_t>(std::min<int64_t>(w, first + room / 3 + 1));
        const uint8_t *diffs = scratch->diffs.data();
        if (fast > first) {
            const int64_t out = row_start + 3 * static_cast<int64_t>(first);
            ByteDiffs(bytes + out + delta, bytes + out, 3 * (fast - first), scratch->diffs.data());
        }
        // Past `fast` (rows whose references may leave the buffer): pixel by pixel.
        int32_t chain = 0;
        bool next_beyond = false;
        for (int32_t x = w - 1; x >= fast; x--) {
            const int64_t out = row_start + 3 * static_cast<int64_t>(x);
            const int64_t src = out + delta;
            const uint8_t *want = bytes + out;
            const bool beyond = src >= t.size;
            bool same_pixel;
            if (beyond) {
                same_pixel = want[0] == 0 && want[1] == 0 && want[2] == 0;
            } else {
                same_pixel = src + 3 <= t.size && memcmp(bytes + src, want, 3) == 0;
            }
            uint8_t ref[3] = {0, 0, 0};
            if (src + 3 < t.size) memcpy(ref, bytes + src, 3);
            uint8_t *e = esc + 3 * x;
            lit[x] = static_cast<uint8_t>(
                LiteralToken(ChannelDigit(ref[RED_BYTE], want[RED_BYTE], &e[RED_BYTE]),
                             ChannelDigit(ref[GREEN_BYTE], want[GREEN_BYTE], &e[GREEN_BYTE]),
                             ChannelDigit(ref[BLUE_BYTE], want[BLUE_BYTE], &e[BLUE_BYTE])));
            packed[NOFFSET * x] = PackLiteral(lit[x], e);
            // A run may not start inside the buffer and go on past its end.
            const int32_t follow = (beyond == next_beyond) ? chain : 0;
            chain = same_pixel ? 1 + follow : 0;
            next_beyond = beyond;
            const int32_t n = std::min(std::min(chain, RUN_MAX), w - x);
            run[NOFFSET * x] = static_cast<uint8_t>(n >= 2 ? n : 0);
        }
        // Below `fast` nothing lies beyond the buffer: a run goes on while
        // the literal would leave every channel unchanged, up to `end`.
        int32_t end = next_beyond ? fast : fast + chain;
        for (int32_t x = fast - 1; x >= first; x--) {
            const uint8_t *d = diffs + 3 * (x - first);
            uint32_t p = 0;
            if constexpr (PLAIN) {
                uint8_t e[3];
                uint32_t digit[3];
                for (int32_t c = 0; c < 3; c++) digit[c] = static_cast<uint32_t>(ChannelDigit(d[c], 0, &e[c]));
                p = PackLiteral(LiteralToken(digit[RED_BYTE], digit[GREEN_BYTE], digit[BLUE_BYTE]), e);
            } else {
                p = PackedFromDiffs(d);
            }
            packed[NOFFSET * x] = p;
            end = p == same ? end : x;
            const int32_t n = std::min(end - x, RUN_MAX);
            run[NOFFSET * x] = static_cast<uint8_t>(n >= 2 ? n : 0);
        }
        for (int32_t x = 0; x < first; x++) {
            int32_t n = 0;
            ExactChoice(t, row_start, x, k, &lit[x], esc + 3 * x, &n);
            run[NOFFSET * x] = static_cast<uint8_t>(n);
            packed[NOFFSET * x] = PackLiteral(lit[x], esc + 3 * x);
        }
    }
    // Where some offset has a run: its bit, and FULL_RUN if one runs to the cap.
    const uint8_t *run = rc->run.data();
    uint16_t *runs = rc->runs.data();
    for (int32_t x = 0; x < w; x++) {
        const uint8_t *r = run + static_cast<size_t>(NOFFSET) * x;
        const int32_t cap = std::min(RUN_MAX, w - x);
        if constexpr (PLAIN) {
            runs[x] = 0;
            for (int32_t k = 0; k < NOFFSET; k++)
                if (r[k] != 0) runs[x] |= static_cast<uint16_t>(1u << k | (r[k] == cap ? FULL_RUN : 0));
        } else {
            runs[x] = RunBits(r, cap);
        }
    }
}

// Room for the literal costs of one position, escapes included, by offset;
// infinite where the reference is illegal.
constexpr int32_t COST_STRIDE = 12;
// Token costs by literal token, NO_LITERAL infinite.
void LiteralTokenCosts(const Costs &c, float token[256]) {
    std::fill(std::copy(c.token, c.token + NLITERAL, token), token + 256, INFINITY);
}

// The literal costs of position x, escapes included, by offset.
inline void PositionCosts(const RowChoices &rc, const float *token, const Costs &c, int32_t x, float *out) {
    const uint32_t *lit = rc.literal.data() + static_cast<size_t>(x) * NOFFSET;
    for (int32_t k = 0; k < NOFFSET; k++) {
        const uint32_t p = lit[k];
        out[k] = token[LiteralOf(p)] + c.escape[RedEscape(p)] + c.escape[GreenEscape(p)] + c.escape[BlueEscape(p)];
    }
}

// The literal token of offset k at position x, at list position w.
inline Token LiteralAt(const RowChoices &rc, int32_t k, int32_t x, int32_t w) {
    const uint32_t p = rc.literal[static_cast<size_t>(x) * NOFFSET + k];
    return Token{static_cast<uint16_t>(LiteralOf(p)), static_cast<uint8_t>(w),
                 {static_cast<uint8_t>(RedEscape(p)), static_cast<uint8_t>(GreenEscape(p)),
                  static_cast<uint8_t>(BlueEscape(p))}};
}

// literal[at[i]] in lane i: costs by offset into list order.
inline ListCosts GatherCosts(const float *literal, const uint8_t *at) {
#if defined(__SSE2__)
    return ListCosts{{_mm_setr_ps(literal[at[0]], literal[at[1]], literal[at[2]], literal[at[3]]),
                      _mm_setr_ps(literal[at[4]], literal[at[5]], literal[at[6]], literal[at[7]]),
                      _mm_setr_ps(literal[at[8]], literal[at[9]], literal[at[10]], 0.0f)}};
#else
    ListCosts l;
    for (int32_t i = 0; i < NOFFSET; i++) l.f[i] = literal[at[i]];
    l.f[NOFFSET] = 0;
    return l;
#endif
}

// The literal costs of position x, escapes included, in the list order at:
// PositionCosts and GatherCosts in one, without the costs by offset.
inline ListCosts ListedCosts(const RowChoices &rc, const float *token, const Costs &c, int32_t x, const uint8_t *at) {
    const uint32_t *lit = rc.literal.data() + static_cast<size_t>(x) * NOFFSET;
    const auto cost = [&](int32_t i) {
        const uint32_t p = lit[at[i]];
        return token[LiteralOf(p)] + c.escape[RedEscape(p)] + c.escape[GreenEscape(p)] + c.escape[BlueEscape(p)];
    };
#if defined(__SSE2__)
    return ListCosts{{_mm_setr_ps(cost(0), cost(1), cost(2), cost(3)), _mm_setr_ps(cost(4), cost(5), cost(6), cost(7)),
                      _mm_setr_ps(cost(8), cost(9), cost(10), 0.0f)}};
#else
    ListCosts l;
    for (int32_t i = 0; i < NOFFSET; i++) l.f[i] = cost(i);
    l.f[NOFFSET] = 0;
    return l;
#endif
}

// Greedy parse of one row: at each position the run that saves most against
// literals, or else the cheapest literal.
void GreedyRow(const RowChoices &rc, const Costs &c, OffsetOrder *order, std::vector<Token> *tokens) {
    const int32_t w = rc.width;
    float token[256];
    LiteralTokenCosts(c, token);
    // A row takes at most a token per position: room for that, cut back
    // to what the row used at the end.
    const size_t first = tokens->size();
    tokens->resize(first + static_cast<size_t>(w));
    Token *out = tokens->data() + first;
    // The offset costs in whole vectors, the lane past the last one never chosen.
    alignas(16) float offset[LANES];
    std::copy(c.offset, c.offset + NOFFSET, offset);
    std::fill(offset + NOFFSET, offset + LANES, INFINITY);
    int32_t x = 0;
    while (x < w) {
        // Priced only where a token starts, not inside runs.
        float literal[COST_STRIDE];
        PositionCosts(rc, token, c, x, literal);
        float best_literal;
        const int32_t literal_at = CheapestLiteral(offset, GatherCosts(literal, order->at), &best_literal);
        float best_gain = 0;
        int32_t run_at = -1;
        int32_t run_length = 0;
        if ((rc.runs[x] & ~FULL_RUN) != 0) {
            for (int32_t i = 0; i < NOFFSET; i++) {
                const int32_t n = rc.run[static_cast<size_t>(x) * NOFFSET + order->at[i]];
                if (n < 2) continue;
                const float gain = n * best_literal - (c.token[RUN_BIAS + n] + c.offset[i]);
                if (gain > best_gain) {
                    best_gain = gain;
                    run_at = i;
                    run_length = n;
                }
            }
        }
        if (run_at >= 0) {
            *out++ = RunToken(run_length, run_at);
            MoveToFront(order, run_at);
            x += run_length;
        } else {
            *out++ = LiteralAt(rc, order->at[literal_at], x, literal_at);
            MoveToFront(order, literal_at);
            x += 1;
        }
    }
    tokens->resize(static_cast<size_t>(out - tokens->data()));
}

// Shortest path over the positions of a row. Each position keeps the
// cheapest way to reach it and the offset order that way leaves; tokens
// from there are priced with that order.
struct PathNode {
    float cost;
    int32_t from;
    uint16_t symbol;
    uint8_t offset; // list position
    uint8_t kind;   // offset index
};

// The cheapest start of a run of some length: its cost so far, list
// position and offset.
struct ShortStart {
    float base;
    int32_t i;
    int32_t k;
};

// Working space of OptimalRow.
struct PathScratch {
    std::vector<PathNode> nodes;     // [x]: the cheapest way found to reach x
    std::vector<OffsetOrder> orders; // [x]: the list order that way leaves
    std::vector<ShortStart> starts;  // by run length
};

// PLAIN takes the plain way wherever the loop has a faster one: the literal
// costs gathered in the position's own order, every list position looked at
// for runs, the walk back by the nodes' links. The choices are the same;
// the tests hold the fast ways to that.
template <bool PLAIN>
void OptimalRow(const RowChoices &rc, const Costs &c, int32_t short_runs, OffsetOrder *order,
                PathScratch *scratch, std::vector<Token> *tokens) {
    const int32_t w = rc.width;
    std::vector<ShortStart> *starts = &scratch->starts;
    starts->assign(static_cast<size_t>(short_runs) + 1, ShortStart{INFINITY, 0, 0});
    // The literal costs are worked out position by position in the same
    // loop: they do not depend on the path, so the processor can price the
    // next position while the last one's comparisons still run.
    float token[256];
    LiteralTokenCosts(c, token);
    scratch->nodes.resize(static_cast<size_t>(w) + 1);
    scratch->orders.resize(static_cast<size_t>(w) + 1);
    PathNode *nodes = scratch->nodes.data();
    OffsetOrder *orders = scratch->orders.data();
    // The offset costs in whole vectors, the lane past the last one never chosen.
    alignas(16) float offset[LANES];
    std::copy(c.offset, c.offset + NOFFSET, offset);
    std::fill(offset + NOFFSET, offset + LANES, INFINITY);
    for (int32_t x = 0; x <= w; x++) nodes[x].cost = INFINITY;
    nodes[0].cost = 0;
    nodes[0].from = -1;
    // The cost and list order of the next position, known once its literal
    // has been offered (runs reach further), and kept at hand rather than
    // read back from the node.
    OffsetOrder coming_order = *order;
    float coming_cost = 0;
    bool coming = true; // false after positions not tried: read from the node
    // The position the last literal taken leads to, and the list order and
    // list position it was chosen at: it leaves that order with that position
    // moved to the front, so there the literal costs are those gathered in
    // the old order, moved, a gathering that need not wait for the choice.
    // A position reached otherwise (by a run, or after positions not tried)
    // is never moved_for.
    int32_t moved_for = -1;
    OffsetOrder last_order = coming_order;
    int32_t last_at = 0;
    // The last run as long as a token can go: it starts at run_start and
    // ends at run_end (see the end of the loop).
    int32_t run_start = -1, run_end = 0;
    for (int32_t x = 0; x < w; x++) {
        if (!coming || x < run_end) {
            const PathNode &in = nodes[x];
            if (!(in.cost < INFINITY) || (x < run_end && in.from == run_start)) {
                coming = false;
                continue;
            }
            if (!coming) {
                coming_order = orders[in.from];
                MoveToFront(&coming_order, in.offset);
                coming_cost = in.cost;
            }
        }
        coming = true;
        const OffsetOrder here_order = coming_order;
        const float here_cost = coming_cost;
        orders[x] = here_order;
        // The cheapest literal, earlier list positions first on ties.
        const ListCosts listed = [&] {
            if constexpr (PLAIN) {
                float literal[COST_STRIDE];
                PositionCosts(rc, token, c, x, literal);
                return GatherCosts(literal, here_order.at);
            } else {
                return moved_for == x ? MovedCosts(ListedCosts(rc, token, c, x, last_order.at), last_at)
                                    : ListedCosts(rc, token, c, x, here_order.at);
            }
        }();
        alignas(16) float base[LANES]; // here.cost + c.offset[i]; the last lane infinite
#if defined(__SSE2__)
        {
            const __m128 h = _mm_set1_ps(here_cost);
            _mm_store_ps(base, _mm_add_ps(h, _mm_load_ps(offset)));
            _mm_store_ps(base + 4, _mm_add_ps(h, _mm_load_ps(offset + 4)));
            _mm_store_ps(base + 8, _mm_add_ps(h, _mm_load_ps(offset + 8)));
        }
#else
        for (int32_t i = 0; i < LANES; i++) base[i] = here_cost + offset[i];
#endif
        float best;
        const int32_t best_at = CheapestLiteral(base, listed, &best);
        const auto reach = [nodes, x](int32_t to, float cost, uint16_t symbol, int32_t i, int32_t k) {
            PathNode &node = nodes[to];
            if (!(cost < node.cost)) return;
            node.cost = cost;
            node.from = x;
            node.symbol = symbol;
            node.offset = static_cast<uint8_t>(i);
            node.kind = static_cast<uint8_t>(k);
        };
        {
            const int32_t k = here_order.at[best_at];
            PathNode &next = nodes[x + 1];
            if (best < next.cost) {
                next.cost = best;
                next.from = x;
                next.symbol = static_cast<uint16_t>(LiteralOf(rc.literal[static_cast<size_t>(x) * NOFFSET + k]));
                next.offset = static_cast<uint8_t>(best_at);
                next.kind = static_cast<uint8_t>(k);
                coming_order = here_order;
                MoveToFront(&coming_order, best_at);
                moved_for = x + 1;
                last_order = here_order;
                last_at = best_at;
            } else if (x + 1 < w) {
                coming_order = orders[next.from];
                MoveToFront(&coming_order, next.offset);
            }
            coming_cost = next.cost;
        }
        const uint16_t runs = rc.runs[x];
        if ((runs & ~FULL_RUN) == 0) continue;
        // Where some offset runs as far as a token can go, cutting runs short
        // gains nothing: only the longest runs are tried. Otherwise every
        // length up to short_runs is tried too, each from the offset that
        // reaches it most cheaply: by length, the cheapest start among the
        // offsets whose runs end there, then the cheapest from the longer.
        const int32_t short_limit = (runs & FULL_RUN) != 0 ? 0 : short_runs;
        int32_t longest_short = 0;
        const auto offer_run = [&](int32_t i) {
            const int32_t k = here_order.at[i];
            const int32_t n = rc.run[static_cast<size_t>(x) * NOFFSET + k];
            reach(x + n, base[i] + c.token[RUN_BIAS + n], static_cast<uint16_t>(RUN_BIAS + n), i, k);
            const int32_t top = std::min(n, short_limit);
            if (top < 2) return;
            ShortStart &s = (*starts)[top];
            if (base[i] < s.base) s = ShortStart{base[i], i, k};
            longest_short = std::max(longest_short, top);
        };
        if constexpr (PLAIN) {
            for (int32_t i = 0; i < NOFFSET; i++)
                if ((runs & (1u << here_order.at[i])) != 0) offer_run(i);
        } else {
            // The list positions whose offsets run here, found without a
            // branch per position; then taken in list order.
            uint32_t running = 0;
            for (int32_t i = 0; i < NOFFSET; i++) running |= (runs >> here_order.at[i] & 1u) << i;
            for (; running != 0; running &= running - 1) offer_run(std::countr_zero(running));
        }
        ShortStart from{INFINITY, 0, 0};
        for (int32_t len = longest_short; len >= 2; len--) {
            ShortStart &s = (*starts)[len];
            if (s.base < from.base) from = s;
            s.base = INFINITY;
            reach(x + len, from.base + c.token[RUN_BIAS + len], static_cast<uint16_t>(RUN_BIAS + len),
                  from.i, from.k);
        }
        // A run as long as a token can go, by the offset first in the list
        // (the cheapest way on in a flat stretch): the positions it covers
        // are tried as starts only where the cheapest way there passes over
        // this one, by a token from further left. Tokens starting inside the
        // run from here could only shift where the next run begins, and on
        // flat stretches this leaves about one position in RUN_MAX to price.
        // (Runs by other offsets are not taken so: a literal here and a run
        // of the first offset from the next position often cost less.)
        if ((runs & FULL_RUN) != 0 && x >= run_end &&
            rc.run[static_cast<size_t>(x) * NOFFSET + here_order.at[0]] == std::min(RUN_MAX, w - x)) {
            run_start = x;
            run_end = x + std::min(RUN_MAX, w - x);
        }
    }
    // Walk back, writing the tokens from the end of room for one per
    // position, then move them to the front of it.
    const size_t first = tokens->size();
    tokens->resize(first + static_cast<size_t>(w));
    Token *const end = tokens->data() + first + w;
    Token *out = end;
    // A token's length steps back to the position before it: a literal's
    // is one, without waiting for the node, so that stretches of literals
    // do not go at the pace of loads one after the other.
    for (int32_t x = w; x > 0;) {
        const PathNode &node = nodes[x];
        if constexpr (PLAIN) {
            *--out = node.symbol < NLITERAL ? LiteralAt(rc, node.kind, node.from, node.offset)
                                            : RunToken(node.symbol - RUN_BIAS, node.offset);
            x = node.from;
        } else if (node.symbol < NLITERAL) {
            x--;
            *--out = LiteralAt(rc, node.kind, x, node.offset);
        } else {
            const int32_t n = node.symbol - RUN_BIAS;
            x -= n;
            *--out = RunToken(n, node.offset);
        }
    }
    const size_t count = static_cast<size_t>(end - out);
    memmove(tokens->data() + first, out, count * sizeof(Token));
    tokens->resize(first + count);
    // The list order the row leaves: the one its last token starts from,
    // with that token's offset moved to the front.
    if (w > 0) {
        *order = orders[nodes[w].from];
        MoveToFront(order, nodes[w].offset);
    }
}

// Costs before anything is known: small differences, the recent offsets and
// long runs are cheap.
void StartingCosts(Costs *c) {
    const float digit[6] = {5.0f, 4.5f, 3.0f, 1.0f, 3.0f, 4.5f};
    for (int32_t t = 0; t < NLITERAL; t++)
        c->token[t] = digit[RedDigit(t)] + digit[GreenDigit(t)] + digit[BlueDigit(t)];
    for (int32_t n = RUN_MIN; n <= RUN_MAX; n++)
        c->token[RUN_BIAS + n] = 6.0f + 0.5f * log2f(static_cast<float>(n));
    for (int32_t i = 0; i < NOFFSET; i++) c->offset[i] = 1.0f + 0.8f * i;
    for (int32_t e = 0; e < NESCAPE; e++) c->escape[e] = 8.0f;
    c->escape[NO_ESCAPE] = 0;
}

// Bits per symbol estimated from counts; an unseen symbol costs as much as
// one seen once.
void CostsFromCounts(const uint64_t *counts, int32_t n, float *costs) {
    uint64_t total = 0;
    for (int32_t i = 0; i < n; i++) total += counts[i];
    const float all = log2f(static_cast<float>(total + 1));
    for (int32_t i = 0; i < n; i++)
        costs[i] = all - log2f(static_cast<float>(counts[i] > 0 ? counts[i] : 1));
}


// The symbol counts of a block. Counted without branches and in four
// interleaved tallies, so that runs of the same symbol do not hold the loop
// up; every channel's escape is counted in a tally of its own, the channels
// without one in the slot past the symbols.
void CountBlock(const Token *tokens, size_t n, Counts *counts) {
    constexpr int32_t WAYS = 4;
    uint32_t token[WAYS][NTOKEN] = {};
    uint32_t offset[WAYS][NOFFSET] = {};
    uint32_t escape[WAYS][3][NESCAPE + 1] = {};
    for (size_t i = 0; i < n; i++) {
        const Token &t = tokens[i];
        token[i % WAYS][t.symbol]++;
        offset[i % WAYS][t.offset]++;
        escape[i % WAYS][0][t.escapes[0]]++;
        escape[i % WAYS][1][t.escapes[1]]++;
        escape[i % WAYS][2][t.escapes[2]]++;
    }
    for (int32_t s = 0; s < NTOKEN; s++)
        counts->token[s] = uint64_t{token[0][s]} + token[1][s] + token[2][s] + token[3][s];
    for (int32_t s = 0; s < NOFFSET; s++)
        counts->offset[s] = uint64_t{offset[0][s]} + offset[1][s] + offset[2][s] + offset[3][s];
    for (int32_t s = 0; s < NESCAPE; s++) {
        uint64_t sum = 0;
        for (int32_t way = 0; way < WAYS; way++) sum += uint64_t{escape[way][0][s]} + escape[way][1][s] + escape[way][2][s];
        counts->escape[s] = sum;
    }
}

struct BlockCode {
    uint8_t token[NTOKEN];
    uint8_t offset[NOFFSET];
    uint8_t escape[NESCAPE];
};

// Code lengths of one block and the bits the block takes with them.
int64_t BuildBlockCode(const Counts &counts, BlockCode *code) {
    LimitedCodeLengths(counts.token, NTOKEN, MAX_CODE_BITS, code->token);
    LimitedCodeLengths(counts.offset, NOFFSET, MAX_CODE_BITS, code->offset);
    LimitedCodeLengths(counts.escape, NESCAPE, MAX_CODE_BITS, code->escape);
    int64_t bits = CodeLengthBits(code->token, NTOKEN) +
                   CodeLengthBits(code->offset, NOFFSET) +
                   CodeLengthBits(code->escape, NESCAPE);
    for (int32_t i = 0; i < NTOKEN; i++)
        bits += static_cast<int64_t>(counts.token[i]) * code->token[i];
    for (int32_t i = 0; i < NOFFSET; i++)
        bits += static_cast<int64_t>(counts.offset[i]) * code->offset[i];
    for (int32_t i = 0; i < NESCAPE; i++)
        bits += static_cast<int64_t>(counts.escape[i]) * code->escape[i];
    return bits;
}

// The stream size of a parse in bits, the code lengths of its blocks and
// the costs they suggest.
int64_t MeasureParse(const std::vector<Token> &tokens, std::vector<Costs> *costs, std::vector<BlockCode> *codes) {
    int64_t bits = 0;
    costs->clear();
    codes->clear();
    Counts counts;
    for (size_t start = 0; start < tokens.size(); start += BLOCK_TOKENS) {
        const size_t n = std::min(tokens.size() - start, static_cast<size_t>(BLOCK_TOKENS));
        CountBlock(&tokens[start], n, &counts);
        codes->emplace_back();
        bits += BuildBlockCode(counts, &codes->back());
        Costs c;
        CostsFromCounts(counts.token, NTOKEN, c.token);
        CostsFromCounts(counts.offset, NOFFSET, c.offset);
        CostsFromCounts(counts.escape, NESCAPE, c.escape);
        c.escape[NO_ESCAPE] = 0;
        costs->push_back(c);
    }
    return bits;
}

// Rows of a parse: where each row's tokens start and end.
struct RowSpan {
    size_t first;
    size_t end;
};

// Costs per block from the sampled rows of a parse, the rows counted in the
// blocks given by row_block; blocks without a sampled row keep their costs.
// Returns the size in bits the sampled rows would take with a table set
// per block of them.
int64_t SampleStatistics(const std::vector<Token> &tokens, const std::vector<RowSpan> &rows,
                        const std::vector<uint32_t> &row_block, std::vector<Costs> *costs) {
    std::vector<Counts> sums(costs->size(), Counts{});
    Counts one;
    for (size_t m = 0; m < rows.size(); m++) {
        if (!Sampled(m)) continue;
        Counts &sum = sums[row_block[m]];
        for (size_t start = rows[m].first; start < rows[m].end; start += BLOCK_TOKENS) {
            CountBlock(&tokens[start], std::min(rows[m].end - start, static_cast<size_t>(BLOCK_TOKENS)), &one);
            for (int32_t i = 0; i < NTOKEN; i++) sum.token[i] += one.token[i];
            for (int32_t i = 0; i < NOFFSET; i++) sum.offset[i] += one.offset[i];
            for (int32_t i = 0; i < NESCAPE; i++) sum.escape[i] += one.escape[i];
        }
    }
    int64_t bits = 0;
    for (size_t b = 0; b < sums.size(); b++) {
        const Counts &sum = sums[b];
        uint64_t used = 0;
        for (int32_t i = 0; i < NOFFSET; i++) used += sum.offset[i];
        if (used == 0) continue;
        BlockCode code;
        bits += BuildBlockCode(sum, &code);
        Costs &c = (*costs)[b];
        CostsFromCounts(sum.token, NTOKEN, c.token);
        CostsFromCounts(sum.offset, NOFFSET, c.offset);
        CostsFromCounts(sum.escape, NESCAPE, c.escape);
        c.escape[NO_ESCAPE] = 0;
    }
    return bits;
}

// The tokens with the code lengths MeasureParse gave their blocks.
void WriteTokens(const std::vector<Token> &tokens, const std::vector<BlockCode> &codes, int64_t bits,
                 std::vector<uint8_t> *out) {
    out->reserve(out->size() + static_cast<size_t>(bits / 8) + 8);
    BitWriter w;
    StartBitWriter(&w, out);
    PrefixCode token_code, offset_code, escape_code;
    for (size_t start = 0; start < tokens.size(); start += BLOCK_TOKENS) {
        const size_t n = std::min(tokens.size() - start, static_cast<size_t>(BLOCK_TOKENS));
        const BlockCode &lengths = codes[start / BLOCK_TOKENS];
        PutCodeLengths(&w, lengths.token, NTOKEN);
        PutCodeLengths(&w, lengths.offset, NOFFSET);
        PutCodeLengths(&w, lengths.escape, NESCAPE);
        SetPrefixCode(&token_code, lengths.token, NTOKEN);
        SetPrefixCode(&offset_code, lengths.offset, NOFFSET);
        SetPrefixCode(&escape_code, lengths.escape, NESCAPE);
        // A token's symbol and offset in one call, its escapes in another
        // (or two, where they take more than 32 bits).
        for (size_t i = start; i < start + n; i++) {
            const Token &t = tokens[i];
            const int32_t offset_bits = offset_code.length[t.offset];
            PutBits(&w, token_code.code[t.symbol] << offset_bits | offset_code.code[t.offset],
                    token_code.length[t.symbol] + offset_bits);
            const uint32_t channels = ESCAPE_CHANNELS.of[t.symbol];
            if (channels == 0) continue;
            uint64_t value = 0;
            int32_t bits_used = 0;
            for (int32_t c = 0; c < 3; c++) {
                if ((channels >> c & 1) == 0) continue;
                const int32_t length = escape_code.length[t.escapes[c]];
                value = value << length | escape_code.code[t.escapes[c]];
                bits_used += length;
            }
            if (bits_used > 32) {
                PutBits(&w, static_cast<uint32_t>(value >> 32), bits_used - 32);
                bits_used = 32;
            }
            PutBits(&w, static_cast<uint32_t>(value), bits_used);
        }
    }
    FlushBits(&w);
}

// How hard each effort level tries. The first pass is always greedy with
// the starting costs (a shortest path with those costs is no better); every
// later pass is priced with the statistics of the one before. Passes stop
// early once one gains less than a thousandth.
//
// Between the first pass and the others come, where the plan has them,
// sampled passes: shortest paths over half the rows only (see Sampled), whose
// statistics (by the blocks the first pass put those rows in) price the
// next pass. They move the statistics on at a fraction of the cost of a
// whole pass, and stop once their own estimate of the sampled rows' size
// gains less than a thousandth; one that loses is undone.
struct Plan {
    int32_t passes;     // at most this many parses of the whole picture
    bool optimal;       // shortest-path rows rather than greedy ones after the first pass
    int32_t short_runs; // run lengths up to this are all tried, then only the longest
    int32_t sampled;    // at most this many sampled passes
};

// The input pixels into the target's bottom-up BGR rows.
void CopyInput(const EncoderInput &in, Target *t) {
    const int32_t bytes = LayoutPixelBytes(in.layout);
    const bool rgb = LayoutIsRgbOrder(in.layout);
    for (int32_t r = 0; r < t->height && t->width > 0; r++) {
        const int32_t source_row = LayoutIsBottomUp(in.layout) ? r : t->height - 1 - r;
        const uint8_t *s = in.pixels + source_row * in.stride;
        uint8_t *d = &t->bytes[static_cast<size_t>(r * t->stride)];
        if (bytes == PIXEL_BYTES && !rgb) {
            memcpy(d, s, static_cast<size_t>(t->width) * PIXEL_BYTES);
            continue;
        }
        for (int32_t x = 0; x < t->width; x++, s += bytes, d += PIXEL_BYTES) {
            d[RED_BYTE] = s[rgb ? 0 : 2];
            d[GREEN_BYTE] = s[1];
            d[BLUE_BYTE] = s[rgb ? 2 : 0];
        }
    }
}

// Measured over the corpus, each level takes more time than the one below
// and buys a smaller total: sampled passes are the cheap way to better
// statistics below the default and above it; the default itself runs whole
// passes only. Levels 8 and 9 are one plan, as no more passes gain anything.
Plan PlanFor(int32_t effort) {
    static const Plan plans[10] = {
        {1, false, 0, 0}, {1, false, 0, 0}, {2, false, 0, 0}, {2, true, 4, 1}, {2, true, 8, 2},
        {2, true, 8, 3},  {5, true, 8, 0},  {5, true, 8, 3},  {12, true, 32, 3}, {12, true, 32, 3},
    };
    return plans[std::clamp(effort, 1, 9)];
}

// The encoder, with the plain loops of PrepareRow and the shortest path
// where PLAIN is set.
template <bool PLAIN>
int32_t Encode(const EncoderInput *input, const EncoderOptions *options, std::vector<uint8_t> *out) {
    if (input->width > MAX_SIDE || input->height > MAX_SIDE) return ENCODE_TOO_LARGE;
    const Plan plan = PlanFor(options != nullptr ? options->effort : DEFAULT_EFFORT);
    Target t;
    t.width = static_cast<int32_t>(input->width);
    t.height = static_cast<int32_t>(input->height);
    t.stride = RowStride(input->width);
    t.size = t.stride * t.height;
    t.bytes.assign(static_cast<size_t>(t.size), 0);
    CopyInput(*input, &t);

    std::vector<Token> best;
    int64_t best_bits = -1;
    std::vector<BlockCode> codes, best_codes; // of the last whole pass, and of the best
    std::vector<Costs> block_costs;          // from the previous pass, per block
    std::vector<uint32_t> row_block(t.height); // the block of each row's first token, last whole pass
    std::vector<RowSpan> rows(t.height);       // each row's tokens, current pass
    Costs start_costs;
    StartingCosts(&start_costs);
    // What every offset offers at every position depends on the picture
    // alone, not on the costs: worked out once and kept for the later
    // passes where that fits in CHOICE_CACHE_BYTES, else again per pass.
    constexpr uint64_t CHOICE_CACHE_BYTES = uint64_t{512} << 20;
    const uint64_t choice_bytes = static_cast<uint64_t>(t.width) * t.height * NOFFSET * 5;
    const bool keep_choices = plan.passes + plan.sampled > 1 && choice_bytes <= CHOICE_CACHE_BYTES;
    std::vector<RowChoices> kept(keep_choices ? static_cast<size_t>(t.height) : 0);
    RowChoices unkept;
    RowScratch scratch;
    PathScratch path;
    std::vector<Token> tokens;
    const int64_t steps = static_cast<int64_t>(plan.passes + plan.sampled) * t.height;
    int64_t parses = 0; // passes begun, sampled ones included
    // One parse: the whole picture, or the sampled rows. False if
    // the progress callback asked to stop.
    const auto parse = [&](bool whole, bool greedy) {
        tokens.clear();
        OffsetOrder order;
        StartOrder(&order);
        for (int32_t m = 0; m < t.height; m++) {
            if (!whole && !Sampled(static_cast<size_t>(m))) continue;
            if (options != nullptr && options->progress != nullptr && (m & 15) == 0) {
                const int64_t done = (parses * t.height + m) * t.height / steps;
                if (options->progress(static_cast<uint32_t>(done), input->height, options->user) != 0)
                    return false;
            }
            const Costs &costs = block_costs.empty() ? start_costs : block_costs[row_block[m]];
            rows[m].first = tokens.size();
            RowChoices &rc = keep_choices ? kept[static_cast<size_t>(m)] : unkept;
            if (!keep_choices || parses == 0) PrepareRow<PLAIN>(t, m, &rc, &scratch);
            if (greedy)
                GreedyRow(rc, costs, &order, &tokens);
            else
                OptimalRow<PLAIN>(rc, costs, plan.short_runs, &order, &path, &tokens);
            rows[m].end = tokens.size();
        }
        parses++;
        return true;
    };
    // After a whole pass: its size, and the costs and blocks for the next.
    const auto measure = [&]() {
        const int64_t bits = MeasureParse(tokens, &block_costs, &codes);
        for (int32_t m = 0; m < t.height; m++)
            row_block[m] = static_cast<uint32_t>(std::min(rows[m].first / BLOCK_TOKENS, block_costs.size() - 1));
        const bool small_gain = best_bits >= 0 && bits > best_bits - best_bits / 1000;
        if (best_bits < 0 || bits < best_bits) {
            best_bits = bits;
            best.swap(tokens);
            best_codes.swap(codes);
        }
        return small_gain;
    };
    if (t.width > 0 && t.height > 0) {
        if (!parse(true, true)) return ENCODE_ABORTED;
        measure();
        if (plan.optimal && plan.sampled > 0) {
            std::vector<Costs> scratch_costs = block_costs;
            int64_t last = SampleStatistics(best, rows, row_block, &scratch_costs);
            std::vector<Costs> used_before; // the costs that made the last sampled parse
            for (int32_t pass = 0; pass < plan.sampled; pass++) {
                std::vector<Costs> used = block_costs;
                if (!parse(false, false)) return ENCODE_ABORTED;
                const int64_t bits = SampleStatistics(tokens, rows, row_block, &block_costs);
                if (bits > last) { // undone: on with the costs that made the better parse
                    block_costs.swap(used_before.empty() ? used : used_before);
                    break;
                }
                if (bits > last - last / 1000) break;
                last = bits;
                used_before.swap(used);
            }
        }
        for (int32_t pass = 1; pass < plan.passes; pass++) {
            if (!parse(true, !plan.optimal)) return ENCODE_ABORTED;
            if (measure()) break;
        }
    }
    if (options != nullptr && options->progress != nullptr &&
        options->progress(input->height, input->height, options->user) != 0)
        return ENCODE_ABORTED;
    PutHeader(out, input->width, input->height);
    WriteTokens(best, best_codes, best_bits, out);
    return ENCODE_OK;
}

} // namespace

int32_t EncodePicture(const EncoderInput *input, const EncoderOptions *options, std::vector<uint8_t> *out) {
    return Encode<false>(input, options, out);
}

int32_t EncodePicturePlainly(const EncoderInput *input, const EncoderOptions *options, std::vector<uint8_t> *out) {
    return Encode<true>(input, options, out);
}
