// The facts of the PXCM format, each written once: result codes, the
// header, the bit stream's integers and code-length tables, the three
// alphabets, the token layout, the offset list, the digits and the bitmap
// geometry. The decoder, the encoder, the tools, the tests and the
// benchmark all take them from here.
#ifndef PXCM_FORMAT_H
#define PXCM_FORMAT_H

#include <stdint.h>

// ------------------------------------------------------------ result codes
// The codes (pxcm_codes.h) under the plug-in's names, ERR_NONE to ERR_INTERNAL.
#define PXCM_PLUGIN_NAMES
#include "format/pxcm_codes.h"
// A stream the format does not define. The plug-in reports it as ERR_READ.
constexpr int32_t ERR_STREAM = PXCM_ERR_STREAM;

// What the plug-in returns for a code of the core.
constexpr int32_t PluginResult(int32_t result) { return result == ERR_STREAM ? ERR_READ : result; }

// ------------------------------------------------------------ header
// 24 bytes, little-endian: "PXCM", format word, zero word, width (u16),
// height (u16), depth, zero word. The bit stream starts at byte 24; no
// length of it is stored.
constexpr int32_t HEADER_SIZE = 24;
constexpr int32_t HEADER_TAG_AT = 0;
constexpr int32_t HEADER_FORMAT_AT = 4;
constexpr int32_t HEADER_ZERO1_AT = 8;
constexpr int32_t HEADER_WIDTH_AT = 12;
constexpr int32_t HEADER_HEIGHT_AT = 14;
constexpr int32_t HEADER_DEPTH_AT = 16;
constexpr int32_t HEADER_ZERO2_AT = 20;
constexpr uint32_t FORMAT_TAG = 0x4d435850; // "PXCM" read as a little-endian word
constexpr uint32_t FORMAT_WORD = 0x00010000;
constexpr uint32_t FORMAT_DEPTH = 24;
constexpr uint32_t MAX_SIDE = 0xffff; // width and height are 16-bit

struct ImageHeader {
    uint32_t tag;
    uint32_t format;
    uint32_t zero1;
    uint32_t width;  // widened from 16 bits
    uint32_t height; // widened from 16 bits
    uint32_t depth;
    uint32_t zero2;
};

constexpr uint32_t LoadLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
constexpr uint32_t LoadLe16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}
constexpr void StoreLe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
constexpr void StoreLe16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The acceptance rule, in its order of comparison: tag, format word, zero
// word at 8, depth, zero word at 20. Width and height take any value.
// ERR_NONE (and *header filled) or ERR_BAD_FORMAT (and *header untouched).
constexpr int32_t ParseHeader(const uint8_t bytes[HEADER_SIZE], ImageHeader *header) {
    ImageHeader h{};
    h.tag = LoadLe32(bytes + HEADER_TAG_AT);
    h.format = LoadLe32(bytes + HEADER_FORMAT_AT);
    h.zero1 = LoadLe32(bytes + HEADER_ZERO1_AT);
    h.width = LoadLe16(bytes + HEADER_WIDTH_AT);
    h.height = LoadLe16(bytes + HEADER_HEIGHT_AT);
    h.depth = LoadLe32(bytes + HEADER_DEPTH_AT);
    h.zero2 = LoadLe32(bytes + HEADER_ZERO2_AT);
    if (h.tag != FORMAT_TAG || h.format != FORMAT_WORD || h.zero1 != 0 || h.depth != FORMAT_DEPTH ||
        h.zero2 != 0)
        return ERR_BAD_FORMAT;
    *header = h;
    return ERR_NONE;
}

