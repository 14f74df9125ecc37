// The subcommands of pxc, each a function of the parsed command line that
// returns the exit status.
#ifndef PXC_COMMANDS_H
#define PXC_COMMANDS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace pxc {

constexpr int EXIT_FAILED = 1; // some file failed
constexpr int EXIT_USAGE = 2;  // the command line is wrong
// probe: 0 every file is a PXCM picture, 1 some file is not, 2 some file
// could not be read.
constexpr int EXIT_PROBE_UNREADABLE = 2;
// verify: bits of the exit status, 0 when every stream is complete.
constexpr int VERIFY_FAILED = 1;
constexpr int VERIFY_ENDS_EARLY = 4;
constexpr int VERIFY_TRAILING = 8;

// The largest picture a header can describe; --max-pixels takes it to lift
// the limit.
constexpr uint64_t MAX_PICTURE_PIXELS = uint64_t{65535} * 65535;

struct Settings {
    std::vector<std::string> files;
    std::string output;
    std::string out_dir;
    std::string format;        // png, bmp or empty
    std::string name_template; // empty: the subcommand's own
    std::string suffix;
    unsigned threads = 1;
    uint64_t max_pixels = uint64_t{1} << 28;
    uint64_t offset = 0;
    int effort = 6;
    bool force = false;
    bool skip_existing = false;
    bool recursive = false;
    bool strict = false;
    bool fast = false;
    bool json = false;
    bool all = false;
    bool quiet = false;
    bool verbose = false;
    bool no_progress = false;
};

int RunInfo(const Settings &s);
int RunProbe(const Settings &s);
int RunVerify(const Settings &s);
int RunDecode(const Settings &s);
int RunEncode(const Settings &s);
int RunScan(const Settings &s);
int RunExtract(const Settings &s);

// An input after folders were walked: the file, and the folder under the
// walked one that it lies in ("" for inputs named directly), which the
// outputs keep under --out-dir.
struct InputFile {
    std::string path;
    std::string subfolder;
};

// Which files a folder walk takes.
enum class Wanted { PXCM_PICTURES, PNG_OR_BMP, ANY };

// The inputs with folders walked (with `recursive`; a folder without it is
// an error, reported in *errors).
std::vector<InputFile> ExpandInputs(const std::vector<std::string> &names, bool recursive, Wanted wanted,
                                    std::vector<std::string> *errors);

// The subcommand closest to a misspelt one, or "" when none is close.
std::string ClosestCommand(const std::string &word, const std::vector<std::string> &commands);

} // namespace pxc

#endif
