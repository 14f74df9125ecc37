#include "encoder/writer.h"

#include <algorithm>

void PutBits(BitWriter *w, uint32_t value, int32_t n) {
    if (n == 0) return;
    w->acc = (w->acc << n) | (value & ((static_cast<uint64_t>(1) << n) - 1));
    w->pending += n;
    while (w->pending >= 8) {
        w->pending -= 8;
        w->out->push_back(static_cast<uint8_t>(w->acc >> w->pending));
    }
    w->acc &= (static_cast<uint64_t>(1) << w->pending) - 1;
}

int32_t ExpGolombBits(uint32_t value) {
    uint64_t v = static_cast<uint64_t>(value) + 1;
    int32_t z = 0;
    while ((v >> (z + 1)) != 0) z++;
    return 2 * z + 1;
}

void PutExpGolomb(BitWriter *w, uint32_t value) {
    uint64_t v = static_cast<uint64_t>(value) + 1;
    int32_t z = 0;
    while ((v >> (z + 1)) != 0) z++;
    PutBits(w, 0, z);
    PutBits(w, 1, 1);
    PutBits(w, static_cast<uint32_t>(v - (static_cast<uint64_t>(1) << z)), z);
}

void FlushBits(BitWriter *w) {
    if (w->pending > 0) PutBits(w, 0, 8 - w->pending);
}

void PutHeader(std::vector<uint8_t> *out, uint32_t width, uint32_t height) {
    const uint8_t header[24] = {
        'P', 'X', 'C', 'M', 0, 0, 1, 0, 0, 0, 0, 0,
        static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8),
        static_cast<uint8_t>(height), static_cast<uint8_t>(height >> 8),
        24, 0, 0, 0, 0, 0, 0, 0,
    };
    out->insert(out->end(), header, header + 24);
}

namespace {

// The layout of one table: which symbols are sent as explicit lengths.
struct TableLayout {
    int32_t width;
    uint32_t count;
    int32_t bits;
};

int32_t WidthFor(const uint8_t *lengths, uint32_t n) {
    uint8_t top = 0;
    for (uint32_t i = 0; i < n; i++) top = std::max(top, lengths[i]);
    int32_t width = 0;
    while ((top >> width) != 0) width++;
    return width;
}

// Walks the table deciding, per gap, skip against explicit zeros. When put
// is set the table is written as well.
TableLayout WalkTable(BitWriter *w, const uint8_t *lengths, uint32_t n, int32_t width, uint32_t count) {
    TableLayout layout{width, 0, 0};
    uint32_t last = 0;
    bool any = false;
    for (uint32_t i = 0; i < n; i++)
        if (lengths[i] != 0) {
            last = i;
            any = true;
        }
    if (!any) {
        if (w != nullptr) PutExpGolomb(w, 0);
        layout.bits = 1;
        return layout;
    }
    if (w != nullptr) {
        PutExpGolomb(w, count);
        PutBits(w, static_cast<uint32_t>(width), 3);
    }
    uint32_t p = 0;
    while (p <= last) {
        if (lengths[p] != 0) {
            if (w != nullptr) {
                PutBits(w, 1, 1);
                PutBits(w, lengths[p], width);
            }
            layout.bits += 1 + width;
            layout.count++;
            p++;
            continue;
        }
        uint32_t gap = 0;
        while (lengths[p + gap] == 0) gap++;
        const int32_t skip_bits = 1 + ExpGolombBits(gap - 1);
        const int64_t zero_bits = static_cast<int64_t>(gap) * (1 + width);
        if (zero_bits < skip_bits) {
            for (uint32_t k = 0; k < gap; k++) {
                if (w != nullptr) {
                    PutBits(w, 1, 1);
                    PutBits(w, 0, width);
                }
                layout.count++;
            }
            layout.bits += static_cast<int32_t>(zero_bits);
        } else {
            if (w != nullptr) {
                PutBits(w, 0, 1);
                PutExpGolomb(w, gap - 1);
            }
            layout.bits += skip_bits;
        }
        p += gap;
    }
    layout.bits += ExpGolombBits(layout.count) + 3;
    return layout;
}

} // namespace

int32_t CodeLengthBits(const uint8_t *lengths, uint32_t n) {
    return WalkTable(nullptr, lengths, n, WidthFor(lengths, n), 0).bits;
}

void PutCodeLengths(BitWriter *w, const uint8_t *lengths, uint32_t n) {
    const int32_t width = WidthFor(lengths, n);
    const TableLayout layout = WalkTable(nullptr, lengths, n, width, 0);
    WalkTable(w, lengths, n, width, layout.count);
}

void CanonicalCodes(const uint8_t *lengths, uint32_t n, uint32_t *codes) {
    uint32_t count[33] = {};
    for (uint32_t i = 0; i < n; i++) count[lengths[i]]++;
    count[0] = 0;
    uint32_t next[33] = {};
    uint32_t code = 0;
    for (int32_t len = 1; len <= 32; len++) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (uint32_t i = 0; i < n; i++)
        if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
}

void SetPrefixCode(PrefixCode *code, const uint8_t *lengths, uint32_t n) {
    code->n = n;
    std::copy(lengths, lengths + n, code->length);
    std::fill(code->code, code->code + 512, 0u);
    CanonicalCodes(lengths, n, code->code);
}

void LimitedCodeLengths(const uint64_t *counts, uint32_t n, int32_t max_length, uint8_t *lengths) {
    std::fill(lengths, lengths + n, uint8_t{0});
    std::vector<uint32_t> used;
    for (uint32_t i = 0; i < n; i++)
        if (counts[i] != 0) used.push_back(i);
    if (used.empty()) return;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return;
    }
    std::sort(used.begin(), used.end(), [&](uint32_t a, uint32_t b) {
        return counts[a] != counts[b] ? counts[a] < counts[b] : a < b;
    });
    // Package-merge: each item is a weight and the leaves it covers.
    struct Item {
        uint64_t weight;
        std::vector<uint32_t> leaves;
    };
    std::vector<Item> leaves_list;
    for (uint32_t s : used) leaves_list.push_back({counts[s], {s}});
    std::vector<Item> current = leaves_list;
    for (int32_t level = 1; level < max_length; level++) {
        std::vector<Item> packaged;
        for (size_t i = 0; i + 1 < current.size(); i += 2) {
            Item merged{current[i].weight + current[i + 1].weight, current[i].leaves};
            merged.leaves.insert(merged.leaves.end(), current[i + 1].leaves.begin(),
                                 current[i + 1].leaves.end());
            packaged.push_back(std::move(merged));
        }
        std::vector<Item> next;
        std::merge(leaves_list.begin(), leaves_list.end(), packaged.begin(), packaged.end(),
                   std::back_inserter(next),
                   [](const Item &a, const Item &b) { return a.weight < b.weight; });
        current = std::move(next);
    }
    const size_t take = 2 * used.size() - 2;
    for (size_t i = 0; i < take && i < current.size(); i++)
        for (uint32_t s : current[i].leaves) lengths[s]++;
}
