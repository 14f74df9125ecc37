// The entropy decoder and the row decoder driven directly on arbitrary
// bytes, against the plain decoders of tests/support.
//
// Input: a selector byte, then (row mode) two geometry bytes, then the bit
// stream.
//   selector bit 0 = 0, symbol mode: table sets (ReadTableSet) alternate with
//     runs of DecodeSymbol over the three alphabets in an order taken from
//     the selector, up to four table sets. The library's tables decode from
//     its bit reader over memory; the bit-by-bit reference and the
//     slots-and-trees reference (on the plain byte-at-a-time reader over a
//     memory source) decode the same bits.
//   selector bit 0 = 1, row mode: a picture of 1 to 48 by 1 to 16 pixels
//     decoded with DecodeRow into a bitmap of exactly its size; selector bits
//     1 to 3, when not 0, cap the table countdown at every row start, so that
//     table sets follow each other within a few tokens.
// All decoders must agree on every symbol, pixel and refusal, and stay at
// the same bit position (the next 25 bits agree).
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "entropy/decodetable.h"
#include "harness.h"
#include "pixels/rows.h"
#include "source/source.h"
#include "support/reference.h"

namespace {

template <typename Reader> void CheckInStep(Reader *reader, const RefBits &ref) {
    uint32_t next = 0;
    FUZZ_CHECK(PeekBits(reader, PLAIN_MAX_PEEK, &next) == ERR_NONE);
    FUZZ_CHECK(next == ref.Peek(PLAIN_MAX_PEEK));
}

// The slots-and-trees reference of one table set.
struct TreeTables {
    PrefixDecoder token, offset, escape;
};

bool ReadTreeTables(PlainBitReader *r, TreeTables *t) {
    InitDecoder(&t->token, TOKEN_SYMBOLS);
    InitDecoder(&t->offset, OFFSET_SYMBOLS);
    InitDecoder(&t->escape, ESCAPE_SYMBOLS);
    return PlainReadCodeLengths(r, &t->token) == ERR_NONE && PlainReadCodeLengths(r, &t->offset) == ERR_NONE &&
           PlainReadCodeLengths(r, &t->escape) == ERR_NONE && BuildDecoder(&t->token) == ERR_NONE &&
           BuildDecoder(&t->offset) == ERR_NONE && BuildDecoder(&t->escape) == ERR_NONE;
}

void SymbolMode(uint8_t selector, const uint8_t *stream, size_t size) {
    // An exact copy on the heap, so that the sanitizer sees any read past it.
    std::vector<uint8_t> copy(stream, stream + size);
    InputSource source = nullptr;
    FUZZ_CHECK(OpenSource(&source, reinterpret_cast<const char *>(copy.data()), static_cast<SourceExtent>(size),
                          SOURCE_KIND_MEMORY) == ERR_NONE);
    auto work = std::make_unique<WorkBlock>();
    auto trees = std::make_unique<TreeTables>();
    BitReader reader;
    StartMemoryReader(&reader, copy.data(), copy.size());
    PlainBitReader plain;
    StartPlainReader(&plain, source);
    RefBits ref{copy.data(), size};
    RefTables tables;
    const DecodeTable *decoders[4] = {&work->token, &work->offset, &work->escape, &work->token};
    const PrefixDecoder *tree[4] = {&trees->token, &trees->offset, &trees->escape, &trees->token};
    const RefCode *codes[4] = {&tables.token, &tables.offset, &tables.escape, &tables.token};
    const uint32_t sizes[4] = {TOKEN_SYMBOLS, OFFSET_SYMBOLS, ESCAPE_SYMBOLS, TOKEN_SYMBOLS};
    const uint32_t per_set = 1 + (selector >> 1) * 4u;
    for (int set = 0; set < 4; set++) {
        const bool ok = ReadTableSet(&reader, work.get()) == ERR_NONE;
        FUZZ_CHECK(ok == RefReadTableSet(&ref, &tables));
        FUZZ_CHECK(ok == ReadTreeTables(&plain, trees.get()));
        if (!ok) break;
        CheckInStep(&reader, ref);
        CheckInStep(&plain, ref);
        for (uint32_t i = 0; i < per_set; i++) {
            const int which = (selector >> (2 * (i % 4))) & 3;
            uint32_t got = 0, want = 0, plain_got = 0;
            const bool decoded = DecodeSymbol(&reader, decoders[which], &got) == ERR_NONE;
            FUZZ_CHECK(decoded == RefDecode(&ref, *codes[which], &want));
            FUZZ_CHECK(decoded == (DecodeSymbol(&plain, tree[which], &plain_got) == ERR_NONE));
            if (!decoded) {
                CloseSource(source, nullptr);
                return;
            }
            FUZZ_CHECK(got == want && plain_got == want && got < sizes[which]);
            CheckInStep(&reader, ref);
            CheckInStep(&plain, ref);
            FUZZ_CHECK(BitsUsed(&reader) == ref.pos);
        }
    }
    CloseSource(source, nullptr);
}

void RowMode(uint8_t selector, uint32_t width, uint32_t height, const uint8_t *stream, size_t size) {
    std::vector<uint8_t> copy(stream, stream + size);
    const int64_t stride = RowStride(width);
    const size_t bytes = static_cast<size_t>(stride * height);
    // Exactly the bitmap's size, so that the sanitizer sees any byte past it.
    auto *pixels = static_cast<uint8_t *>(calloc(bytes, 1));
    auto *work = static_cast<WorkBlock *>(malloc(sizeof(WorkBlock)));
    BitReader reader;
    StartMemoryReader(&reader, copy.data(), copy.size());
    RowDecoder state;
    StartRowDecoder(&state, &reader, work, width);
    state.bytes = pixels;
    state.lo = 0;
    state.hi = static_cast<int64_t>(bytes);

    RefPicture ref;
    ref.bits = RefBits{copy.data(), size};
    ref.width = width;
    ref.height = height;
    ref.stride = stride;
    ref.buf.assign(bytes, 0);
    const int32_t cap = (selector >> 1) & 7;
    for (uint32_t m = 0; m < height; m++) {
        if (cap != 0 && state.countdown > cap) state.countdown = ref.countdown = cap;
        const bool ok = DecodeRow(&state, static_cast<int64_t>(height - 1 - m) * stride) == ERR_NONE;
        FUZZ_CHECK(ok == ref.Row(m));
        FUZZ_CHECK(memcmp(pixels, ref.buf.data(), bytes) == 0);
        if (!ok) break;
        FUZZ_CHECK(state.countdown == ref.countdown);
        CheckInStep(&state.reader, ref.bits);
        FUZZ_CHECK(BitsUsed(&state.reader) == ref.bits.pos);
    }
    free(work);
    free(pixels);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return -1;
    const uint8_t selector = data[0];
    if ((selector & 1) == 0) {
        SymbolMode(selector, data + 1, size - 1);
        return 0;
    }
    if (size < 3) return -1;
    RowMode(selector, 1 + data[1] % 48u, 1 + data[2] % 16u, data + 3, size - 3);
    return 0;
}
