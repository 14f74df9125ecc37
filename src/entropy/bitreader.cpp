#include "entropy/bitreader.h"

void StartSourceReader(BitReader *r, InputSource source, uint8_t *chunk) {
    r->bits = 0;
    r->held = 0;
    r->state = READER_READING;
    r->next = chunk;
    r->end = chunk;
    r->start = chunk;
    r->taken = 0;
    r->zeros = 0;
    r->source = source;
    r->chunk = chunk;
}

void StartMemoryReader(BitReader *r, const uint8_t *data, size_t size) {
    r->bits = 0;
    r->held = 0;
    r->state = READER_ENDED; // all the data is at hand
    r->next = data;
    r->end = data + size;
    r->start = data;
    r->taken = 0;
    r->zeros = 0;
    r->source = nullptr;
    r->chunk = nullptr;
}

void RefillBits(BitReader *r) {
    while (r->held < FILLED_BITS) {
        if (r->next == r->end) {
            if (r->state != READER_READING) break;
            const int32_t got = ReadSome(r->source, r->chunk, READ_CHUNK);
            if (got < 0) {
                r->state = READER_FAILED;
                break;
            }
            if (got == 0) {
                r->state = READER_ENDED;
                break;
            }
            r->taken += static_cast<uint64_t>(r->end - r->start);
            r->start = r->chunk;
            r->next = r->chunk;
            r->end = r->chunk + (got < READ_CHUNK ? got : READ_CHUNK);
            if (r->end - r->next >= 8) {
                FillBits(r);
                continue;
            }
        }
        r->bits |= static_cast<uint64_t>(*r->next++) << (56 - r->held);
        r->held += 8;
    }
    if (r->state == READER_ENDED && r->next == r->end) {
        // Past the end: the rest of the word is zero bits, counted as used
        // once they are dropped.
        r->zeros += static_cast<uint64_t>(64 - r->held);
        r->held = 64;
    }
}
