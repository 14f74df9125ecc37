// Decoding one PXCM file with the tool's limits on top of the plug-in.
#ifndef PXC_DECODE_H
#define PXC_DECODE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "images.h"

namespace pxc {

struct DecodeOptions {
    uint64_t max_pixels = uint64_t{1} << 28;
    bool keep_partial = false; // write the rows before a cut instead of failing
    bool tail_check = true;    // refuse streams that run past the file's end
};

struct DecodedPicture {
    Bitmap bitmap;
    std::vector<std::string> warnings;
};

// Decodes the PXCM file at `path`. Throws FileError with the reason in words.
DecodedPicture DecodeFile(const std::string &path, const DecodeOptions &options,
                          const RowProgress &progress);
// The same for a file already in memory.
DecodedPicture DecodeBytes(const std::vector<uint8_t> &file, const DecodeOptions &options,
                           const RowProgress &progress);

// How many of a picture's first rows `stream_bytes` bytes after the header
// can hold at most: every stream needs at least the bits counted here for
// them, so the rows past this count can only have been decoded from the
// zero bits the decoder makes up past the end of the data.
uint32_t RowsBackedByData(uint32_t width, uint32_t height, uint64_t stream_bytes);

} // namespace pxc

#endif
