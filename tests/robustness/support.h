// Helpers of the robustness tests: decoding through every source, and a
// few pictures to break.
#ifndef PXCM_TESTS_ROBUSTNESS_SUPPORT_H
#define PXCM_TESTS_ROBUSTNESS_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/faults.h"
#include "plugin/pxcm.h"

using Bytes = std::vector<uint8_t>;

// A value a handle variable holds before the call; it must survive every
// failure that happens before the blocks are allocated.
inline PxcmBlock Sentinel(uintptr_t k) { return reinterpret_cast<PxcmBlock>(0x5E000 + k); }

// What GetPicture gave: the result, the rows the callback saw, and on
// success the bitmap header and the pixel block (the blocks are freed).
struct Decoded {
    int32_t result = -100;
    std::vector<int32_t> progress; // num of every call, in order
    bool denominators_ok = true;   // every call had denom == height
    PxcmBitmapHeader header{};
    Bytes pixels;
    bool info_untouched = false;   // the handle variables still hold their sentinels
    bool pixels_untouched = false;
    // Platform calls GetPicture made (fault-injection counters, taken before
    // this helper locks the blocks itself; any armed failure is then disarmed).
    int calls[CALL_COUNT] = {};
};

// GetPicture over exactly these bytes in memory (a copy of exactly their
// size, so that the sanitizers see any read past them). stop_at >= 0 makes
// the callback ask to stop at that call.
Decoded DecodeMemory(const Bytes &file, int32_t stop_at = -1);
Decoded DecodeFile(const std::string &path, PxcmLong offset, int32_t stop_at = -1);

// The 2-by-1 picture of the format's worked example.
Bytes ExamplePicture();
// The header rules restated: would this 24-byte head be accepted?
bool HeaderAccepted(const Bytes &file);
uint64_t BitmapBytes(uint32_t width, uint32_t height);

// The sample pictures (samples/*.pxc), if any.
std::vector<std::string> SampleFiles();
Bytes ReadWholeFile(const std::string &path);
// A file in a fresh temporary folder, removed with the object.
struct TempFile {
    std::string path;
    explicit TempFile(const Bytes &bytes);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
};

#endif
