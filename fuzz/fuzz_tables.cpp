// The entropy decoder and the row decoder driven directly on arbitrary
// bytes, against the plain decoder of reference.h.
//
// Input: a selector byte, then (row mode) two geometry bytes, then the bit
// stream.
//   selector bit 0 = 0, symbol mode: table sets (ReadTableSet) alternate with
//     runs of DecodeSymbol over the three alphabets in an order taken from
//     the selector, up to four table sets.
//   selector bit 0 = 1, row mode: a picture of 1 to 48 by 1 to 16 pixels
//     decoded with DecodeRow into a bitmap of exactly its size; selector bits
//     1 to 3, when not 0, cap the table countdown at every row start, so that
//     table sets follow each other within a few tokens.
// Both decoders must agree on every symbol, pixel and refusal, and stay at
// the same bit position (the next 25 bits agree).
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "entropy/prefix.h"
#include "harness.h"
#include "pixels/rows.h"
#include "reference.h"
#include "source/source.h"

namespace {

// Works with whichever bit reader the row decoder carries.
template <typename Reader> void CheckInStep(Reader *reader, const RefBits &ref) {
    uint32_t next = 0;
    FUZZ_CHECK(PeekBits(reader, MAX_PEEK_BITS, &next) == ERR_NONE);
    FUZZ_CHECK(next == ref.Peek(MAX_PEEK_BITS));
}

void SymbolMode(uint8_t selector, const uint8_t *stream, size_t size) {
    InputSource source = nullptr;
    FUZZ_CHECK(OpenSource(&source, reinterpret_cast<const char *>(stream),
                          static_cast<PxcmLong>(size), SOURCE_MEMORY) == ERR_NONE);
    auto *work = new WorkBlock;
    InitWorkBlock(work);
    BitReader reader;
    StartBitReader(&reader, source);
    RefBits ref{stream, size};
    RefTables tables;
    const PrefixDecoder *decoders[4] = {&work->token, &work->offset, &work->escape, &work->token};
    const RefCode *codes[4] = {&tables.token, &tables.offset, &tables.escape, &tables.token};
    const uint32_t per_set = 1 + (selector >> 1) * 4u;
    for (int set = 0; set < 4; set++) {
        const bool ok = ReadTableSet(&reader, work) == ERR_NONE;
        FUZZ_CHECK(ok == RefReadTableSet(&ref, &tables));
        if (!ok) break;
        CheckInStep(&reader, ref);
        bool failed = false;
        for (uint32_t i = 0; i < per_set && !failed; i++) {
            const int which = (selector >> (2 * (i % 4))) & 3;
            uint32_t got = 0, want = 0;
            const bool decoded = DecodeSymbol(&reader, decoders[which], &got) == ERR_NONE;
            FUZZ_CHECK(decoded == RefDecode(&ref, *codes[which], &want));
            if (!decoded) {
                failed = true;
                break;
            }
            FUZZ_CHECK(got == want && got < decoders[which]->n);
            CheckInStep(&reader, ref);
        }
        if (failed) break;
    }
    delete work;
    CloseSource(source, nullptr);
}

void RowMode(uint8_t selector, uint32_t width, uint32_t height, const uint8_t *stream,
             size_t size) {
    InputSource source = nullptr;
    FUZZ_CHECK(OpenSource(&source, reinterpret_cast<const char *>(stream),
                          static_cast<PxcmLong>(size), SOURCE_MEMORY) == ERR_NONE);
    const int64_t stride = static_cast<int64_t>(FuzzStride(width));
    const size_t bytes = static_cast<size_t>(stride * height);
    // Exactly the bitmap's size, so that the sanitizer sees any byte past it.
    auto *pixels = static_cast<uint8_t *>(calloc(bytes, 1));
    auto *work = static_cast<WorkBlock *>(malloc(sizeof(WorkBlock)));
    InitWorkBlock(work);
    RowDecoder state;
    StartRowDecoder(&state, source, work, pixels, width, height);

    RefPicture ref;
    ref.bits = RefBits{stream, size};
    ref.width = width;
    ref.height = height;
    ref.stride = stride;
    ref.buf.assign(bytes, 0);
    const int32_t cap = (selector >> 1) & 7;
    for (uint32_t m = 0; m < height; m++) {
        if (cap != 0 && state.countdown > cap) state.countdown = ref.countdown = cap;
        const bool ok = DecodeRow(&state, static_cast<int32_t>(m)) == ERR_NONE;
        FUZZ_CHECK(ok == ref.Row(m));
        FUZZ_CHECK(memcmp(pixels, ref.buf.data(), bytes) == 0);
        if (!ok) break;
        FUZZ_CHECK(state.countdown == ref.countdown);
        CheckInStep(&state.reader, ref.bits);
    }
    free(work);
    free(pixels);
    CloseSource(source, nullptr);
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
