// The 24-byte picture header.
#ifndef PXCM_HEADER_H
#define PXCM_HEADER_H

#include <stdint.h>

#include "source/source.h"

constexpr int32_t HEADER_SIZE = 24;
constexpr uint32_t FORMAT_TAG = 0x4d435850; // "PXCM" read as a little-endian word
constexpr uint32_t FORMAT_WORD = 0x00010000;
constexpr uint32_t FORMAT_DEPTH = 24;

struct ImageHeader {
    uint32_t tag;
    uint32_t format;
    uint32_t zero1;
    uint32_t width;  // widened from 16 bits
    uint32_t height; // widened from 16 bits
    uint32_t depth;
    uint32_t zero2;
};

// Decodes and tests the 24 header bytes: ERR_NONE or ERR_BAD_FORMAT.
int32_t ParseHeader(const uint8_t bytes[HEADER_SIZE], ImageHeader *header);
// Reads the header from the source's current position: ERR_READ when fewer
// than 24 bytes are there, ERR_BAD_FORMAT when refused, else ERR_NONE.
int32_t CheckHeader(InputSource source, ImageHeader *header);

#endif
