#include "entropy/streamreader.h"

void RefillStream(StreamReader *r) {
    while (r->held <= 56) {
        if (r->next == r->end) {
            if (r->state != STREAM_READING) break;
            int32_t got = ReadSome(r->source, r->chunk, STREAM_CHUNK);
            if (got < 0) {
                r->state = STREAM_FAILED;
                break;
            }
            if (got == 0) {
                r->state = STREAM_ENDED;
                break;
            }
            r->next = r->chunk;
            r->end = r->chunk + (got < STREAM_CHUNK ? got : STREAM_CHUNK);
            if (r->end - r->next >= 8 && r->held <= 56) {
                FillStream(r);
                continue;
            }
        }
        r->bits |= static_cast<uint64_t>(*r->next++) << (56 - r->held);
        r->held += 8;
    }
    if (r->state == STREAM_ENDED && r->next == r->end) r->held = 64;
}
