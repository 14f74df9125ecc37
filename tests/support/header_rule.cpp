#include "support/header_rule.h"

std::vector<uint8_t> HeaderBytes(uint32_t width, uint32_t height) {
    std::vector<uint8_t> h(HEADER_SIZE, 0);
    for (int i = 0; i < 4; i++) {
        h[HEADER_TAG_AT + i] = WordByte(FORMAT_TAG, i);
        h[HEADER_FORMAT_AT + i] = WordByte(FORMAT_WORD, i);
        h[HEADER_DEPTH_AT + i] = WordByte(FORMAT_DEPTH, i);
    }
    for (int i = 0; i < 2; i++) {
        h[HEADER_WIDTH_AT + i] = WordByte(width, i);
        h[HEADER_HEIGHT_AT + i] = WordByte(height, i);
    }
    return h;
}
