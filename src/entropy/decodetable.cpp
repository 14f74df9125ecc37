#include "entropy/decodetable.h"

#include <string.h>

#include "entropy/codelengths.h"

namespace {

constexpr uint64_t CODE_SPACE = uint64_t{1} << MAX_CODE_LENGTH;

// Nodes of the binary tree that would hold the codes longer than 8 bits
// below an 8-bit look-up: one per distinct prefix of 8 to length - 1 bits
// of each such code. Canonical codes ascend, so the p-bit prefixes of the
// codes longer than p run without gaps from the first such code's to the
// last code's, and each depth is one subtraction.
uint64_t TreeNodes(const uint64_t *limit, uint32_t max_length) {
    if (max_length <= TREE_ROOT_BITS) return 0;
    const uint64_t last = limit[max_length] - (uint64_t{1} << (MAX_CODE_LENGTH - max_length));
    uint64_t nodes = 0;
    for (uint32_t p = TREE_ROOT_BITS; p < max_length; p++) {
        const uint32_t shift = MAX_CODE_LENGTH - p;
        nodes += (last >> shift) - (limit[p] >> shift) + 1;
    }
    return nodes;
}

} // namespace

int32_t BuildDecodeTable(DecodeTable *t, const uint8_t *lengths, uint32_t n) {
    uint32_t count[MAX_CODE_LENGTH + 1] = {};
    for (uint32_t s = 0; s < n; s++) {
        if (lengths[s] > MAX_CODE_LENGTH) return ERR_STREAM;
        count[lengths[s]]++;
    }
    // Code space taken by the codes of at most L bits, and the code order.
    uint64_t space = 0;
    uint32_t index = 0;
    t->max_length = 0;
    t->limit[0] = 0;
    t->first[0] = 0;
    uint16_t next[MAX_CODE_LENGTH + 1];
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; len++) {
        space += static_cast<uint64_t>(count[len]) << (MAX_CODE_LENGTH - len);
        t->limit[len] = space;
        t->first[len] = static_cast<uint16_t>(index);
        next[len] = static_cast<uint16_t>(index);
        index += count[len];
        if (count[len] != 0) t->max_length = len;
    }
    if (space > CODE_SPACE) return ERR_STREAM; // more codes than the lengths allow
    if (TreeNodes(t->limit, t->max_length) > TreeNodeLimit(n)) return ERR_STREAM;
    for (uint32_t s = 0; s < n; s++)
        if (lengths[s] != 0) t->sorted[next[lengths[s]]++] = static_cast<uint16_t>(s);

    // The codes of at most FAST_BITS bits fill the main table from its start,
    // in code order, each over a span of 2^(FAST_BITS - length) entries;
    // every entry after them is 0.
    uint32_t *fast = t->fast;
    index = 0;
    for (uint32_t len = 1; len <= static_cast<uint32_t>(FAST_BITS); len++) {
        const uint32_t span = 1u << (FAST_BITS - len);
        const uint32_t end = index + count[len];
        if (span >= 4) {
            for (; index < end; index++) {
                const uint32_t entry = MakeEntry(t->sorted[index], len);
                for (uint32_t v = 0; v < span; v++) fast[v] = entry;
                fast += span;
            }
        } else {
            for (; index < end; index++) {
                const uint32_t entry = MakeEntry(t->sorted[index], len);
                fast[0] = entry;
                fast[span - 1] = entry;
                fast += span;
            }
        }
    }
    t->fast_end = static_cast<uint32_t>(fast - t->fast);
    memset(fast, 0, sizeof(uint32_t) * (FAST_SIZE - t->fast_end));
    return ERR_NONE;
}

