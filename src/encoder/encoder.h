// The PXCM encoder: pixels into a stream that GetPicture decodes back to
// exactly the same pixels.
#ifndef PXCM_ENCODER_H
#define PXCM_ENCODER_H

#include <stdint.h>

#include <vector>

#include "format/format.h"

// Pixels in one of the layouts, rows `stride` bytes apart; by default as
// GetPicture returns them: rows bottom-up, 3 bytes per pixel in the order
// blue, green, red. Alpha bytes are ignored.
struct EncoderInput {
    const uint8_t *pixels;
    uint32_t width;  // 0 to 65535
    uint32_t height; // 0 to 65535
    int64_t stride;
    int32_t layout = LAYOUT_DIB;
};

constexpr int32_t MIN_EFFORT = 1;
constexpr int32_t MAX_EFFORT = 9;
constexpr int32_t DEFAULT_EFFORT = 6;

struct EncoderOptions {
    int32_t effort; // 1 (fast) to 9 (smallest)
    // Called now and then with (rows done, height); non-zero stops the encode.
    int32_t (*progress)(uint32_t done, uint32_t total, void *user);
    void *user;
};

enum EncodeResult : int32_t {
    ENCODE_OK = 0,
    ENCODE_TOO_LARGE = 1, // width or height above 65535
    ENCODE_ABORTED = 2,   // the progress callback asked to stop
};

// Appends the whole file (header and stream) to *out.
int32_t EncodePicture(const EncoderInput *input, const EncoderOptions *options,
                      std::vector<uint8_t> *out);

// The same encoder with the plain loops of its row preparation and shortest
// path in place of their faster ones: the same file, slower. The reference
// the tests hold EncodePicture to.
int32_t EncodePicturePlainly(const EncoderInput *input, const EncoderOptions *options,
                             std::vector<uint8_t> *out);

#endif
