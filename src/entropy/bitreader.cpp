#include "entropy/bitreader.h"

const uint8_t REFILL_BYTES[32] = {
    4,                      // 0
    3, 3, 3, 3, 3, 3, 3, 3, // 1 to 8
    2, 2, 2, 2, 2, 2, 2, 2, // 9 to 16
    1, 1, 1, 1, 1, 1, 1, 1, // 17 to 24
    0, 0, 0, 0, 0, 0, 0,    // 25 to 31
};

int32_t RefillAndPeek(BitReader *reader, int32_t n, uint32_t *value) {
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
