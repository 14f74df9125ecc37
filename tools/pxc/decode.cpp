// How pxc tells a file that is cut short.
//
// The plug-in reads no length: past the end of the data its bit reader
// delivers zero bits for ever, so a truncated file decodes "successfully"
// into garbage, or fails with a read error only when a table set happens to
// fall in the made-up zeros. Nor does it report how far it has read. The
// tool therefore uses two rules, both from what it can see from outside:
//
// 1. A lower bound, before decoding. Every token costs at least 2 bits (one
//    token code, one offset code, each at least 1 bit long), a token covers
//    at most 127 pixels of its row, and the first table set costs at least
//    17 bits (token and offset tables need a count, a width and one length
//    of at least 1 bit: 3 + 3 + 1 + 1 bits each; the escape table at least
//    its 1-bit count). A file with fewer bytes than the first r rows need
//    certainly ends before row r: the rows from there on are not decoded at
//    all. This is what catches a short file claiming a big picture, cheaply
//    and before any work, but it only sees ends that come "long before"
//    the last row.
//
// 2. A check after decoding: the same file is decoded a second
//    time with 0xFF bytes after its end instead of the implicit zeros. A
//    complete stream never interprets a bit past its last token, so both
//    decodes agree in every byte; a row that differs (or a decode that
//    fails in only one of them) depended on bits the file does not hold.
//    The first such row is where the data ran out. The second decode costs
//    as much as the first (--no-tail-check skips it); it compares the rows
//    as they come and stops at the first difference, so a cut file is found
//    early. A stream that leaves zero bits at its end out of the file is
//    taken as cut, which it is. A cut whose rows happen to decode alike
//    with both fillings goes unseen there; it then shows in a later row,
//    which places the cut a little late (or nowhere, if every later row
//    decodes alike too: then the picture is what any filling gives).
//
// With --keep-partial the rows before the cut are decoded once more as a
// picture of that height. Rows depend only on the rows above them, and the
// decoder lays a picture out from the end of its buffer, so the first k
// rows of a picture of height k come out byte for byte as in the full
// picture, as long as no later row has a run past its row end writing into
// them (well-formed streams have none; the encoder writes none). The
// garbage rows after the cut are thus never decoded into the kept ones.
// The rows below are left black.
#include "decode.h"

#include <string.h>

#include "plugin/pxcm.h"

