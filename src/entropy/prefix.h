// Canonical prefix-code decoder: a 256-slot table resolves every code of up
// to 8 bits with one peek; longer codes walk a small binary tree hanging
// from the slot of their first 8 bits.
#ifndef PXCM_PREFIX_H
#define PXCM_PREFIX_H

#include <stdint.h>

#include "entropy/bitreader.h"
#include "entropy/codelengths.h"

constexpr int32_t LOOKUP_BITS = 8;
constexpr int32_t LOOKUP_SIZE = 1 << LOOKUP_BITS;
constexpr uint32_t MAX_CODE_LENGTH = 32;

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

struct PrefixDecoder {
    SymbolEntry *entries; // n entries, as ReadCodeLengths left them
    TreeNode *pool;       // 2 * n nodes
    uint32_t n;
    uint32_t pool_size;
    LookupSlot slots[LOOKUP_SIZE];
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
};

// Points the three decoders at their storage and gives every alphabet no codes.
void InitWorkBlock(WorkBlock *work);

// Builds the slots and trees from the entries' lengths. Lengths that no
// canonical code can have (above 32, or more codes than the lengths allow)
// and trees that would need more nodes than the pool holds give ERR_READ.
// An incomplete code builds; its unfilled slots and links refuse to decode.
int32_t BuildDecoder(PrefixDecoder *decoder);

// The slow half of DecodeSymbol: codes longer than 8 bits, and refusals.
int32_t DecodeLongSymbol(BitReader *reader, const PrefixDecoder *decoder, uint32_t v,
                         uint32_t *symbol);

// Decodes one symbol. ERR_READ on a read error or on a bit sequence that no
// code of this table set covers.
inline int32_t DecodeSymbol(BitReader *reader, const PrefixDecoder *decoder, uint32_t *symbol) {
    uint32_t v = 0;
    int32_t result = PeekBits(reader, LOOKUP_BITS, &v);
    if (result != 0) return result;
    const LookupSlot slot = decoder->slots[v];
    if (slot.length != 0) {
        DropBits(reader, slot.length);
        *symbol = slot.value;
        return 0;
    }
    return DecodeLongSymbol(reader, decoder, v, symbol);
}

// Reads a table set (token, offset and escape lengths) and builds the three decoders.
int32_t ReadTableSet(BitReader *reader, WorkBlock *work);

#endif
