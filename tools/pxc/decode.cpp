// How pxc decodes a file, and tells a file that is cut short.
//
// The format stores no length: past the end of the data its bit stream
// reads as zero bits for ever, so a truncated file decodes "successfully"
// into garbage, or fails only when a table set happens to fall in the
// made-up zeros. The library's decode report says how many of the bits it
// used lay past the end of the data, and in which row the data ran out, so
// one decode tells.
//
// Before decoding, a lower bound catches a short file claiming a big
// picture cheaply: every token costs at least 2 bits (one token code, one
// offset code, each at least 1 bit long), a token covers at most 127
// pixels of its row, and the first table set costs at least 17 bits (token
// and offset tables need a count, a width and one length of at least 1
// bit: 3 + 3 + 1 + 1 bits each; the escape table at least its 1-bit
// count). A file with fewer bytes than the first r rows need certainly
// ends before row r.
//
// With --keep-partial the rows before the one in which the data ran out
// are kept and the rest is made black.
#include "decode.h"

#include <string.h>

#include <pxcm/pxcm.h>

#include "format/format.h"

namespace pxc {

namespace {

constexpr uint64_t FIRST_TABLE_SET_BITS = 17;
constexpr uint64_t TOKEN_BITS = 2;

struct Watch {
    const RowProgress *progress;
    uint32_t announced; // the last row the decoder announced
};

int OnRow(uint32_t row, uint32_t height, void *user) {
    auto *w = static_cast<Watch *>(user);
    w->announced = row;
    if (w->progress != nullptr && *w->progress) (*w->progress)("decoding rows", row, height);
    return g_cancel.load(std::memory_order_relaxed) ? 1 : 0;
}

// Rows counted from 1 for people.
std::string RowText(uint32_t row, uint32_t height) {
    return "row " + std::to_string(row + 1) + " of " + std::to_string(height);
}

// Makes image rows [from, height) black.
void BlackFrom(Bitmap *b, uint32_t from) {
    for (uint32_t y = from; y < b->height(); y++) memset(b->Row(y), 0, static_cast<size_t>(b->stride()));
}

} // namespace

uint32_t RowsBackedByData(uint32_t width, uint32_t height, uint64_t stream_bytes) {
    if (width == 0) return height; // rows of width 0 take no token
    const uint64_t bits = stream_bytes * 8;
    const uint64_t per_row = TOKEN_BITS * ((width + MAX_RUN - 1) / MAX_RUN);
    if (bits < FIRST_TABLE_SET_BITS) return 0;
    const uint64_t rows = (bits - FIRST_TABLE_SET_BITS) / per_row;
    return rows < height ? static_cast<uint32_t>(rows) : height;
}

DecodedPicture DecodeBytes(const std::vector<uint8_t> &file, const DecodeOptions &options,
                           const RowProgress &progress) {
    const size_t size = file.size();
    pxcm_info info{};
    const int r0 = pxcm_read_info(file.data(), size, &info);
    if (r0 != PXCM_OK) throw FileError(FileResultMessage(r0, file.data(), size));
    const uint32_t width = info.width;
    const uint32_t height = info.height;
    const std::string geometry = std::to_string(width) + " x " + std::to_string(height);
    if (width == 0 || height == 0) throw FileError("picture has no pixels (" + geometry + ")");
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    if (pixels > options.max_pixels)
        throw FileError("picture is " + geometry + " = " + std::to_string(pixels) +
                        " pixels, more than the limit of " + std::to_string(options.max_pixels) +
                        " (--max-pixels)");

    // Rows the file's size cannot back are not decoded.
    const uint32_t backed = RowsBackedByData(width, height, size - HEADER_SIZE);
    if (backed < height && !options.keep_partial)
        throw FileError("file is cut short: its " + std::to_string(size - HEADER_SIZE) +
                        " bytes of picture data cannot hold more than " + std::to_string(backed) +
                        " of its " + std::to_string(height) + " rows");
    if (backed == 0) throw FileError("file is cut short before its first row");

    DecodedPicture out;
    out.bitmap = Bitmap::Allocate(width, height);
    Watch watch{&progress, 0};
    pxcm_decode_options o{};
    o.layout = PXCM_LAYOUT_DIB;
    o.progress = OnRow;
    o.user = &watch;
    pxcm_decode_report report{};
    const int r = pxcm_decode(file.data(), size, &o, out.bitmap.bits(), static_cast<size_t>(out.bitmap.size()),
                              &report);
    if (r == PXCM_ERR_ABORTED) throw FileError(ResultMessage(r));
    uint32_t good = height;
    if (r == PXCM_ERR_STREAM) {
        // The stream broke off inside a row: a table set or a code that the
        // format does not define, typically read from the made-up zeros.
        const uint32_t row = watch.announced;
        if (!options.keep_partial || row == 0)
            throw FileError(ResultMessage(ERR_READ) + " (the picture data breaks off in " + RowText(row, height) + ")");
        good = row;
    } else if (r != PXCM_OK) {
        throw FileError(ResultMessage(r));
    } else if (options.tail_check && report.bits_past_end != 0) {
        if (!options.keep_partial)
            throw FileError("file is cut short: the picture data ends in " + RowText(report.end_row, height));
        good = report.end_row;
    }
    if (good < height) {
        if (good == 0) throw FileError("file is cut short before its first row");
        BlackFrom(&out.bitmap, good);
        out.warnings.push_back("file is cut short: kept the first " + std::to_string(good) + " of " +
                               std::to_string(height) + " rows, the rest is black");
    }
    return out;
}

DecodedPicture DecodeFile(const std::string &path, const DecodeOptions &options,
                          const RowProgress &progress) {
    return DecodeBytes(ReadWholeFile(path), options, progress);
}

} // namespace pxc
