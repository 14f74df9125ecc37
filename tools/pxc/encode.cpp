#include "encode.h"

#include <vector>

#include "common.h"
#include "encoder/encoder.h"
#include "images.h"

namespace pxc {

namespace {

struct EncodeWatch {
    const RowProgress *rows;
};

int32_t OnEncodeRows(uint32_t done, uint32_t total, void *user) {
    auto *w = static_cast<EncodeWatch *>(user);
    if (*w->rows) (*w->rows)("encoding rows", done, total);
    return g_cancel.load(std::memory_order_relaxed) ? 1 : 0;
}

} // namespace

JobResult EncodeOne(const std::string &input, const std::string &output, const EncodeSettings &settings,
                    const RowProgress &rows) {
    CheckOutputFree(output, settings.force);
    JobResult result;
    Bitmap picture = ReadPicture(input, ReadLimits{settings.max_pixels}, &result.warnings);

    EncoderInput in{picture.bits(), picture.width(), picture.height(), picture.stride()};
    EncodeWatch watch{&rows};
    EncoderOptions options{settings.effort, OnEncodeRows, &watch};
    std::vector<uint8_t> file;
    switch (EncodePicture(&in, &options, &file)) {
    case ENCODE_OK: break;
    case ENCODE_TOO_LARGE: throw FileError("picture too large for a PXCM file (at most 65535 x 65535)");
    case ENCODE_ABORTED: throw FileError("cancelled");
    default: throw FileError("the encoder failed");
    }
    if (file.size() < 24) throw FileError("the encoder returned no picture");

    OutputFile out(output, settings.force);
    out.Write(file.data(), file.size());
    out.Commit();
    result.pixels = static_cast<uint64_t>(picture.width()) * picture.height();
    return result;
}

} // namespace pxc
