// Canonical prefix-code decoding: one table per alphabet, built straight
// from the code lengths of a table set, the token+offset pair table
// derived from the token and offset tables, and the escape table of one or
// two escapes derived from the escape alphabet's table.
//
// Main table: FAST_BITS bits of the stream index FAST_SIZE packed entries.
//
//     bits  0..7   code length, 1 to FAST_BITS; 0: no code of at most
//                  FAST_BITS bits starts with these bits
//     bits  8..15  unused (0)
//     bits 16..31  symbol
//
// Codes longer than FAST_BITS (rare: a well-built code gives them to
// symbols of probability below 2^-FAST_BITS) are found from the canonical
// layout itself: the codes of one length are consecutive numbers, so one
// comparison per length against the left-aligned end of that length's
// codes finds the length, and the distance from its first code the symbol.
// An entry of length 0 whose bits begin no long code either is a bit
// sequence no code covers: decoding it is refused with ERR_STREAM.
//
// Building checks every bound a table set can break, so that decoding
// needs no test beyond "is the length 0": lengths above 32, more codes than
// the lengths allow (the code space would overflow), and long codes whose
// binary tree below an 8-bit look-up would need more than 2 n nodes (the
// format's decoders keep such trees in a pool of that size, so streams
// that need more are not streams of the format). Incomplete codes build:
// their gaps decode to ERR_STREAM only if a stream reaches them.
#ifndef PXCM_DECODETABLE_H
#define PXCM_DECODETABLE_H

#include <stdint.h>

#include "entropy/bitreader.h"
#include "format/format.h"

constexpr int32_t FAST_BITS = 11;
constexpr int32_t FAST_SIZE = 1 << FAST_BITS;

constexpr uint32_t ENTRY_LENGTH_MASK = 0xff;
constexpr int32_t ENTRY_SYMBOL_SHIFT = 16;

constexpr uint32_t EntryLength(uint32_t entry) { return entry & ENTRY_LENGTH_MASK; }
constexpr uint32_t EntrySymbol(uint32_t entry) { return entry >> ENTRY_SYMBOL_SHIFT; }
constexpr uint32_t MakeEntry(uint32_t symbol, uint32_t length) { return symbol << ENTRY_SYMBOL_SHIFT | length; }

struct DecodeTable {
    uint32_t fast[FAST_SIZE];
    // limit[L]: the left-aligned end, in units of 2^-32 of the code space,
    // of the codes of at most L bits. The code of length L whose left-aligned
    // value is w is symbol sorted[first[L] + (w - limit[L - 1]) >> (32 - L)].
    uint64_t limit[MAX_CODE_LENGTH + 1];
    uint16_t first[MAX_CODE_LENGTH + 1]; // code-order index of the first code of each length
    uint32_t max_length;                 // longest code, 0 for an alphabet without codes
    uint32_t fast_end;                   // entries of fast[] that the short codes take, from 0
    uint16_t sorted[MAX_SYMBOLS];        // symbols in code order
};

// Builds the table for lengths[0..n). ERR_STREAM for lengths no code of the
// format can have (see above); the table is then unusable.
int32_t BuildDecodeTable(DecodeTable *table, const uint8_t *lengths, uint32_t n);

// The long-code search over a left-aligned 32-bit window: the code's
// length and symbol, or length 0 where no code covers the bits.
inline uint32_t FindLongCode(const DecodeTable *t, uint64_t window) {
    for (uint32_t len = FAST_BITS + 1; len <= t->max_length; len++) {
        if (window < t->limit[len]) {
            const uint64_t offset = (window - t->limit[len - 1]) >> (MAX_CODE_LENGTH - len);
            return MakeEntry(t->sorted[t->first[len] + offset], len);
        }
    }
    return 0;
}