namespace {

// What each token adds to its pair entries besides its length: the token,
// its escaped channels, and for a short run or a literal without escapes
// the mark of a whole token (a literal with one escape gets it where its
// entry takes that).
struct PairTokenBits {
    uint32_t bits[TOKEN_SYMBOLS];
};

constexpr PairTokenBits MakePairTokenBits() {
    PairTokenBits p{};
    for (uint32_t t = 0; t < TOKEN_SYMBOLS; t++) {
        p.bits[t] = t << PAIR_TOKEN_AT | TokenEscapes(t) << PAIR_LEFT_AT;
        if (t < LITERAL_TOKENS ? TokenEscapes(t) == 0 : RunLength(t) <= PLAIN_RUN_PIXELS) p.bits[t] |= PAIR_PLAIN;
    }
    return p;
}

constexpr PairTokenBits PAIR_TOKEN_BITS = MakePairTokenBits();

// Walks the short codes of table t in code order, as its main table lists
// them, each over 2^(FAST_BITS - length) entries: at `rest` bits of
// resolution its codes of at most `rest` bits cover the first indices in
// order, each over 2^(rest - length) of them. Calls fill(at, span, symbol,
// length) for each and returns the index where they end.
template <typename Fill>
inline uint32_t ForShortCodes(const DecodeTable *t, uint32_t rest, Fill fill) {
    const uint32_t *fast = t->fast;
    uint32_t p = 0;
    uint32_t at = 0;
    while (p < t->fast_end) {
        const uint32_t entry = fast[p];
        const uint32_t length = EntryLength(entry);
        if (length > rest) break;
        const uint32_t span = 1u << (rest - length);
        fill(at, span, EntrySymbol(entry), length);
        at += span;
        p += 1u << (FAST_BITS - length);
    }
    return at;
}

// Fills one block of a pair or escape table: the 2^rest indices that
// begin with one code of the first alphabet, whose next `rest` bits index
// the second alphabet. Where a second code fits, the entry is
// with + (symbol + bias) << symbol_at + length << length_at; longer codes
// (and gaps) leave the rest of the block to `alone`.
inline void FillBlock(uint32_t *block, uint32_t rest, const DecodeTable *second, uint32_t with, uint32_t alone,
               uint32_t bias, uint32_t symbol_at, uint32_t length_at) {
    uint32_t at = ForShortCodes(second, rest, [&](uint32_t from, uint32_t span, uint32_t symbol, uint32_t length) {
        const uint32_t value = with + ((symbol + bias) << symbol_at) + (length << length_at);
        for (uint32_t v = 0; v < span; v++) block[from + v] = value;
    });
    const uint32_t size = 1u << rest;
    for (; at < size; at++) block[at] = alone;
}

// Fills the block of one token code in the pair table, as FillBlock does
// with the offset alphabet, with `with` (the token, its escapes and its
// length) in every entry. A literal's entries go on to its first escape:
// where that code fits in the bits left after the offset's, the entry
// takes it too, and is a whole literal where that was its only one. Where
// no offset code fits, the entry is `token_only`.
void FillPairBlock(uint32_t *block, uint32_t rest, const DecodeTable *offset, const DecodeTable *escape,
                   uint32_t with, uint32_t token_only) {
    uint32_t at = ForShortCodes(offset, rest, [&](uint32_t from, uint32_t span, uint32_t symbol, uint32_t length) {
        const uint32_t pair = with + (symbol << PAIR_OFFSET_AT) + length;
        if (PairEscapesLeft(pair) == 0) {
            for (uint32_t v = 0; v < span; v++) block[from + v] = pair;
        } else {
            const uint32_t taken = pair - (1u << PAIR_LEFT_AT) + (1u << PAIR_TAKEN_AT) +
                                   (PairEscapesLeft(pair) == 1 ? PAIR_PLAIN : 0);
            FillBlock(block + from, rest - length, escape, taken, pair, ESCAPE_BIAS, PAIR_VALUE_AT, 0);
        }
    });
    const uint32_t size = 1u << rest;
    for (; at < size; at++) block[at] = token_only;
}

// Blocks of up to 2^TEMPLATE_BITS pair entries are copied from a template:
// the block of a token code of the same length with no token, no length and
// no whole-token mark, one for each count of escapes (none, one, two or
// more: a third changes no entry but by the count the token adds), which
// decides what the block takes of the escape alphabet. The token's bits are
// added to each entry, and the entries where no offset code fits (0 in the
// template) take the token alone. Most token codes are long, so their
// blocks are small, and each template serves many of them.
constexpr uint32_t TEMPLATE_BITS = 6;
constexpr uint32_t TEMPLATE_KINDS = 3; // escapes 0, 1, and 2 or 3

inline void FillFromTemplate(uint32_t *block, const uint32_t *from, uint32_t size, uint32_t base,
                             uint32_t token_only) {
    for (uint32_t i = 0; i < size; i++) block[i] = from[i] != 0 ? base + from[i] : token_only;
}

} // namespace

