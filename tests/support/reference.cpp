#include "support/reference.h"

const uint8_t REFILL_BYTES[32] = {
    4,                      // 0
    3, 3, 3, 3, 3, 3, 3, 3, // 1 to 8
    2, 2, 2, 2, 2, 2, 2, 2, // 9 to 16
    1, 1, 1, 1, 1, 1, 1, 1, // 17 to 24
    0, 0, 0, 0, 0, 0, 0,    // 25 to 31
};

int32_t RefillAndPeek(PlainBitReader *reader, int32_t n, uint32_t *value) {
    if (reader->held < 0) {
        reader->held = 0;
        reader->bits = 0;
    }
    int32_t k = reader->held < 32 ? REFILL_BYTES[reader->held] : 0;
    if (k > 0) {
        uint8_t bytes[4];
        int32_t got = ReadSome(reader->source, bytes, k);
        if (got < 0) return ERR_READ;
        if (got > k) got = k;
        for (int32_t i = 0; i < got; i++) {
            reader->bits = reader->bits << 8 | bytes[i];
            reader->held += 8;
        }
    }
    if (reader->held >= n)
        *value = static_cast<uint32_t>(static_cast<uint64_t>(reader->bits) >> (reader->held - n));
    else // the data has ended: the remaining bits, then zero bits
        *value = reader->bits << (n - reader->held);
    return ERR_NONE;
}

void InitDecoder(PrefixDecoder *d, uint32_t n) {
    d->n = n;
    d->pool_size = TreeNodeLimit(n);
    for (uint32_t i = 0; i < n; i++) d->entries[i] = SymbolEntry{nullptr, 0, i};
    for (int32_t v = 0; v < LOOKUP_SIZE; v++) d->slots[v] = LookupSlot{LINK_NONE, 0, 0};
}

namespace {

// Chains the entries with a code by length, ascending, equal lengths in
// symbol order: each entry goes in front if shorter than the front entry,
// else after the last entry not longer than itself.
SymbolEntry *ChainByLength(PrefixDecoder *d) {
    SymbolEntry *first = nullptr;
    for (uint32_t i = 0; i < d->n; i++) {
        SymbolEntry *e = &d->entries[i];
        e->next = nullptr;
        if (e->length == 0) continue;
        if (first == nullptr || e->length < first->length) {
            e->next = first;
            first = e;
            continue;
        }
        SymbolEntry *at = first;
        while (at->next != nullptr && at->next->length <= e->length) at = at->next;
        e->next = at->next;
        at->next = e;
    }
    return first;
}

// Hangs a code longer than 8 bits into the tree of its slot.
int32_t InsertLongCode(PrefixDecoder *d, uint64_t code, uint32_t len, uint32_t symbol, uint32_t *used) {
    LookupSlot *slot = &d->slots[code >> (len - LOOKUP_BITS)];
    if (slot->length != 0) return ERR_STREAM;
    uint16_t *link = &slot->value;
    for (int32_t bit = static_cast<int32_t>(len - LOOKUP_BITS) - 1;; bit--) {
        if (bit < 0) {
            if (*link != LINK_NONE) return ERR_STREAM;
            *link = static_cast<uint16_t>(LINK_LEAF | symbol);
            return ERR_NONE;
        }
        if (*link == LINK_NONE) {
            if (*used >= d->pool_size) return ERR_STREAM;
            d->pool[*used].link[0] = LINK_NONE;
            d->pool[*used].link[1] = LINK_NONE;
            *link = static_cast<uint16_t>(*used);
            (*used)++;
        } else if ((*link & LINK_LEAF) != 0) {
            return ERR_STREAM;
        }
        link = &d->pool[*link].link[(code >> bit) & 1];
    }
}

} // namespace

int32_t BuildDecoder(PrefixDecoder *d) {
    for (int32_t v = 0; v < LOOKUP_SIZE; v++) d->slots[v] = LookupSlot{LINK_NONE, 0, 0};
    for (uint32_t i = 0; i < d->n; i++)
        if (d->entries[i].length > MAX_CODE_LENGTH) return ERR_STREAM;
    uint64_t code = 0;
    uint32_t cur = 0;
    uint32_t used = 0;
    for (SymbolEntry *e = ChainByLength(d); e != nullptr; e = e->next) {
        if (e->length > cur) {
            code <<= e->length - cur;
            cur = e->length;
        }
        if (code >> cur != 0) return ERR_STREAM; // more codes than the lengths allow
        if (cur <= static_cast<uint32_t>(LOOKUP_BITS)) {
            const uint32_t first = static_cast<uint32_t>(code) << (LOOKUP_BITS - cur);
            const uint32_t count = 1u << (LOOKUP_BITS - cur);
            for (uint32_t v = first; v < first + count; v++)
                d->slots[v] = LookupSlot{static_cast<uint16_t>(e->symbol), static_cast<uint8_t>(cur), 0};
        } else {
            int32_t result = InsertLongCode(d, code, cur, e->symbol, &used);
            if (result != ERR_NONE) return result;
        }
        code++;
    }
    return ERR_NONE;
}