namespace pxc {

namespace {

constexpr size_t HEADER_SIZE = 24;
constexpr size_t HEIGHT_OFFSET = 14;
// Bytes of ones after the data for the second decode: plenty to steer
// every symbol that reads past the end.
constexpr size_t TAIL_FILL = 64;
constexpr uint64_t FIRST_TABLE_SET_BITS = 17;
constexpr uint64_t TOKEN_BITS = 2;
constexpr uint32_t MAX_RUN = 127;

// What the progress callback needs; its address travels as the user value.
struct Watch {
    PxcmBlock *pixels = nullptr;           // GetPicture's pixel block variable
    const uint8_t *reference = nullptr;    // rows of the first decode, or null
    int64_t stride = 0;
    int32_t lag = 0;                       // rows until a row is final
    uint32_t rows = 0;
    int32_t announced = -1;                // the last row the decoder announced
    int32_t first_difference = -1;
    uint32_t rows_compared = 0;            // rows from the top found equal
    const RowProgress *progress = nullptr;
    const char *what = "decoding rows";
};

int32_t PXCM_API OnRow(int32_t row, int32_t, PxcmLong user) {
    auto *w = reinterpret_cast<Watch *>(user);
    w->announced = row;
    if (w->progress != nullptr && *w->progress) (*w->progress)(w->what, static_cast<uint64_t>(row), w->rows);
    if (g_cancel.load(std::memory_order_relaxed)) return 1;
    // Compare the newest row that nothing can change any more: a run may
    // write up to 127 pixels past the end of its row, into the rows above
    // it in the picture, so a row is final only `lag` rows later. The
    // plug-in stores the pixel block's handle in our variable as soon as
    // the block exists.
    if (w->reference != nullptr && row >= w->lag && *w->pixels != nullptr) {
        const auto *p = static_cast<const uint8_t *>(LockBlock(*w->pixels));
        if (p != nullptr) {
            const auto final_row = static_cast<uint32_t>(row - w->lag);
            const int64_t at = static_cast<int64_t>(w->rows - 1 - final_row) * w->stride;
            const bool same = memcmp(p + at, w->reference + at, static_cast<size_t>(w->stride)) == 0;
            UnlockBlock(*w->pixels);
            if (!same) {
                w->first_difference = static_cast<int32_t>(final_row);
                return 1;
            }
            w->rows_compared = final_row + 1;
        }
    }
    return 0;
}

// The two blocks of one GetPicture call, freed unless taken over.
struct Blocks {
    PxcmBlock info = nullptr;
    PxcmBlock pixels = nullptr;
    ~Blocks() {
        FreeBlock(info);
        FreeBlock(pixels);
    }
};

void SetHeight(std::vector<uint8_t> &file, uint32_t rows) {
    file[HEIGHT_OFFSET] = static_cast<uint8_t>(rows);
    file[HEIGHT_OFFSET + 1] = static_cast<uint8_t>(rows >> 8);
}

int32_t Decode(const std::vector<uint8_t> &file, size_t extent, Blocks *blocks, Watch *watch) {
    int32_t r = GetPicture(reinterpret_cast<const char *>(file.data()), static_cast<PxcmLong>(extent),
                           SOURCE_MEMORY, &blocks->info, &blocks->pixels, OnRow,
                           reinterpret_cast<PxcmLong>(watch));
    if (r != ERR_NONE) {
        // The plug-in has freed whatever it allocated; the variables may
        // still hold the old values.
        blocks->info = blocks->pixels = nullptr;
    }
    return r;
}

// The first row (from the top) in which two blocks of `rows` rows differ,
// or `rows`.
uint32_t FirstDifferentRow(const uint8_t *a, const uint8_t *b, int64_t stride, uint32_t rows) {
    for (uint32_t y = 0; y < rows; y++) {
        const int64_t at = static_cast<int64_t>(rows - 1 - y) * stride;
        if (memcmp(a + at, b + at, static_cast<size_t>(stride)) != 0) return y;
    }
    return rows;
}

// Rows counted from 1 for people.
std::string RowText(uint32_t row, uint32_t height) {
    return "row " + std::to_string(row + 1) + " of " + std::to_string(height);
}

// Restores the caller's bytes whatever way DecodeBytes leaves.
struct FileRestore {
    std::vector<uint8_t> &file;
    size_t size;
    uint8_t height[2];
    ~FileRestore() {
        file.resize(size);
        file[HEIGHT_OFFSET] = height[0];
        file[HEIGHT_OFFSET + 1] = height[1];
    }
};

} // namespace

uint32_t RowsBackedByData(uint32_t width, uint32_t height, uint64_t stream_bytes) {
    if (width == 0) return height; // rows of width 0 take no token
    const uint64_t bits = stream_bytes * 8;
    const uint64_t per_row = TOKEN_BITS * ((width + MAX_RUN - 1) / MAX_RUN);
    if (bits < FIRST_TABLE_SET_BITS) return 0;
    const uint64_t rows = (bits - FIRST_TABLE_SET_BITS) / per_row;
    return rows < height ? static_cast<uint32_t>(rows) : height;
}

DecodedPicture DecodeBytes(std::vector<uint8_t> &file, const DecodeOptions &options,
                           const RowProgress &progress) {
    const size_t size = file.size();
    PictureInfoBlock info{};
    int32_t r = GetPictureInfo(reinterpret_cast<const char *>(file.data()), static_cast<PxcmLong>(size),
                               SOURCE_MEMORY, &info);
    if (r != ERR_NONE) throw FileError(FileResultMessage(r, file.data(), size));
    const auto width = static_cast<uint32_t>(info.width);
    const auto height = static_cast<uint32_t>(info.height);
    const std::string geometry = std::to_string(width) + " x " + std::to_string(height);
    if (width == 0 || height == 0) throw FileError("picture has no pixels (" + geometry + ")");
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    if (pixels > options.max_pixels)
        throw FileError("picture is " + geometry + " = " + std::to_string(pixels) +
                        " pixels, more than the limit of " + std::to_string(options.max_pixels) +
                        " (--max-pixels)");

    // Rule 1: rows the file's size cannot back are not decoded.
    uint32_t rows = RowsBackedByData(width, height, size - HEADER_SIZE);
    if (rows < height && !options.keep_partial)
        throw FileError("file is cut short: its " + std::to_string(size - HEADER_SIZE) +
                        " bytes of picture data cannot hold more than " + std::to_string(rows) +
                        " of its " + std::to_string(height) + " rows");

    FileRestore restore{file, size, {file[HEIGHT_OFFSET], file[HEIGHT_OFFSET + 1]}};
    const int64_t stride = RowStride(width);
    DecodedPicture out;
    for (;;) {
        if (rows == 0) throw FileError("file is cut short before its first row");
        file.resize(size);
        SetHeight(file, rows);

        Blocks first;
        Watch w1;
        w1.pixels = &first.pixels;
        w1.rows = rows;
        w1.stride = stride;
        w1.lag = static_cast<int32_t>((3 * int64_t{width} + 3 * MAX_RUN + stride - 1) / stride);
        w1.progress = &progress;
        r = Decode(file, size, &first, &w1);
        if (r == ERR_ABORTED) throw FileError(ResultMessage(r));
        if (r == ERR_READ && w1.announced >= 0 && static_cast<uint32_t>(w1.announced) < rows) {
            // The stream broke off inside a row: a table set or a code that
            // the decoder refused.
            const auto row = static_cast<uint32_t>(w1.announced);
            if (!options.keep_partial || row == 0)
                throw FileError(ResultMessage(r) + " (the picture data breaks off in " + RowText(row, height) + ")");
            rows = row;
            continue;
        }
        if (r != ERR_NONE) throw FileError(ResultMessage(r));
        // The bitmap owns the blocks from here on, also if it throws.
        const PxcmBlock info_block = first.info, pixel_block = first.pixels;
        first.info = first.pixels = nullptr;
        Bitmap bitmap = Bitmap::FromBlocks(info_block, pixel_block);

        if (options.tail_check) {
            // Rule 2: the same stream with ones after its end.
            file.resize(size + TAIL_FILL, 0xFF);
            Blocks second;
            Watch w2 = w1;
            w2.pixels = &second.pixels;
            w2.reference = bitmap.bits();
            w2.announced = -1;
            w2.what = "checking rows";
            r = Decode(file, file.size(), &second, &w2);
            uint32_t good = rows;
            if (r == ERR_NONE) {
                const auto *p = static_cast<const uint8_t *>(LockBlock(second.pixels));
                if (p == nullptr) throw FileError(ResultMessage(ERR_MEMORY));
                good = FirstDifferentRow(bitmap.bits(), p, stride, rows);
                UnlockBlock(second.pixels);
            } else if (w2.first_difference >= 0) {
                good = static_cast<uint32_t>(w2.first_difference);
            } else if (r == ERR_ABORTED) {
                throw FileError(ResultMessage(r));
            } else if (r == ERR_READ) {
                // Only the rows compared before the failure are known good.
                good = w2.rows_compared;
            } else {
                out.warnings.push_back("could not check whether the file is complete: " + ResultMessage(r));
            }
            if (good < rows) {
                if (!options.keep_partial)
                    throw FileError("file is cut short: the picture data ends in " + RowText(good, height));
                rows = good;
                continue;
            }
        }

        if (rows == height) {
            out.bitmap = std::move(bitmap);
        } else {
            // Place the decoded top rows over a black picture of full size.
            out.bitmap = Bitmap::Allocate(width, height);
            memcpy(out.bitmap.Row(rows - 1), bitmap.bits(), static_cast<size_t>(bitmap.size()));
            out.warnings.push_back("file is cut short: kept the first " + std::to_string(rows) + " of " +
                                   std::to_string(height) + " rows, the rest is black");
        }
        return out;
    }
}

DecodedPicture DecodeFile(const std::string &path, const DecodeOptions &options,
                          const RowProgress &progress) {
    std::vector<uint8_t> file = ReadWholeFile(path);
    file.reserve(file.size() + TAIL_FILL);
    return DecodeBytes(file, options, progress);
}

} // namespace pxc
