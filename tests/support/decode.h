// Calling the exports as a host does: GetPicture with everything a test may
// want to know about the call recorded and the blocks freed again, and
// GetPictureInfo and IsSupported over bytes in memory.
#ifndef PXCM_TESTS_DECODE_H
#define PXCM_TESTS_DECODE_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/faults.h"
#include "plugin/pxcm.h"

// A value a handle variable holds before the call, which no allocation
// returns: it must survive every failure before the blocks exist.
inline PxcmBlock Sentinel(uintptr_t k) { return reinterpret_cast<PxcmBlock>(static_cast<uintptr_t>(0x5E000) + k); }

// What GetPicture left in one of the host's handle variables.
enum class Handle {
    Untouched, // still the sentinel
    Cleared,   // null
    Block      // a block (freed by the helper after a successful call)
};

using Progress = std::vector<std::pair<int32_t, int32_t>>;

struct Decoded {
    int32_t result = -100;
    Progress calls; // (num, denom) of every callback, in order
    Handle info_handle = Handle::Untouched;
    Handle pixels_handle = Handle::Untouched;
    // On success: the information block (its size and the bitmap header in
    // it) and the whole pixel block.
    bool has_header = false;
    uint64_t info_size = 0;
    PxcmBitmapHeader header{};
    std::vector<uint8_t> pixels;
    // Platform calls made during GetPicture (fault-injection counters).
    // Any armed failure is disarmed afterwards, so that the helper's own
    // locking of the blocks can neither fail nor count.
    int platform_calls[CALL_COUNT] = {};

    bool untouched() const { return info_handle == Handle::Untouched && pixels_handle == Handle::Untouched; }
    bool cleared() const { return info_handle == Handle::Cleared && pixels_handle == Handle::Cleared; }
};

// stop_at: the callback asks to stop at this call (counted from 0).
constexpr int32_t NEVER_STOP = -1;
constexpr int32_t NO_CALLBACK = -2; // GetPicture gets a null callback

// GetPicture over a heap copy of exactly these bytes (so that the
// sanitizers see any read past them).
Decoded DecodeBytes(const std::vector<uint8_t> &file, int32_t stop_at = NEVER_STOP);
// GetPicture from a file, the picture starting `offset` bytes in.
Decoded DecodeFile(const std::string &path, PxcmLong offset, int32_t stop_at = NEVER_STOP);
// GetPicture with the source description exactly as given.
Decoded DecodeAt(const char *location, PxcmLong extent, uint32_t mode, int32_t stop_at = NEVER_STOP);

// A record filled with a pattern that no call writes, to tell whether
// GetPictureInfo wrote it.
PictureInfoBlock UntouchedRecord();
bool SameRecord(const PictureInfoBlock &a, const PictureInfoBlock &b);
// GetPictureInfo over these bytes.
int32_t InfoFromBytes(const std::vector<uint8_t> &file, PictureInfoBlock *record, uint32_t mode = SOURCE_MEMORY);
// IsSupported through a pointer to an exactly 2048-byte heap copy of the
// file's zero-padded head.
int32_t ProbeBytes(const std::vector<uint8_t> &file);

// The callbacks of a complete decode: (0, h) .. (h - 1, h), then (h, h).
Progress ProgressOf(uint32_t height);

#endif
