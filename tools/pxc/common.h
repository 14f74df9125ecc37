// Pieces every pxc subcommand shares: result codes in words, whole-file
// reads, output files that appear only when complete, and the cancel flag
// that Ctrl-C sets.
#ifndef PXC_COMMON_H
#define PXC_COMMON_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pxc {

// A failure of one file, with the reason in words; the batch reports it
// and goes on with the next file.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The message for a result code of the decoder.
std::string ResultMessage(int32_t result);
// The same for a failure with the file at `path` (or the bytes `head`):
// a file too short for a header is "not a PXCM picture" unless it starts
// like one, where the plug-in can only say that it could not read it.
std::string FileResultMessage(int32_t result, const std::string &path);
std::string FileResultMessage(int32_t result, const uint8_t *head, size_t size);

// Progress of one picture for a progress bar: what is being done ("decoding
// rows"), how far it is and how far it goes.
using RowProgress = std::function<void(const char *what, uint64_t done, uint64_t total)>;

// Set from the SIGINT handler; decodes and encodes stop at their next row.
extern std::atomic<bool> g_cancel;
void InstallCancelHandler();

// The whole file. Throws FileError naming the reason.
std::vector<uint8_t> ReadWholeFile(const std::string &path);
// At most the first n bytes of the file (fewer if it is shorter).
std::vector<uint8_t> ReadHead(const std::string &path, size_t n);

// An output that appears under its final name only when it is complete:
// the bytes go to a hidden temporary file in the same directory, which
// Commit renames. Without `force` an existing file is never replaced, also
// not one that appeared while this one was being written. A file that is
// never committed is removed.
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
    std::string path_;
    std::string temp_;
    bool force_;
    int fd_ = -1;
};

// Throws FileError when `path` exists and may not be replaced.
void CheckOutputFree(const std::string &path, bool force);

// "file.png" for ("dir/file.pxc", ".png") in `dir_out`, or next to the
// input when dir_out is empty.
std::string OutputName(const std::string &input, const std::string &dir_out,
                       const std::string &extension);

// Lower-case extension including the dot ("" when there is none).
std::string Extension(const std::string &path);

} // namespace pxc

#endif