// The 24 bytes of an accepted header.
constexpr void WriteHeader(uint8_t bytes[HEADER_SIZE], uint32_t width, uint32_t height) {
    StoreLe32(bytes + HEADER_TAG_AT, FORMAT_TAG);
    StoreLe32(bytes + HEADER_FORMAT_AT, FORMAT_WORD);
    StoreLe32(bytes + HEADER_ZERO1_AT, 0);
    StoreLe16(bytes + HEADER_WIDTH_AT, width);
    StoreLe16(bytes + HEADER_HEIGHT_AT, height);
    StoreLe32(bytes + HEADER_DEPTH_AT, FORMAT_DEPTH);
    StoreLe32(bytes + HEADER_ZERO2_AT, 0);
}

// ------------------------------------------------------------ bitmap
// 24 bits per pixel, bytes blue, green, red; rows bottom-up, each padded to
// a multiple of 4 bytes. Image row m (0 is the top) starts at byte
// (height - 1 - m) * stride.
constexpr int32_t PIXEL_BYTES = 3;
constexpr int32_t BLUE_BYTE = 0;
constexpr int32_t GREEN_BYTE = 1;
constexpr int32_t RED_BYTE = 2;
// A literal's channels in the order the stream gives them (red, green,
// blue), as bytes of the pixel.
inline constexpr int32_t STREAM_CHANNEL_BYTES[3] = {RED_BYTE, GREEN_BYTE, BLUE_BYTE};

constexpr int64_t RowStride(uint32_t width) { return (static_cast<int64_t>(width) * PIXEL_BYTES + 3) & ~int64_t{3}; }
// height * stride, which needs more than 32 bits for the largest headers.
constexpr uint64_t BitmapSize(uint32_t width, uint32_t height) {
    return static_cast<uint64_t>(height) * static_cast<uint64_t>(RowStride(width));
}

// Layouts of pixels handed to and from the library; the values are those
// of the native API's pxcm_layout.
enum PixelLayout : int32_t {
    LAYOUT_RGB = 0,  // top-down rows, red, green, blue
    LAYOUT_BGR = 1,  // top-down rows, blue, green, red
    LAYOUT_RGBA = 2, // top-down rows, red, green, blue, alpha (255)
    LAYOUT_BGRA = 3, // top-down rows, blue, green, red, alpha (255)
    LAYOUT_DIB = 4,  // the bitmap above: bottom-up BGR rows padded to 4 bytes
    LAYOUT_COUNT = 5
};

constexpr int32_t LayoutPixelBytes(int32_t layout) {
    return layout == LAYOUT_RGBA || layout == LAYOUT_BGRA ? 4 : PIXEL_BYTES;
}

// Bytes of one packed row: the bitmap's stride for LAYOUT_DIB.
constexpr uint64_t PackedRowBytes(uint32_t width, int32_t layout) {
    return layout == LAYOUT_DIB ? static_cast<uint64_t>(RowStride(width))
                                : static_cast<uint64_t>(width) * static_cast<uint64_t>(LayoutPixelBytes(layout));
}

// Offsets of red, green and blue within a pixel of a layout.
constexpr bool LayoutIsRgbOrder(int32_t layout) { return layout == LAYOUT_RGB || layout == LAYOUT_RGBA; }
constexpr bool LayoutIsBottomUp(int32_t layout) { return layout == LAYOUT_DIB; }

// ------------------------------------------------------------ bit stream
// MSB-first bits after the header; past the end of the data the stream
// reads as zero bits for ever. Counts and skips are order-0 Exp-Golomb
// integers with at most 25 zero bits in their prefix.
constexpr int32_t MAX_GOLOMB_ZEROS = 25;
// A code-length table: Exp-Golomb count c; if c > 0 a 3-bit width w, then
// per entry a flag bit: 1 = a w-bit length for the next symbol, 0 = an
// Exp-Golomb skip k over k + 1 symbols.
constexpr int32_t LENGTH_WIDTH_BITS = 3;
// Canonical prefix codes: shorter codes first, equal lengths in symbol
// order. Lengths above this cannot be held in a 32-bit code.
constexpr uint32_t MAX_CODE_LENGTH = 32;
// The long codes of an alphabet, kept as a binary tree below an 8-bit
// look-up, may need at most 2 n nodes (see BuildDecodeTable).
constexpr uint32_t TREE_ROOT_BITS = 8;
constexpr uint32_t TreeNodeLimit(uint32_t symbols) { return 2 * symbols; }

