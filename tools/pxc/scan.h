// Finding the PXCM pictures embedded in any file (a game archive): every
// byte offset where a header the plug-in accepts begins, decoded to learn
// whether its stream holds and where it ends.
#ifndef PXC_SCAN_H
#define PXC_SCAN_H

#include <stdint.h>

#include <functional>

#include <pxcm/pxcm.h>

#include "images.h"
#include "system.h"

namespace pxc {

struct FoundPicture {
    uint64_t offset = 0; // of the header in the file
    uint64_t length = 0; // header and stream, as far as the file holds them
    pxcm_info info{};
    bool complete = true;  // the file holds the whole stream
    uint32_t end_row = 0;  // where the file ran out, when not complete
    bool inside = false;   // starts within the stream of an earlier picture
    uint64_t parent = 0;   // that picture's offset
};

struct ScanOptions {
    uint64_t max_pixels = uint64_t{1} << 28; // larger headers are passed over
    bool keep_pixels = false;                // hand each picture's pixels to the callback
};

struct ScanTotals {
    uint64_t pictures = 0;
    uint64_t candidates = 0; // accepted headers
    uint64_t rejected = 0;   // of those, the ones whose stream does not decode
    uint64_t too_large = 0;  // of those, the ones above the pixel limit
};

// Called for every picture found, in file order; `pixels` is the decoded
// picture with keep_pixels, else null. It may throw FileError to stop.
using FoundCallback = std::function<void(const FoundPicture &found, Bitmap *pixels)>;

// Scans the whole file with bounded memory: what was scanned is given
// back to the system as the scan moves on. Progress counts bytes.
// Throws FileError (also when stopped).
ScanTotals ScanFile(const MappedFile &file, const ScanOptions &options, const FoundCallback &found,
                    const RowProgress &progress);

} // namespace pxc

#endif
