// One picture's bytes (from a file, at an offset, or from standard input),
// decoded once through the native API into the plug-in's pixel block, with
// what the decode found out about the stream.
#ifndef PXC_DECODE_H
#define PXC_DECODE_H

#include <stdint.h>

#include <string>
#include <vector>

#include <pxcm/pxcm.h>

#include "images.h"
#include "system.h"

namespace pxc {

// At most how many bytes a picture's stream can take after the header,
// whatever its content: reading more than this is never needed.
uint64_t MaxStreamBytes(uint32_t width, uint32_t height);
// Whether `stream_bytes` bytes after the header are certainly too few for
// the picture: its decode would break off (the plug-in fails on it), so
// no pixels need be allocated for it.
bool TooShortFor(uint32_t width, uint32_t height, uint64_t stream_bytes);

// The bytes of one picture, from its first byte to the end of what is
// there. A regular file is mapped, so that a decode reads only the pages
// it needs; standard input ("-") is read up to the most the picture's
// stream can take (MaxStreamBytes); anything else is refused without
// waiting on it.
class PictureInput {
public:
    // `count_rest`: read standard input to its end to count the bytes
    // after the picture (verify, info). Throws FileError.
    PictureInput(const std::string &name, uint64_t offset, bool count_rest);
    PictureInput(PictureInput &&) = default;

    const std::string &name() const { return name_; }
    uint64_t offset() const { return offset_; }
    const uint8_t *data() const { return data_; }
    uint64_t size() const { return size_; }
    // Bytes known to follow data[size - 1] that were not kept.
    uint64_t beyond() const { return beyond_; }

private:
    void ReadBounded(uint64_t available);
    void ReadStandardInputBounded(bool count_rest);

    std::string name_;
    uint64_t offset_;
    MappedFile file_;
    std::vector<uint8_t> owned_;
    const uint8_t *data_ = nullptr;
    uint64_t size_ = 0;
    uint64_t beyond_ = 0;
};

struct DecodeOptions {
    uint64_t max_pixels = uint64_t{1} << 28;
    bool strict = false; // a stream that takes bits from past the end of the data is a failure
};

// What a decode found out about a picture's stream.
struct StreamFacts {
    pxcm_info info{};
    uint64_t bits_used = 0;      // stream bits after the header
    uint64_t bits_past_end = 0;  // of those, read past the end of the data (as zero bits)
    uint32_t end_row = 0;        // the row (0 = top) in which the data ran out; height if it did not
    uint64_t stream_bytes = 0;   // bytes of header and stream that the data holds
    uint64_t trailing_bytes = 0; // bytes after the stream
    bool ends_early() const { return bits_past_end != 0; }
};

struct DecodedPicture {
    Bitmap bitmap;
    StreamFacts facts;
    std::vector<std::string> warnings;
};

// The header's geometry, refusing pictures without pixels or above the
// limit before any work. Throws FileError.
pxcm_info CheckedInfo(const PictureInput &input, const DecodeOptions &options);

// Decodes the picture: exactly the pixels of the plug-in's GetPicture.
// A stream that ran past the end of the data gives a warning (which row),
// or a FileError with `strict`. Throws FileError.
DecodedPicture DecodePicture(const PictureInput &input, const DecodeOptions &options, const RowProgress &progress);

// The facts from a decode report of a picture whose data (from its first
// byte) has `available` bytes.
StreamFacts FactsOf(const pxcm_info &info, const pxcm_decode_report &report, uint64_t available);

// "the picture data ends early, in row 38 of 64" (rows counted from 1).
std::string EndsEarlyText(const StreamFacts &facts);

// pxcm_decode with the stop flag and a row progress; the result code.
int DecodeWithProgress(const uint8_t *data, uint64_t size, pxcm_layout layout, void *pixels, uint64_t pixels_size,
                       uint64_t max_pixels, const RowProgress &progress, pxcm_decode_report *report);

} // namespace pxc

#endif