// ------------------------------------------------------------ alphabets
constexpr uint32_t TOKEN_SYMBOLS = 342;
constexpr uint32_t OFFSET_SYMBOLS = 11;
constexpr uint32_t ESCAPE_SYMBOLS = 251;
constexpr uint32_t MAX_SYMBOLS = TOKEN_SYMBOLS;
// A table set (token, offset, escape lengths, in this order) comes before
// the first token and then before every REBUILD_PERIOD-th token.
constexpr int32_t REBUILD_PERIOD = 16384;

// Tokens 0 to 215 are literals t = 36 dR + 6 dG + dB (digits 0 to 5);
// tokens 216 to 341 are runs of t - 214 pixels.
constexpr uint32_t LITERAL_TOKENS = 216;
constexpr uint32_t FIRST_RUN_TOKEN = LITERAL_TOKENS;
constexpr uint32_t RUN_TOKEN_BIAS = 214;
constexpr uint32_t MIN_RUN = FIRST_RUN_TOKEN - RUN_TOKEN_BIAS;     // 2
constexpr uint32_t MAX_RUN = TOKEN_SYMBOLS - 1 - RUN_TOKEN_BIAS;   // 127
constexpr uint32_t RunToken(uint32_t n) { return n + RUN_TOKEN_BIAS; }
constexpr uint32_t RunLength(uint32_t t) { return t - RUN_TOKEN_BIAS; }
constexpr uint32_t DIGIT_COUNT = 6;
constexpr uint32_t LiteralToken(uint32_t red, uint32_t green, uint32_t blue) {
    return (red * DIGIT_COUNT + green) * DIGIT_COUNT + blue;
}
constexpr uint32_t RedDigit(uint32_t t) { return t / (DIGIT_COUNT * DIGIT_COUNT); }
constexpr uint32_t GreenDigit(uint32_t t) { return t / DIGIT_COUNT % DIGIT_COUNT; }
constexpr uint32_t BlueDigit(uint32_t t) { return t % DIGIT_COUNT; }

// What a digit subtracts from the reference byte; digit 0 (-3) is an
// escape: the channel's difference is an escape symbol e plus 3.
inline constexpr int8_t DIGIT_VALUES[DIGIT_COUNT] = {-3, -2, -1, 0, 1, 2};
constexpr int8_t DIGIT_ESCAPE = -3;
constexpr uint32_t ESCAPE_DIGIT = 0;
constexpr uint32_t ESCAPE_BIAS = 3;
// The digit that takes `out` from `ref`, or ESCAPE_DIGIT with the escape
// symbol in *escape.
constexpr uint32_t DigitFor(uint8_t ref, uint8_t out, uint32_t *escape) {
    const int32_t d = static_cast<int8_t>(static_cast<uint8_t>(ref - out));
    if (d >= -2 && d <= 2) return static_cast<uint32_t>(d + 3);
    *escape = static_cast<uint8_t>(ref - out - ESCAPE_BIAS);
    return ESCAPE_DIGIT;
}

// ------------------------------------------------------------ offsets
// A reference offset: dx pixels to the right, dy rows upward.
struct OffsetPair {
    int32_t dx;
    int32_t dy;
};
constexpr uint32_t OFFSET_COUNT = OFFSET_SYMBOLS;
// The move-to-front list at the start of every picture.
inline constexpr OffsetPair INITIAL_OFFSETS[OFFSET_COUNT] = {
    {-1, 0}, {0, 1}, {1, 1}, {-1, 1}, {2, 1}, {-2, 1}, {-2, 0}, {0, 2}, {1, 2}, {-1, 2}, {-3, 0},
};
constexpr int32_t MAX_DY = 2;
constexpr int32_t MIN_DX = -3;
constexpr int32_t MAX_DX = 2;

#endif
