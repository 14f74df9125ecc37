#include "common.h"

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "format/format.h"
#include "plugin/pxcm.h"

namespace pxc {

std::atomic<bool> g_cancel{false};

std::filesystem::path PathOf(const std::string &name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::string TextOf(const std::filesystem::path &path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string ResultMessage(int32_t result) {
    switch (result) {
    case ERR_NONE: return "no error";
    case ERR_ABORTED: return "cancelled";
    case ERR_BAD_FORMAT: return "not a PXCM picture";
    case ERR_NO_MEMORY: return "out of memory";
    case ERR_MEMORY: return "cannot lock memory";
    case ERR_READ: return "file cannot be read or is cut short";
    case PXCM_ERR_TRUNCATED: return "file is cut short inside its header";
    case PXCM_ERR_STREAM: return "damaged picture data";
    case PXCM_ERR_TOO_LARGE: return "picture too large";
    case ERR_INTERNAL: return "unsupported source";
    case ERR_NOT_IMPLEMENTED: return "not implemented";
    default: return "unknown error (code " + std::to_string(result) + ")";
    }
}

std::string FileResultMessage(int32_t result, const uint8_t *head, size_t size) {
    static const char TAG[4] = {'P', 'X', 'C', 'M'};
    if ((result == ERR_READ || result == PXCM_ERR_TRUNCATED) && size < HEADER_SIZE &&
        (size < 4 ? size == 0 || memcmp(head, TAG, size) != 0 : memcmp(head, TAG, 4) != 0))
        return ResultMessage(ERR_BAD_FORMAT);
    return ResultMessage(result);
}

std::vector<uint8_t> ReadWholeFile(const std::string &path) {
    std::vector<uint8_t> bytes;
    if (path == "-") {
        constexpr size_t CHUNK = size_t{1} << 20;
        for (;;) {
            const size_t at = bytes.size();
            bytes.resize(at + CHUNK);
            const size_t got = ReadStandardInput(bytes.data() + at, CHUNK);
            bytes.resize(at + got);
            if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
            if (got < CHUNK) return bytes;
        }
    }
    MappedFile file(path);
    if (file.size() > SIZE_MAX) throw FileError("out of memory");
    try {
        bytes.resize(static_cast<size_t>(file.size()));
    } catch (const std::bad_alloc &) {
        throw FileError("out of memory");
    }
    if (file.data() != nullptr) {
        memcpy(bytes.data(), file.data(), bytes.size());
    } else {
        bytes.resize(file.Read(0, bytes.data(), bytes.size()));
    }
    return bytes;
}

// ---------------------------------------------------------------- outputs

OutputPlace CheckOutputFree(const std::string &path, bool force) {
    if (path == "-") return {OutputKind::STREAM, path};
    OutputPlace place = PlaceOf(path);
    if (place.kind == OutputKind::EXISTING && !force)
        throw FileError("output " + path + " exists (use --force to replace it)");
    return place;
}

bool OutputExists(const std::string &path) {
    if (path == "-") return false;
    try {
        return PlaceOf(path).kind != OutputKind::NEW;
    } catch (const FileError &) {
        return true; // something is there, if only a folder
    }
}

OutputFile::OutputFile(const std::string &path, bool force) : path_(path), force_(force) {
    place_ = CheckOutputFree(path, force);
    if (path == "-") {
        handle_ = StandardOutputHandle();
    } else if (place_.kind == OutputKind::STREAM) {
        handle_ = OpenStream(place_.target);
    } else {
        const std::filesystem::path folder = PathOf(place_.target).parent_path();
        if (!folder.empty()) {
            std::error_code error;
            std::filesystem::create_directories(folder, error);
            if (error) throw FileError("cannot create folder " + TextOf(folder) + ": " + error.message());
        }
        handle_ = CreateTemporary(TextOf(folder), &temp_);
    }
    buffer_.reserve(size_t{1} << 16);
}

OutputFile::~OutputFile() {
    if (handle_ >= 0) CloseHandle(handle_);
    if (!temp_.empty()) RemoveFile(temp_);
}

void OutputFile::Flush() {
    if (buffer_.empty()) return;
    const std::string what = path_ == "-" ? std::string("standard output") : path_;
    WriteAll(handle_, buffer_.data(), buffer_.size(), what);
    buffer_.clear();
}

void OutputFile::Write(const void *data, size_t size) {
    if (handle_ < 0) throw FileError("cannot write " + path_ + ": already closed");
    if (buffer_.size() + size > buffer_.capacity()) Flush();
    if (size >= buffer_.capacity()) {
        WriteAll(handle_, data, size, path_ == "-" ? std::string("standard output") : path_);
        return;
    }
    const auto *p = static_cast<const uint8_t *>(data);
    buffer_.insert(buffer_.end(), p, p + size);
}

void OutputFile::Commit() {
    if (StopRequested()) throw FileError(ResultMessage(ERR_ABORTED));
    Flush();
    const OutputHandle handle = handle_;
    handle_ = -1;
    if (!CloseHandle(handle)) throw FileError("cannot write " + path_ + ": " + LastErrorText());
    if (!temp_.empty()) {
        PublishTemporary(temp_, place_.target, force_);
        temp_.clear();
    }
}

// ---------------------------------------------------------------- names

std::string Extension(const std::string &path) {
    std::string ext = TextOf(PathOf(path).extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return ext;
}

namespace {

std::string Expand(const std::string &pattern, const std::string &stem, const std::string &name,
                   const std::string &ext, uint64_t offset) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); i++) {
        if (pattern[i] != '{') {
            out += pattern[i];
            continue;
        }
        const size_t close = pattern.find('}', i);
        if (close == std::string::npos) throw std::invalid_argument("unclosed '{' in the name template");
        const std::string field = pattern.substr(i + 1, close - i - 1);
        if (field == "stem") out += stem;
        else if (field == "name") out += name;
        else if (field == "ext") out += ext;
        else if (field == "offset") out += std::to_string(offset);
        else throw std::invalid_argument("unknown field {" + field + "} in the name template (stem, name, ext, offset)");
        i = close;
    }
    return out;
}

} // namespace

void CheckNamePattern(const std::string &pattern) {
    const std::string sample = Expand(pattern, "a", "a.pxc", "png", 0);
    if (sample.empty() || sample.find('/') != std::string::npos || sample == "." || sample == "..")
        throw std::invalid_argument("the name template must give a plain file name");
}

std::string ExpandName(const std::string &pattern, const std::string &input, const std::string &ext,
                       uint64_t offset) {
    const std::filesystem::path in = PathOf(input);
    return Expand(pattern, TextOf(in.stem()), TextOf(in.filename()), ext, offset);
}

} // namespace pxc
