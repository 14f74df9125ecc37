#include "source/header.h"

int32_t CheckHeader(InputSource source, ImageHeader *header) {
    uint8_t bytes[HEADER_SIZE];
    int32_t result = ReadExact(source, bytes, HEADER_SIZE);
    if (result != ERR_NONE) return result;
    return ParseHeader(bytes, header);
}
