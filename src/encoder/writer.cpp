#include "encoder/writer.h"

#include <algorithm>

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
    if (w->pending % 8 != 0) PutBits(w, 0, 8 - w->pending % 8);
    while (w->pending >= 8) {
        w->pending -= 8;
        w->out->push_back(static_cast<uint8_t>(w->acc >> w->pending));
    }
    w->acc = 0;
}

void PutHeader(std::vector<uint8_t> *out, uint32_t width, uint32_t height) {
    uint8_t header[HEADER_SIZE];
    WriteHeader(header, width, height);
    out->insert(out->end(), header, header + HEADER_SIZE);
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
        PutBits(w, static_cast<uint32_t>(width), LENGTH_WIDTH_BITS);
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
    // A plain Huffman code first, from the sorted leaves and the nodes made
    // so far (which come out in order of weight): where it keeps within the
    // limit it is optimal, and it costs a small part of the merge below.
    {
        const size_t leaves = used.size();
        std::vector<uint64_t> weight(2 * leaves - 1);
        std::vector<uint32_t> parent(2 * leaves - 1);
        for (size_t i = 0; i < leaves; i++) weight[i] = counts[used[i]];
        size_t leaf = 0, node = leaves;
        for (size_t next = leaves; next < 2 * leaves - 1; next++) {
            size_t pick[2];
            for (size_t &p : pick)
                p = leaf < leaves && (node >= next || weight[leaf] <= weight[node]) ? leaf++ : node++;
            weight[next] = weight[pick[0]] + weight[pick[1]];
            parent[pick[0]] = parent[pick[1]] = static_cast<uint32_t>(next);
        }
        // Depths from the root (the last node) down; parents come after their children.
        std::vector<uint8_t> depth(2 * leaves - 1);
        depth[2 * leaves - 2] = 0;
        int32_t deepest = 0;
        for (size_t i = 2 * leaves - 2; i-- > 0;) {
            depth[i] = static_cast<uint8_t>(std::min<int32_t>(depth[parent[i]] + 1, 255));
            if (i < leaves) deepest = std::max<int32_t>(deepest, depth[i]);
        }
        if (deepest <= max_length) {
            for (size_t i = 0; i < leaves; i++) lengths[used[i]] = depth[i];
            return;
        }
    }
    // Package-merge. Each level's list holds leaves and packages of two
    // items of the level below, sorted by weight; a symbol's code length is
    // the number of times it occurs in the first 2n - 2 items of the last
    // list, counted by walking the packages down. No list is longer than
    // 2n - 1 items, so all of them share one block of that many a level.
    struct Item {
        uint64_t weight;
        int32_t first;  // a leaf's index into used, or the first item packaged
        int32_t second; // -1 for a leaf, else the second item packaged
    };
    const int32_t levels = std::max<int32_t>(max_length, 1);
    const size_t room = 2 * used.size();
    std::vector<Item> items(room * static_cast<size_t>(levels));
    std::vector<size_t> sizes(static_cast<size_t>(levels));
    Item *leaves = items.data();
    for (size_t i = 0; i < used.size(); i++) leaves[i] = {counts[used[i]], static_cast<int32_t>(i), -1};
    sizes[0] = used.size();
    for (int32_t level = 1; level < levels; level++) {
        const Item *below = leaves + room * static_cast<size_t>(level - 1);
        const size_t below_size = sizes[static_cast<size_t>(level - 1)];
        Item *list = leaves + room * static_cast<size_t>(level);
        size_t size = 0;
        size_t leaf = 0, pair = 0;
        while (leaf < used.size() || pair + 1 < below_size) {
            const bool take_pair = pair + 1 < below_size &&
                                   (leaf == used.size() ||
                                    below[pair].weight + below[pair + 1].weight < leaves[leaf].weight);
            if (take_pair) {
                list[size++] = {below[pair].weight + below[pair + 1].weight, static_cast<int32_t>(pair),
                                static_cast<int32_t>(pair + 1)};
                pair += 2;
            } else {
                list[size++] = leaves[leaf++];
            }
        }
        sizes[static_cast<size_t>(level)] = size;
    }
    // Walk down: at each level, how many of the first items are taken; the
    // packages among them take the first 2k items of the level below.
    size_t take = 2 * used.size() - 2;
    for (int32_t level = levels - 1; level >= 0 && take > 0; level--) {
        const Item *list = leaves + room * static_cast<size_t>(level);
        const size_t size = sizes[static_cast<size_t>(level)];
        size_t packages = 0;
        for (size_t i = 0; i < take && i < size; i++) {
            if (list[i].second < 0)
                lengths[used[list[i].first]]++;
            else
                packages++;
        }
        take = 2 * packages;
    }
}
