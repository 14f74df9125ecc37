// Random well-formed PXCM pictures with their expected pixels.
//
// The tokens are drawn at random (literals with digits and escapes, runs of
// every length, every offset, including references that land outside the
// row or the buffer and runs that pass the row end); the expected pixels
// come from a plain byte-by-byte model of the reconstruction rules, kept
// apart from the library's row decoder on purpose. The stream is then
// written with canonical codes built per table set from the tokens' counts.
#ifndef PXCM_TESTS_RANDOM_STREAM_H
#define PXCM_TESTS_RANDOM_STREAM_H

#include <stdint.h>

#include <vector>

struct RandomPicture {
    uint32_t width;
    uint32_t height;
    std::vector<uint8_t> file;   // header and stream
    std::vector<uint8_t> pixels; // expected bottom-up BGR block, height * stride bytes
    uint64_t tokens;             // tokens in the stream
    uint64_t stream_bits;        // bits the writer put after the header, before padding
};

struct RandomStreamOptions {
    double run_share = 0.25;     // share of tokens that are runs
    double escape_share = 0.08;  // share of literal channels sent as escapes
    double long_run_share = 0.1; // share of runs that may pass the row end
    int32_t max_code_length = 20;
    // Where not negative, the share of escaped channels in every second
    // table set's tokens (the second, the fourth, ...).
    double alternate_escape_share = -1;
};

RandomPicture MakeRandomPicture(uint32_t seed, uint32_t width, uint32_t height);
RandomPicture MakeRandomPicture(uint32_t seed, uint32_t width, uint32_t height,
                                const RandomStreamOptions &options);

#endif