// The pair table: a token and its offset symbol in one look-up, where both
// codes fit in PAIR_BITS bits, and with them a literal's first escape where
// its code fits in the bits left. Entry layout:
//
//     bits  0..5   length of the codes taken: token, offset and the first
//                  escape where taken; 0: decode them one by one
//     bits  6..9   offset symbol
//     bits 10..11  escapes of the token still to decode (0 for a run)
//     bit  12      1 where the first escape is taken
//     bits 13..20  the first escape symbol + ESCAPE_BIAS where taken, else 0
//     bits 21..29  token
//     bit  30      1 where the entry is a whole token: a run of at most
//                  PLAIN_RUN_PIXELS, or a literal with no escapes or one,
//                  taken (0 for longer runs, literals with escapes left and
//                  entries of length 0)
//     bit  31      1 in an entry of length 0 whose token code fits but
//                  whose offset code does not: the entry holds the token
//                  (bits 21..29) and its code's length (bits 6..9), all
//                  else 0; entries of length 0 without it are 0
//
// The length sits in the low 6 bits, so that a 64-bit shift by the entry
// needs no mask where the machine takes shift counts modulo 64.
constexpr int32_t PAIR_BITS = 12;
constexpr int32_t PAIR_SIZE = 1 << PAIR_BITS;
// The pair table is filled through the main tables: the bits after a
// one-bit token code must still index them.
static_assert(PAIR_BITS - 1 <= FAST_BITS && FAST_BITS < PAIR_BITS, "pair table built from the main tables");
static_assert(PAIR_BITS < 64, "a pair's length takes the entry's low 6 bits");
static_assert(OFFSET_SYMBOLS <= 16, "an offset symbol takes four bits of a pair entry");
static_assert(TOKEN_SYMBOLS <= 512, "a token takes nine bits of a pair entry");
constexpr uint32_t PAIR_OFFSET_AT = 6;
constexpr uint32_t PAIR_LEFT_AT = 10;
constexpr uint32_t PAIR_TAKEN_AT = 12;
constexpr uint32_t PAIR_VALUE_AT = 13;
constexpr uint32_t PAIR_TOKEN_AT = 21;
constexpr uint32_t PAIR_PLAIN_AT = 30;
constexpr uint32_t PAIR_PLAIN = 1u << PAIR_PLAIN_AT;
constexpr uint32_t PAIR_TOKEN_ONLY_AT = 31;
constexpr uint32_t PAIR_TOKEN_ONLY = 1u << PAIR_TOKEN_ONLY_AT;
static_assert(FAST_BITS < 16, "a token code's length takes the offset's four bits");

// What the row decoder writes of a whole token in one store, and so the
// longest run that a pair entry marks whole.
constexpr int64_t WIDE_BYTES = 16;
constexpr uint32_t PLAIN_RUN_PIXELS = WIDE_BYTES / PIXEL_BYTES;

constexpr uint32_t PairLength(uint32_t pair) { return pair & 63; }
constexpr uint32_t PairOffset(uint32_t pair) { return (pair >> PAIR_OFFSET_AT) & 15; }
constexpr uint32_t PairEscapesLeft(uint32_t pair) { return (pair >> PAIR_LEFT_AT) & 3; }
constexpr uint32_t PairTakesEscape(uint32_t pair) { return (pair >> PAIR_TAKEN_AT) & 1; }
constexpr uint32_t PairEscapeValue(uint32_t pair) { return (pair >> PAIR_VALUE_AT) & 0xff; }
constexpr uint32_t PairToken(uint32_t pair) { return (pair >> PAIR_TOKEN_AT) & 511; }
constexpr bool PairIsPlain(uint32_t pair) { return (pair & PAIR_PLAIN) != 0; }
constexpr bool PairHasTokenOnly(uint32_t pair) { return (pair & PAIR_TOKEN_ONLY) != 0; }
constexpr uint32_t PairTokenLength(uint32_t pair) { return (pair >> PAIR_OFFSET_AT) & 15; }

// The escaped channels of a token: its digits that are ESCAPE_DIGIT.
constexpr uint32_t TokenEscapes(uint32_t t) {
    return t >= LITERAL_TOKENS ? 0
                               : (RedDigit(t) == ESCAPE_DIGIT) + (GreenDigit(t) == ESCAPE_DIGIT) +
                                     (BlueDigit(t) == ESCAPE_DIGIT);
}

// Builds the pair table of the token, offset and escape tables, block by
// block: the PAIR_BITS-bit indices that begin with one short token code
// take their offset symbol from the offset table at the resolution of the
// bits left, and a literal's first escape from the escape table at the
// resolution of the bits left after that.
void BuildPairTable(uint32_t *pairs, const DecodeTable *token, const DecodeTable *offset, const DecodeTable *escape);