void BuildPairTable(uint32_t *pairs, const DecodeTable *token, const DecodeTable *offset, const DecodeTable *escape) {
    // Every short token code owns the pair indices that begin with it.
    static_assert(PAIR_BITS > FAST_BITS, "every short token code leaves bits for the offset");
    uint32_t templates[TEMPLATE_KINDS][1u << TEMPLATE_BITS];
    uint32_t template_bits[TEMPLATE_KINDS] = {}; // what each template was made for; 0: not made yet
    const uint32_t end = ForShortCodes(token, PAIR_BITS, [&](uint32_t at, uint32_t, uint32_t symbol, uint32_t length) {
        const uint32_t with = PAIR_TOKEN_BITS.bits[symbol] | length;
        const uint32_t token_only = PAIR_TOKEN_ONLY | symbol << PAIR_TOKEN_AT | length << PAIR_OFFSET_AT;
        const uint32_t rest = PAIR_BITS - length;
        if (rest > TEMPLATE_BITS) {
            FillPairBlock(pairs + at, rest, offset, escape, with, token_only);
            return;
        }
        // Codes come shortest first, so each template is made again only
        // when the blocks get smaller.
        const uint32_t kind = TokenEscapes(symbol) < TEMPLATE_KINDS ? TokenEscapes(symbol) : TEMPLATE_KINDS - 1;
        const uint32_t left = kind << PAIR_LEFT_AT;
        if (template_bits[kind] != rest) {
            FillPairBlock(templates[kind], rest, offset, escape, left, 0);
            template_bits[kind] = rest;
        }
        FillFromTemplate(pairs + at, templates[kind], 1u << rest, with - left, token_only);
    });
    memset(pairs + end, 0, sizeof(uint32_t) * (PAIR_SIZE - end));
}

void BuildEscapeTable(uint32_t *escapes, const DecodeTable *escape) {
    // As the pair table, with the escape alphabet as both.
    // A first code of FAST_BITS bits leaves none: its entry holds it alone.
    static_assert(ESCAPE_BITS >= FAST_BITS, "every short escape code starts an entry");
    const uint32_t end = ForShortCodes(escape, ESCAPE_BITS, [&](uint32_t at, uint32_t, uint32_t symbol, uint32_t length) {
        const uint32_t first = (symbol + ESCAPE_BIAS) << ESCAPE_VALUES_AT | length << ESCAPE_ONE_AT;
        FillBlock(escapes + at, ESCAPE_BITS - length, escape, first | length << ESCAPE_TWO_AT | ESCAPE_SECOND_FITS,
                  first | length << ESCAPE_TWO_AT, ESCAPE_BIAS, ESCAPE_VALUES_AT + 8, ESCAPE_TWO_AT);
    });
    memset(escapes + end, 0, sizeof(uint32_t) * (ESCAPE_SIZE - end));
}

int32_t DecodeSlow(BitReader *r, const DecodeTable *t, uint32_t *symbol) {
    if (r->held < static_cast<int32_t>(MAX_CODE_LENGTH)) FillBits(r);
    uint32_t entry = t->fast[r->bits >> (64 - FAST_BITS)];
    if (EntryLength(entry) == 0) {
        entry = FindLongCode(t, r->bits >> (64 - MAX_CODE_LENGTH));
        if (EntryLength(entry) == 0) {
            // The bits past a failed read are not the stream's: whether a
            // code would have covered them is unknown.
            return r->held < static_cast<int32_t>(t->max_length) ? ERR_READ : ERR_STREAM;
        }
    }
    const int32_t length = static_cast<int32_t>(EntryLength(entry));
    if (length > r->held) return ERR_READ; // only after a failed read
    DropBits(r, length);
    *symbol = EntrySymbol(entry);
    return ERR_NONE;
}

uint32_t CountWholeEntries(const uint32_t *pairs) {
    uint32_t n = 0;
    for (int32_t i = 0; i < PAIR_SIZE; i++) n += pairs[i] >> PAIR_PLAIN_AT & 1;
    return n;
}

int32_t ReadTableSet(BitReader *r, WorkBlock *work) {
    uint8_t *token = work->lengths;
    uint8_t *offset = token + TOKEN_SYMBOLS;
    uint8_t *escape = offset + OFFSET_SYMBOLS;
    int32_t result = ReadCodeLengths(r, token, TOKEN_SYMBOLS);
    if (result == ERR_NONE) result = ReadCodeLengths(r, offset, OFFSET_SYMBOLS);
    if (result == ERR_NONE) result = ReadCodeLengths(r, escape, ESCAPE_SYMBOLS);
    if (result == ERR_NONE) result = BuildDecodeTable(&work->token, token, TOKEN_SYMBOLS);
    if (result == ERR_NONE) result = BuildDecodeTable(&work->offset, offset, OFFSET_SYMBOLS);
    if (result == ERR_NONE) result = BuildDecodeTable(&work->escape, escape, ESCAPE_SYMBOLS);
    if (result == ERR_NONE) {
        BuildPairTable(work->pairs, &work->token, &work->offset, &work->escape);
        BuildEscapeTable(work->escapes, &work->escape);
        work->whole_entries = CountWholeEntries(work->pairs);
    }
    return result;
}
