#include "entropy/prefix.h"

static void InitDecoder(PrefixDecoder *d, SymbolEntry *entries, TreeNode *pool, uint32_t n) {
    d->entries = entries;
    d->pool = pool;
    d->n = n;
    d->pool_size = 2 * n;
    for (uint32_t i = 0; i < n; i++) {
        entries[i].next = nullptr;
        entries[i].length = 0;
        entries[i].symbol = i;
    }
    for (int32_t v = 0; v < LOOKUP_SIZE; v++) d->slots[v] = LookupSlot{LINK_NONE, 0, 0};
    for (int32_t v = 0; v < FAST_SIZE; v++) d->fast[v] = FastEntry{0, 0, 0};
}

void BuildPairTable(WorkBlock *work) {
    const FastEntry *tokens = work->token.fast;
    const FastEntry *offsets = work->offset.fast;
    for (uint32_t v = 0; v < static_cast<uint32_t>(PAIR_SIZE); v++) {
        PairEntry pair{0, 0, 0};
        const FastEntry t = tokens[v >> (PAIR_BITS - FAST_BITS)];
        if (t.length != 0 && t.length < PAIR_BITS) {
            // The bits after the token code, left-aligned for the offset table.
            const uint32_t rest = PAIR_BITS - t.length;
            const uint32_t after = (v & ((1u << rest) - 1)) << (FAST_BITS - rest);
            const FastEntry o = offsets[after];
            if (o.length != 0 && o.length <= rest)
                pair = PairEntry{t.symbol, static_cast<uint8_t>(o.symbol),
                                 static_cast<uint8_t>(t.length + o.length)};
        }
        work->pairs[v] = pair;
    }
}

void InitWorkBlock(WorkBlock *work) {
    InitDecoder(&work->token, work->token_entries, work->token_nodes, TOKEN_SYMBOLS);
    InitDecoder(&work->offset, work->offset_entries, work->offset_nodes, OFFSET_SYMBOLS);
    InitDecoder(&work->escape, work->escape_entries, work->escape_nodes, ESCAPE_SYMBOLS);
    BuildPairTable(work);
}

// Chains the entries with a code by length, ascending, equal lengths in
// symbol order (one bucket per length, each kept in symbol order).
static SymbolEntry *ChainByLength(PrefixDecoder *d, int32_t *result) {
    SymbolEntry *heads[MAX_CODE_LENGTH + 1] = {};
    SymbolEntry *tails[MAX_CODE_LENGTH + 1] = {};
    for (uint32_t i = 0; i < d->n; i++) {
        SymbolEntry *e = &d->entries[i];
        e->next = nullptr;
        if (e->length == 0) continue;
        if (e->length > MAX_CODE_LENGTH) {
            *result = ERR_READ;
            return nullptr;
        }
        if (tails[e->length] != nullptr)
            tails[e->length]->next = e;
        else
            heads[e->length] = e;
        tails[e->length] = e;
    }
    SymbolEntry *first = nullptr;
    SymbolEntry *last = nullptr;
    for (uint32_t len = 1; len <= MAX_CODE_LENGTH; len++) {
        if (heads[len] == nullptr) continue;
        if (last != nullptr)
            last->next = heads[len];
        else
            first = heads[len];
        last = tails[len];
    }
    *result = ERR_NONE;
    return first;
}

// Hangs a code longer than 8 bits into the tree of its slot.
static int32_t InsertLongCode(PrefixDecoder *d, uint64_t code, uint32_t len, uint32_t symbol,
                              uint32_t *used) {
    LookupSlot *slot = &d->slots[code >> (len - LOOKUP_BITS)];
    if (slot->length != 0) return ERR_READ; // cannot happen for a prefix-free code
    uint16_t *link = &slot->value;
    for (int32_t bit = static_cast<int32_t>(len - LOOKUP_BITS) - 1;; bit--) {
        if (bit < 0) {
            if (*link != LINK_NONE) return ERR_READ;
            *link = static_cast<uint16_t>(LINK_LEAF | symbol);
            return ERR_NONE;
        }
        if (*link == LINK_NONE) {
            if (*used >= d->pool_size) return ERR_READ;
            d->pool[*used].link[0] = LINK_NONE;
            d->pool[*used].link[1] = LINK_NONE;
            *link = static_cast<uint16_t>(*used);
            (*used)++;
        } else if ((*link & LINK_LEAF) != 0) {
            return ERR_READ;
        }
        link = &d->pool[*link].link[(code >> bit) & 1];
    }
}

int32_t BuildDecoder(PrefixDecoder *d) {
    for (int32_t v = 0; v < LOOKUP_SIZE; v++) d->slots[v] = LookupSlot{LINK_NONE, 0, 0};
    for (int32_t v = 0; v < FAST_SIZE; v++) d->fast[v] = FastEntry{0, 0, 0};
    int32_t result = ERR_NONE;
    SymbolEntry *e = ChainByLength(d, &result);
    if (result != ERR_NONE) return result;
    uint64_t code = 0;
    uint32_t cur = 0;
    uint32_t used = 0;
    for (; e != nullptr; e = e->next) {
        if (e->length > cur) {
            code <<= e->length - cur;
            cur = e->length;
        }
        if (code >> cur != 0) return ERR_READ; // more codes than the lengths allow
        if (cur <= static_cast<uint32_t>(FAST_BITS)) {
            uint32_t first = static_cast<uint32_t>(code) << (FAST_BITS - cur);
            uint32_t count = 1u << (FAST_BITS - cur);
            for (uint32_t v = first; v < first + count; v++)
                d->fast[v] = FastEntry{static_cast<uint16_t>(e->symbol), static_cast<uint8_t>(cur), 0};
        }
        if (cur <= static_cast<uint32_t>(LOOKUP_BITS)) {
            uint32_t first = static_cast<uint32_t>(code) << (LOOKUP_BITS - cur);
            uint32_t count = 1u << (LOOKUP_BITS - cur);
            for (uint32_t v = first; v < first + count; v++)
                d->slots[v] = LookupSlot{static_cast<uint16_t>(e->symbol), static_cast<uint8_t>(cur), 0};
        } else {
            result = InsertLongCode(d, code, cur, e->symbol, &used);
            if (result != ERR_NONE) return result;
        }
        code++;
    }
    return ERR_NONE;
}