// The escape table: up to two escape symbols of one literal in one look-up,
// ESCAPE_BITS bits of the stream. Entry layout:
//
//     bits  0..5   length of the first code, 1 to FAST_BITS; 0: no code of
//                  at most FAST_BITS bits starts here (the entry is 0)
//     bits  6..11  length of the first two codes where both fit in
//                  ESCAPE_BITS bits, else that of the first
//     bits 12..19  first symbol + ESCAPE_BIAS: what it subtracts
//     bits 20..27  the same for the second, 0 where it does not fit
//     bit  28      1 where the second fits
//
// Lengths sit in 6-bit fields, so that a shift by a field needs no mask
// where the machine takes shift counts modulo 64; bits 29..31 are 0, a
// field of length 0.
constexpr int32_t ESCAPE_BITS = 11;
constexpr int32_t ESCAPE_SIZE = 1 << ESCAPE_BITS;
// As many bits as the main table's, so that every short code starts an
// entry and the table takes no more of the first-level cache than it must
// (the pair table and the pixels share it): photographs decode faster with
// these 8 KiB than with the 16 of one more bit, whose extra second escapes
// are few.
static_assert(ESCAPE_BITS == FAST_BITS, "escape indices are main-table indices");
static_assert(ESCAPE_SYMBOLS - 1 + ESCAPE_BIAS <= 0xff, "what an escape subtracts fits in a byte");
constexpr uint32_t ESCAPE_ONE_AT = 0;
constexpr uint32_t ESCAPE_TWO_AT = 6;
constexpr uint32_t ESCAPE_NONE_AT = 29;
constexpr uint32_t ESCAPE_VALUES_AT = 12;
constexpr uint32_t ESCAPE_FITS_AT = 28;
constexpr uint32_t ESCAPE_SECOND_FITS = 1u << ESCAPE_FITS_AT;

constexpr uint32_t EscapeFirstLength(uint32_t e) { return (e >> ESCAPE_ONE_AT) & 63; }
constexpr uint32_t EscapeBothLength(uint32_t e) { return (e >> ESCAPE_TWO_AT) & 63; }
constexpr uint32_t EscapeFirstValue(uint32_t e) { return (e >> ESCAPE_VALUES_AT) & 0xff; }
constexpr uint32_t EscapeSecondValue(uint32_t e) { return (e >> (ESCAPE_VALUES_AT + 8)) & 0xff; }
constexpr bool EscapeSecondFits(uint32_t e) { return (e & ESCAPE_SECOND_FITS) != 0; }

// Builds the escape table from the escape alphabet's main table.
void BuildEscapeTable(uint32_t *escapes, const DecodeTable *escape);

// Decodes one symbol: the careful way, for a main-table entry of length 0
// or longer than the bits held. ERR_STREAM where no code covers the bits,
// ERR_READ where the code needs bits a failed read did not deliver.
int32_t DecodeSlow(BitReader *r, const DecodeTable *table, uint32_t *symbol);

// The one-look-up decode: takes the symbol when its code is in the main
// table and its bits are held; false sends the caller the careful way.
// Callers keep the reader in a local, so that its state stays in
// registers, and top it up themselves.
inline bool TakeSymbol(BitReader *r, const DecodeTable *table, uint32_t *symbol) {
    const uint32_t entry = table->fast[r->bits >> (64 - FAST_BITS)];
    const int32_t length = static_cast<int32_t>(EntryLength(entry));
    if (length == 0 || length > r->held) return false;
    DropBits(r, length);
    *symbol = EntrySymbol(entry);
    return true;
}

// The same for a token and its offset symbol together, through the pair
// table; an entry that takes an escape too is left to the one-by-one way.
inline bool TakePair(BitReader *r, const uint32_t *pairs, uint32_t *token, uint32_t *offset) {
    const uint32_t pair = pairs[r->bits >> (64 - PAIR_BITS)];
    const int32_t length = static_cast<int32_t>(PairLength(pair));
    if (length == 0 || length > r->held || PairTakesEscape(pair) != 0) return false;
    DropBits(r, length);
    *token = PairToken(pair);
    *offset = PairOffset(pair);
    return true;
}

// Decodes one symbol, topping the reader up first.
inline int32_t DecodeSymbol(BitReader *r, const DecodeTable *table, uint32_t *symbol) {
    if (r->held < FAST_BITS) FillBits(r);
    if (TakeSymbol(r, table, symbol)) return ERR_NONE;
    return DecodeSlow(r, table, symbol);
}

// Storage of one picture's decode: the three tables, the pair table, the
// lengths of the current table set and the source reader's chunk. One
// allocation per picture; every table set is rebuilt in place.
struct WorkBlock {
    DecodeTable token;
    DecodeTable offset;
    DecodeTable escape;
    uint32_t pairs[PAIR_SIZE];     // token, then offset
    uint32_t escapes[ESCAPE_SIZE]; // up to two escapes of one literal
    uint32_t whole_entries;        // pair entries that hold a whole token
    uint8_t lengths[TOKEN_SYMBOLS + OFFSET_SYMBOLS + ESCAPE_SYMBOLS];
    uint8_t chunk[READ_CHUNK];
};

// The pair entries that hold a whole token (PairIsPlain).
uint32_t CountWholeEntries(const uint32_t *pairs);

// Reads a table set (token, offset and escape lengths, in this order), then
// builds the three tables, the pair table and the escape table, and counts
// the pair table's whole tokens.
int32_t ReadTableSet(BitReader *r, WorkBlock *work);

#endif
