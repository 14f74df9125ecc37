// How pxc reads and decodes one picture.
//
// The format stores no length: past the end of the data its bit stream
// reads as zero bits, and the plug-in shows a picture whose last tokens rely
// on them. pxc decodes exactly what the plug-in shows, once, and takes from
// the native API's decode report whether (and in which row) the stream
// took bits from past the end of the data, and where it ends.
//
// A stream can take only so many bits for a picture of a given size (see
// MaxStreamBytes), so a picture never needs more of its file than that:
// files are mapped and the decode touches only the pages it reads, and
// standard input is read no further.
#include "decode.h"

#include <string.h>

#include <algorithm>

#include "format/format.h"

namespace pxc {

namespace {

// Exp-Golomb integers: a prefix of at most MAX_GOLOMB_ZEROS zero bits, a 1
// and as many suffix bits.
constexpr uint64_t GOLOMB_BITS = 2 * MAX_GOLOMB_ZEROS + 1;
// An entry of a code-length table: its flag bit, and a length of at most
// 7 bits or a skip. The entries of a table cannot pass its alphabet.
constexpr uint64_t ENTRY_BITS = 1 + std::max<uint64_t>((1u << LENGTH_WIDTH_BITS) - 1, GOLOMB_BITS);
constexpr uint64_t TableBits(uint32_t symbols) { return GOLOMB_BITS + LENGTH_WIDTH_BITS + (symbols + 1) * ENTRY_BITS; }
constexpr uint64_t TABLE_SET_BITS = TableBits(TOKEN_SYMBOLS) + TableBits(OFFSET_SYMBOLS) + TableBits(ESCAPE_SYMBOLS);
// A token: its code, an offset code and up to three escape codes.
constexpr uint64_t TOKEN_BITS = 5 * MAX_CODE_LENGTH;

constexpr size_t STANDARD_INPUT_CHUNK = size_t{1} << 20;

struct Watch {
    const RowProgress *progress;
};

int OnRow(uint32_t row, uint32_t height, void *user) {
    auto *w = static_cast<Watch *>(user);
    if (w->progress != nullptr && *w->progress) (*w->progress)("decoding rows", row, height);
    return StopRequested() ? 1 : 0;
}

} // namespace

uint64_t MaxStreamBytes(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0) return 0;
    // Every token covers at least one pixel.
    const uint64_t tokens = static_cast<uint64_t>(width) * height;
    const uint64_t sets = (tokens + REBUILD_PERIOD - 1) / REBUILD_PERIOD;
    return (tokens * TOKEN_BITS + sets * TABLE_SET_BITS + 7) / 8;
}

// Every token costs at least two bits (a token code and an offset code of
// at least one bit each) and covers at most MAX_RUN pixels. Past the end of
// the data the zero bits decode as tokens only until the next table set,
// whose first count, all zero bits, breaks the decode off.
bool TooShortFor(uint32_t width, uint32_t height, uint64_t stream_bytes) {
    const uint64_t needed = (static_cast<uint64_t>(width) * height + MAX_RUN - 1) / MAX_RUN;
    const uint64_t possible = stream_bytes * 8 / 2 + REBUILD_PERIOD;
    return needed > possible;
}

// ---------------------------------------------------------------- input

PictureInput::PictureInput(const std::string &name, uint64_t offset, bool count_rest)
    : name_(name), offset_(offset) {
    if (name == "-") {
        ReadStandardInputBounded(count_rest);
        return;
    }
    file_ = MappedFile(name);
    if (offset > file_.size())
        throw FileError("offset " + std::to_string(offset) + " is past the end of the file (" +
                        std::to_string(file_.size()) + " bytes)");
    const uint64_t available = file_.size() - offset;
    if (file_.data() != nullptr) {
        data_ = file_.data() + offset;
        size_ = available;
    } else {
        ReadBounded(available);
    }
}

// A file that cannot be mapped: the header, then what its stream can take.
void PictureInput::ReadBounded(uint64_t available) {
    uint8_t head[HEADER_SIZE];
    const size_t got = file_.Read(offset_, head, sizeof head);
    uint64_t want = got;
    pxcm_info info{};
    if (pxcm_read_info(head, got, &info) == PXCM_OK)
        want = std::min<uint64_t>(available, HEADER_SIZE + MaxStreamBytes(info.width, info.height));
    if (want > SIZE_MAX) throw FileError("out of memory");
    owned_.resize(static_cast<size_t>(want));
    owned_.resize(file_.Read(offset_, owned_.data(), owned_.size()));
    data_ = owned_.data();
    size_ = owned_.size();
    beyond_ = available > size_ ? available - size_ : 0;
}

