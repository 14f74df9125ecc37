// Encoder round trip: arbitrary small pixel data is encoded, decoded with
// GetPicture from memory, and must come back exactly, the zero trailing
// bytes of every row included.
//
// Input: width - 1 (mod 48), height - 1 (mod 32), a control byte (effort
// 1 to 9 in the low nibble; bit 4 gives the caller's rows 7 extra bytes of
// garbage that the encoder must ignore), then pixel bytes, blue, green, red,
// repeated as often as needed to fill the picture. The geometry is kept
// small so that a run stays within milliseconds at the highest effort.
#include <string.h>

#include <vector>

#include "encoder/encoder.h"
#include "harness.h"
#include "support/decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return -1;
    const uint32_t width = 1 + data[0] % 48u;
    const uint32_t height = 1 + data[1] % 32u;
    const int32_t effort = 1 + (data[2] & 15) % 9;
    const bool padded = (data[2] & 16) != 0;
    const uint8_t *fill = data + 3;
    const size_t fill_size = size - 3;

    const int64_t stride = RowStride(width);
    const int64_t caller_stride = stride + (padded ? 7 : 0);
    std::vector<uint8_t> expected(static_cast<size_t>(stride * height), 0);
    std::vector<uint8_t> caller(static_cast<size_t>(caller_stride * height), 0xCD);
    size_t k = 0;
    for (uint32_t r = 0; r < height; r++) {
        for (uint32_t i = 0; i < PIXEL_BYTES * width; i++) {
            const uint8_t b = fill_size == 0 ? 0 : fill[k++ % fill_size];
            expected[static_cast<size_t>(r * stride + i)] = b;
            caller[static_cast<size_t>(r * caller_stride + i)] = b;
        }
    }

    EncoderInput input{caller.data(), width, height, caller_stride};
    EncoderOptions options{effort, nullptr, nullptr};
    std::vector<uint8_t> file;
    FUZZ_CHECK(EncodePicture(&input, &options, &file) == ENCODE_OK);
    FUZZ_CHECK(HeaderAccepted(file));

    const Decoded d = DecodeBytes(file, NO_CALLBACK);
    FUZZ_CHECK(d.result == ERR_NONE);
    FUZZ_CHECK(d.pixels == expected);
    return 0;
}
