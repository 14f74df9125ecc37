// Canonical prefix-code decoder: a 256-slot table resolves every code of up
// to 8 bits with one peek; longer codes walk a small binary tree hanging
// from the slot of their first 8 bits.
#ifndef PXCM_PREFIX_H
#define PXCM_PREFIX_H

#include <stdint.h>

#include "entropy/bitreader.h"
#include "entropy/codelengths.h"
#include "entropy/streamreader.h"

constexpr int32_t LOOKUP_BITS = 8;
constexpr int32_t LOOKUP_SIZE = 1 << LOOKUP_BITS;
constexpr uint32_t MAX_CODE_LENGTH = 32;
// The wider table the picture decoder looks at first: every code of up to
// FAST_BITS bits in one step. Codes it does not hold go the 8-bit way.
constexpr int32_t FAST_BITS = 11;
constexpr int32_t FAST_SIZE = 1 << FAST_BITS;

constexpr uint32_t TOKEN_SYMBOLS = 342;
constexpr uint32_t OFFSET_SYMBOLS = 11;
constexpr uint32_t ESCAPE_SYMBOLS = 251;

// A tree link: none, the index of an inner node, or a leaf holding a symbol.
constexpr uint16_t LINK_NONE = 0xffff;
constexpr uint16_t LINK_LEAF = 0x8000;

struct LookupSlot {
    uint16_t value; // the symbol (length 1 to 8), or the tree's root link (length 0)
    uint8_t length; // 1 to 8: a code of this length; 0: longer codes, or none
    uint8_t unused;
};

struct TreeNode {
    uint16_t link[2]; // for the next bit 0 and 1
};

struct FastEntry {
    uint16_t symbol;
    uint8_t length; // 1 to FAST_BITS; 0: look in slots
    uint8_t unused;
};

// A token and its offset symbol decoded together, when both codes fit in
// PAIR_BITS bits: the common case costs one look-up for the two.
constexpr int32_t PAIR_BITS = 12;
constexpr int32_t PAIR_SIZE = 1 << PAIR_BITS;
// The pair table is filled through the wide tables: the bits after a
// one-bit token code must still index them.
static_assert(PAIR_BITS - 1 <= FAST_BITS && FAST_BITS < PAIR_BITS, "pair table built from the wide tables");

struct PairEntry {
    uint16_t token;
    uint8_t offset;
    uint8_t length; // of both codes; 0: decode them one by one
};

struct PrefixDecoder {
    SymbolEntry *entries; // n entries, as ReadCodeLengths left them
    TreeNode *pool;       // 2 * n nodes
    uint32_t n;
    uint32_t pool_size;
    LookupSlot slots[LOOKUP_SIZE];
    FastEntry fast[FAST_SIZE];
};

// Storage of the three decoders of a picture: one allocation, rebuilt in
// place for every table set.
struct WorkBlock {
    PrefixDecoder token;
    PrefixDecoder offset;
    PrefixDecoder escape;
    SymbolEntry token_entries[TOKEN_SYMBOLS];
    SymbolEntry offset_entries[OFFSET_SYMBOLS];
    SymbolEntry escape_entries[ESCAPE_SYMBOLS];
    TreeNode token_nodes[2 * TOKEN_SYMBOLS];
    TreeNode offset_nodes[2 * OFFSET_SYMBOLS];
    TreeNode escape_nodes[2 * ESCAPE_SYMBOLS];
    PairEntry pairs[PAIR_SIZE];  // token and offset codes together
    uint8_t input[STREAM_CHUNK]; // the picture decoder's read buffer
};

// Points the three decoders at their storage and gives every alphabet no codes.
void InitWorkBlock(WorkBlock *work);

// Builds the slots and trees from the entries' lengths. Lengths that no
// canonical code can have (above 32, or more codes than the lengths allow)
// and trees that would need more nodes than the pool holds give ERR_READ.
// An incomplete code builds; its unfilled slots and links refuse to decode.
int32_t BuildDecoder(PrefixDecoder *decoder);

// Decodes one symbol through the 8-bit slots and the trees. ERR_READ on a
// read error or on a bit sequence that no code of this table set covers.
template <typename Reader>
int32_t DecodeSymbol(Reader *reader, const PrefixDecoder *decoder, uint32_t *symbol) {
    uint32_t v = 0;
    int32_t result = PeekBits(reader, LOOKUP_BITS, &v);
    if (result != ERR_NONE) return result;
    const LookupSlot slot = decoder->slots[v];
    if (slot.length != 0) {
        DropBits(reader, slot.length);
        *symbol = slot.value;
        return ERR_NONE;
    }
    uint16_t link = slot.value;
    if (link == LINK_NONE) return ERR_READ; // no code starts with these bits
    DropBits(reader, LOOKUP_BITS);
    for (;;) {
        uint32_t bit = 0;
        result = ReadBits(reader, 1, &bit);
        if (result != ERR_NONE) return result;
        link = decoder->pool[link].link[bit];
        if (link == LINK_NONE) return ERR_READ;
        if ((link & LINK_LEAF) != 0) {
            *symbol = link & ~LINK_LEAF;
            return ERR_NONE;
        }
    }
}

// The picture decoder's way: the wide table first, the general way for the
// rest. Decodes exactly the symbols the general way decodes.
inline int32_t DecodeSymbol(StreamReader *reader, const PrefixDecoder *decoder, uint32_t *symbol) {
    if (reader->held < FAST_BITS) FillStream(reader);
    const FastEntry entry = decoder->fast[reader->bits >> (64 - FAST_BITS)];
    if (entry.length != 0 && entry.length <= reader->held) {
        DropBits(reader, entry.length);
        *symbol = entry.symbol;
        return ERR_NONE;
    }
    return DecodeSymbol<StreamReader>(reader, decoder, symbol);
}

// Fills the pair table from the token and offset decoders' wide tables.
void BuildPairTable(WorkBlock *work);

// Reads a table set (token, offset and escape lengths) and builds the three decoders.
template <typename Reader> int32_t ReadTableSet(Reader *reader, WorkBlock *work) {
    int32_t result = ReadCodeLengths(reader, work->token.entries, work->token.n);
    if (result == ERR_NONE) result = ReadCodeLengths(reader, work->offset.entries, work->offset.n);
    if (result == ERR_NONE) result = ReadCodeLengths(reader, work->escape.entries, work->escape.n);
    if (result == ERR_NONE) result = BuildDecoder(&work->token);
    if (result == ERR_NONE) result = BuildDecoder(&work->offset);
    if (result == ERR_NONE) result = BuildDecoder(&work->escape);
    if (result == ERR_NONE) BuildPairTable(work);
    return result;
}

#endif