void PictureInput::ReadStandardInputBounded(bool count_rest) {
    std::vector<uint8_t> chunk(STANDARD_INPUT_CHUNK);
    for (uint64_t skip = offset_; skip > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(skip, chunk.size()));
        const size_t got = ReadStandardInput(chunk.data(), n);
        if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
        if (got < n) throw FileError("offset " + std::to_string(offset_) + " is past the end of the input");
        skip -= got;
    }
    owned_.resize(HEADER_SIZE);
    owned_.resize(ReadStandardInput(owned_.data(), HEADER_SIZE));
    if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
    pxcm_info info{};
    bool more = owned_.size() == HEADER_SIZE;
    if (more && pxcm_read_info(owned_.data(), owned_.size(), &info) == PXCM_OK) {
        const uint64_t limit = MaxStreamBytes(info.width, info.height);
        if (limit > SIZE_MAX - HEADER_SIZE) throw FileError("out of memory");
        while (more && owned_.size() < HEADER_SIZE + limit) {
            const size_t at = owned_.size();
            const size_t n = static_cast<size_t>(std::min<uint64_t>(STANDARD_INPUT_CHUNK, HEADER_SIZE + limit - at));
            owned_.resize(at + n);
            const size_t got = ReadStandardInput(owned_.data() + at, n);
            owned_.resize(at + got);
            if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
            more = got == n;
        }
    }
    while (more && count_rest) {
        const size_t got = ReadStandardInput(chunk.data(), chunk.size());
        if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
        beyond_ += got;
        more = got == chunk.size();
    }
    data_ = owned_.data();
    size_ = owned_.size();
}

// ---------------------------------------------------------------- decoding

pxcm_info CheckedInfo(const PictureInput &input, const DecodeOptions &options) {
    pxcm_info info{};
    const int r = pxcm_read_info(input.data(), static_cast<size_t>(input.size()), &info);
    if (r != PXCM_OK) throw FileError(FileResultMessage(r, input.data(), static_cast<size_t>(input.size())));
    const std::string geometry = std::to_string(info.width) + " x " + std::to_string(info.height);
    if (info.width == 0 || info.height == 0) throw FileError("picture has no pixels (" + geometry + ")");
    const uint64_t pixels = static_cast<uint64_t>(info.width) * info.height;
    if (pixels > options.max_pixels)
        throw FileError("picture is " + geometry + " = " + std::to_string(pixels) +
                        " pixels, more than the limit of " + std::to_string(options.max_pixels) + " (--max-pixels)");
    const uint64_t stream = input.size() - HEADER_SIZE;
    if (TooShortFor(info.width, info.height, stream))
        throw FileError(ResultMessage(PXCM_ERR_STREAM) + ": " + std::to_string(stream) +
                        " bytes of picture data cannot hold " + geometry + " pixels");
    return info;
}

int DecodeWithProgress(const uint8_t *data, uint64_t size, pxcm_layout layout, void *pixels, uint64_t pixels_size,
                       uint64_t max_pixels, const RowProgress &progress, pxcm_decode_report *report) {
    if (size > SIZE_MAX || pixels_size > SIZE_MAX) return PXCM_ERR_NO_MEMORY;
    Watch watch{&progress};
    pxcm_decode_options o{};
    o.layout = layout;
    o.max_pixels = max_pixels;
    o.progress = OnRow;
    o.user = &watch;
    return pxcm_decode(data, static_cast<size_t>(size), &o, pixels, static_cast<size_t>(pixels_size), report);
}

StreamFacts FactsOf(const pxcm_info &info, const pxcm_decode_report &report, uint64_t available) {
    StreamFacts f;
    f.info = info;
    f.bits_used = report.bits_used;
    f.bits_past_end = report.bits_past_end;
    f.end_row = report.end_row;
    const uint64_t end = HEADER_SIZE + (report.bits_used + 7) / 8;
    f.stream_bytes = std::min(end, available);
    f.trailing_bytes = available > end ? available - end : 0;
    return f;
}

std::string EndsEarlyText(const StreamFacts &facts) {
    return "the picture data ends early, in row " + std::to_string(facts.end_row + 1) + " of " +
           std::to_string(facts.info.height);
}

DecodedPicture DecodePicture(const PictureInput &input, const DecodeOptions &options, const RowProgress &progress) {
    const pxcm_info info = CheckedInfo(input, options);
    DecodedPicture out;
    // The bitmap's bytes need not be set: pxcm_decode writes every byte of
    // the DIB it decodes into in place, and on failure the bitmap is dropped.
    out.bitmap = Bitmap::AllocateUnset(info.width, info.height);
    pxcm_decode_report report{};
    uint64_t row = 0;
    const RowProgress rows = [&](const char *what, uint64_t done, uint64_t total) {
        row = done;
        if (progress) progress(what, done, total);
    };
    const int r = DecodeWithProgress(input.data(), input.size(), PXCM_LAYOUT_DIB, out.bitmap.bits(),
                                     out.bitmap.size(), 0, rows, &report);
    if (r != PXCM_OK) {
        if (r == PXCM_ERR_STREAM)
            throw FileError(ResultMessage(r) + " (in row " + std::to_string(row + 1) + " of " +
                            std::to_string(info.height) + ")");
        throw FileError(ResultMessage(r));
    }
    out.facts = FactsOf(info, report, input.size());
    out.facts.trailing_bytes += input.beyond();
    if (out.facts.ends_early()) {
        const std::string text = EndsEarlyText(out.facts);
        if (options.strict) throw FileError(text + " (--strict)");
        out.warnings.push_back(text + "; the rest is decoded from the zero bits after it, as the plug-in shows it");
    }
    return out;
}

} // namespace pxc
