// PNG and BMP pictures into PXCM files.
#ifndef PXC_ENCODE_H
#define PXC_ENCODE_H

#include <stdint.h>

#include <string>

#include "batch.h"

namespace pxc {

struct EncodeSettings {
    int32_t effort = 6;
    uint64_t max_pixels = uint64_t{1} << 28;
    bool force = false;
};

// Reads `input` ("-": standard input), encodes it and writes `output`
// ("-": standard output). The result carries the sizes in and out.
// Throws FileError.
JobResult EncodeOne(const std::string &input, const std::string &output, const EncodeSettings &settings,
                    const RowProgress &rows);

// "40 x 30: 3654 bytes -> 1210 bytes (33.1%), 8.07 bits per pixel"
std::string SizeNote(uint32_t width, uint32_t height, uint64_t bytes_in, uint64_t bytes_out);

} // namespace pxc

#endif
