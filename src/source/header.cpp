#include "source/header.h"

static uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static uint32_t Le16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

int32_t ParseHeader(const uint8_t bytes[HEADER_SIZE], ImageHeader *header) {
    ImageHeader h;
    h.tag = Le32(bytes + 0);
    h.format = Le32(bytes + 4);
    h.zero1 = Le32(bytes + 8);
    h.width = Le16(bytes + 12);
    h.height = Le16(bytes + 14);
    h.depth = Le32(bytes + 16);
    h.zero2 = Le32(bytes + 20);
    if (h.tag != FORMAT_TAG || h.format != FORMAT_WORD || h.zero1 != 0 || h.depth != FORMAT_DEPTH ||
        h.zero2 != 0)
        return ERR_BAD_FORMAT;
    *header = h;
    return ERR_NONE;
}

int32_t CheckHeader(InputSource source, ImageHeader *header) {
    uint8_t bytes[HEADER_SIZE];
    int32_t result = ReadExact(source, bytes, HEADER_SIZE);
    if (result != ERR_NONE) return result;
    return ParseHeader(bytes, header);
}
