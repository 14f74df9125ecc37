// The format's worked example: a 2-by-1 picture whose stream is one table
// set (token codes for 129 and 215, offset codes for positions 0 and 1, no
// escapes: 51 bits) and two tokens of 2 bits each, token 215 then 129, both
// from position 1, (0, 1): two pixels of 254 in every channel. Four zero
// bytes follow the stream.
#ifndef PXCM_TESTS_EXAMPLE_H
#define PXCM_TESTS_EXAMPLE_H

#include <stdint.h>

#include <vector>

#include "support/header_rule.h"

constexpr uint32_t EXAMPLE_WIDTH = 2;
constexpr uint32_t EXAMPLE_HEIGHT = 1;
// The stream after the header; the last four bytes are padding.
inline constexpr uint8_t EXAMPLE_STREAM[] = {0x64, 0x02, 0x07, 0x01, 0x57, 0x67, 0xFA, 0, 0, 0, 0};
constexpr size_t EXAMPLE_PADDING = 4;
constexpr uint64_t EXAMPLE_TABLE_BITS = 51;
constexpr uint64_t EXAMPLE_STREAM_BITS = 55;

// Header and stream.
std::vector<uint8_t> ExamplePicture();
// The stream without its padding: the bytes the example's bits fill.
std::vector<uint8_t> ExampleStreamBytes();
// GetPicture's pixel block: one bottom-up row of two pixels and its two
// trailing bytes.
std::vector<uint8_t> ExamplePixels();

#endif
