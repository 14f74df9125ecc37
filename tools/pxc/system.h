// What pxc needs from the operating system, as plain functions and two
// small classes: stop requests (signals), the terminal, input files mapped
// into memory, blocks of memory for large buffers, and the file-system side
// of output files (temporary names, renames, nodes that must not be
// replaced), the command line and the text written to the console.
// system_posix.cpp implements them for POSIX systems, system_windows.cpp
// for Windows. Names are UTF-8 throughout.
#ifndef PXC_SYSTEM_H
#define PXC_SYSTEM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace pxc {

// ---- stop requests
// The first Ctrl-C (SIGINT) or SIGTERM asks the program to stop: the work
// in hand ends at its next row and no output is left behind. A second one
// ends the program at once.
void InstallStopHandlers();
// Whether a stop was asked for, and by which signal (0: none).
bool StopRequested();
int StopSignal();
// Asks for a stop as the signal would (tests; 0 takes the request back).
void SetStopRequest(int signal_number);
// The exit status of a program stopped by that signal (130 for Ctrl-C).
int StopExitStatus();

// ---- the command line and the standard streams
// Puts the standard streams in the state the program expects: bytes pass
// through unchanged (no line-end translation).
void PrepareStandardStreams();
// The program's arguments as UTF-8 (argv itself where that is what the
// system passes).
std::vector<std::string> ProgramArguments(int argc, char **argv);
// The names that a wildcard pattern (* and ?) in the last part of an input
// name stands for, in order, where the shell leaves patterns to the
// program; otherwise, and when nothing matches, the name itself.
std::vector<std::string> ExpandWildcards(const std::string &name);

// ---- the processors
// The processors this process may run on (at least 1): those of its
// affinity mask, where the system or a container limits it to some, as
// nproc counts them.
unsigned UsableProcessors();

// ---- the terminal
enum StandardStream { STANDARD_INPUT = 0, STANDARD_OUTPUT = 1, STANDARD_ERROR = 2 };
bool IsTerminal(StandardStream stream);
// Columns of the terminal that standard error shows on (0 when it is none).
int TerminalColumns();
// Writes UTF-8 text to standard output or standard error, in order with
// what stdio wrote there: a terminal shows its characters, a file or pipe
// gets the bytes.
void WriteText(StandardStream stream, const std::string &text);

// ---- input
// What a name refers to, following symbolic links.
enum class NodeKind { MISSING, REGULAR, DIRECTORY, OTHER, UNREADABLE };
NodeKind KindOf(const std::string &path);

// A regular file opened for reading and mapped into memory whole: pages are
// read when they are touched, so that a decode costs only the bytes it
// reads. Anything but a regular file is refused at once, without waiting
// on it (a FIFO without a writer, a device). Throws FileError.
class MappedFile {
public:
    MappedFile() = default;
    explicit MappedFile(const std::string &path);
    ~MappedFile();
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    uint64_t size() const { return size_; }
    // The file's bytes, or null when it is empty or could not be mapped
    // (some file systems cannot); then Read is the way in.
    const uint8_t *data() const { return data_; }
    // Up to n bytes at offset (fewer at the end of the file). Throws FileError.
    size_t Read(uint64_t offset, void *dest, size_t n) const;
    // Gives back the memory of pages in [offset, offset + length) that will
    // not be needed again (they are read anew if they are).
    void Forget(uint64_t offset, uint64_t length) const;

private:
    void Close();
    intptr_t handle_ = -1;
    const uint8_t *data_ = nullptr;
    uint64_t size_ = 0;
};

// The same on every system: only opening and Close differ.
inline MappedFile::~MappedFile() { Close(); }

inline MappedFile::MappedFile(MappedFile &&other) noexcept { *this = static_cast<MappedFile &&>(other); }

inline MappedFile &MappedFile::operator=(MappedFile &&other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        data_ = other.data_;
        size_ = other.size_;
        other.handle_ = -1;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

// Reads up to n bytes from standard input, stopping early only at its end
// or on a stop request. Throws FileError.
size_t ReadStandardInput(void *dest, size_t n);

// ---- memory
// A block for a large buffer (a picture, its filtered rows, their
// compressed stream), its bytes not set; null when there is no memory.
// Blocks of at least LARGE_PAGE bytes are aligned to it and, where the
// system has such pages (Linux: transparent huge pages), asked to be backed
// by them: their first writes then cost a page fault per 2 MiB, not per
// 4 KiB. FreeLarge takes the size the block was asked for.
constexpr size_t LARGE_PAGE = size_t{2} << 20;
void *AllocateLarge(size_t size);
void FreeLarge(void *block, size_t size);

// ---- output
// Where an output goes, decided from what its name holds now.
enum class OutputKind {
    NEW,      // nothing there: a new file
    EXISTING, // a regular file (or a symbolic link to one): replaced only with --force
    STREAM,   // a character device or a FIFO with a reader: written through, never replaced
};
struct OutputPlace {
    OutputKind kind;
    std::string target; // the file to create or replace, symbolic links resolved
};
// Throws FileError for names that cannot be written: folders, block
// devices, sockets, terminals, FIFOs without a reader, dangling links.
OutputPlace PlaceOf(const std::string &path);

// A handle to write to (-1: none).
using OutputHandle = intptr_t;
// A new file with a short unique name in `folder`, for the bytes that a
// rename later puts under their real name. Its name goes to *temp_path.
OutputHandle CreateTemporary(const std::string &folder, std::string *temp_path);
// Opens a STREAM place, or standard output (for "-"), for writing.
OutputHandle OpenStream(const std::string &target);
OutputHandle StandardOutputHandle();
// Writes everything or throws FileError naming `what`.
void WriteAll(OutputHandle handle, const void *data, size_t size, const std::string &what);
// Closes; false on failure (the written data may be lost). Standard output
// is flushed but stays open.
bool CloseHandle(OutputHandle handle);
// Puts the finished temporary file under `target`: over what is there when
// `replace`, else only when the name is still free (a file that appeared
// meanwhile is kept). Throws FileError.
void PublishTemporary(const std::string &temp_path, const std::string &target, bool replace);
void RemoveFile(const std::string &path);

// The reason for the last failed system call, in words.
std::string LastErrorText();

} // namespace pxc

#endif
