// Pieces every pxc subcommand shares: result codes in words, whole-file
// reads, output files that appear only when complete, output names, and
// the stop flag that Ctrl-C sets.
#ifndef PXC_COMMON_H
#define PXC_COMMON_H

#include <stdint.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "system.h"

namespace pxc {

// A failure of one file, with the reason in words; the batch reports it
// and goes on with the next file.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The message for a result code of the decoder.
std::string ResultMessage(int32_t result);
// The same for a failure with the bytes `head` of a file: a file too short
// for a header is "not a PXCM picture" unless it starts like one.
std::string FileResultMessage(int32_t result, const uint8_t *head, size_t size);

// Progress of one picture for a progress bar: what is being done ("decoding
// rows"), how far it is and how far it goes.
using RowProgress = std::function<void(const char *what, uint64_t done, uint64_t total)>;

// Set when a stop was asked for (Ctrl-C, SIGTERM; see system.h); decodes
// and encodes stop at their next row.
extern std::atomic<bool> g_cancel;

// The whole file ("-": standard input). Anything but a regular file is
// refused without waiting on it. Throws FileError naming the reason.
std::vector<uint8_t> ReadWholeFile(const std::string &path);

// An output that appears under its final name only when it is complete:
// the bytes go to a temporary file with a short name in the same folder,
// which Commit renames. Missing parent folders are created. Without
// `force` an existing file is never replaced, also not one that appeared
// while this one was being written; a file that is never committed is
// removed. A symbolic link is followed (the link stays, its file is
// written); a character device or a FIFO is written through, never
// replaced; "-" is standard output.
class OutputFile {
public:
    OutputFile(const std::string &path, bool force);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void Write(const void *data, size_t size);
    void Commit();
    const std::string &path() const { return path_; }

private:
    void Flush();

    std::string path_;
    OutputPlace place_;
    std::string temp_;
    bool force_;
    OutputHandle handle_ = -1;
    std::vector<uint8_t> buffer_;
};

// Where `path` would be written; throws FileError when it exists and may
// not be replaced (without `force`) or cannot be written at all.
OutputPlace CheckOutputFree(const std::string &path, bool force);
// Whether something is at `path` that an output would replace or write
// through (for --skip-existing).
bool OutputExists(const std::string &path);

// A UTF-8 name as a path and back (std::string paths are in the system's
// narrow encoding, which need not be UTF-8).
std::filesystem::path PathOf(const std::string &name);
std::string TextOf(const std::filesystem::path &path);

// Lower-case extension including the dot ("" when there is none).
std::string Extension(const std::string &path);

// Output names: a template with {stem} (the input's name without its
// extension), {name} (the whole input name), {ext} (the output's
// extension, without the dot) and {offset} (the picture's offset in an
// archive). Throws std::invalid_argument for unknown fields or names that
// would leave the output folder.
std::string ExpandName(const std::string &pattern, const std::string &input, const std::string &ext,
                       uint64_t offset = 0);
void CheckNamePattern(const std::string &pattern);

} // namespace pxc

#endif
