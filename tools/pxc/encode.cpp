#include "encode.h"

#include <stdio.h>
#include <string.h>

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
    return StopRequested() ? 1 : 0;
}

// The picture in the bytes of a PNG or BMP file.
Bitmap ReadPictureBytes(const std::vector<uint8_t> &file, const ReadLimits &limits,
                        std::vector<std::string> *warnings) {
    static const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() >= 8 && memcmp(file.data(), PNG_SIGNATURE, 8) == 0) return ReadPng(file, limits, warnings);
    if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') return ReadBmp(file, limits);
    throw FileError("neither a PNG nor a BMP file");
}

} // namespace

std::string SizeNote(uint32_t width, uint32_t height, uint64_t bytes_in, uint64_t bytes_out) {
    char text[200];
    const double pixels = static_cast<double>(width) * height;
    snprintf(text, sizeof text, "%u x %u: %llu bytes -> %llu bytes (%.1f%%), %.2f bits per pixel", width, height,
             static_cast<unsigned long long>(bytes_in), static_cast<unsigned long long>(bytes_out),
             bytes_in == 0 ? 0.0 : 100.0 * static_cast<double>(bytes_out) / static_cast<double>(bytes_in),
             pixels == 0 ? 0.0 : 8.0 * static_cast<double>(bytes_out) / pixels);
    return text;
}

JobResult EncodeOne(const std::string &input, const std::string &output, const EncodeSettings &settings,
                    const RowProgress &rows) {
    CheckOutputFree(output, settings.force);
    JobResult result;
    const std::vector<uint8_t> bytes = ReadWholeFile(input);
    Bitmap picture = ReadPictureBytes(bytes, ReadLimits{settings.max_pixels}, &result.warnings);

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
    result.bytes_in = bytes.size();
    result.bytes_out = file.size();
    result.outputs = 1;
    result.notes.push_back(SizeNote(picture.width(), picture.height(), bytes.size(), file.size()));
    return result;
}

} // namespace pxc
