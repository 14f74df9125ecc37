// PNG and BMP pictures into PXCM files.
#ifndef PXC_ENCODE_H
#define PXC_ENCODE_H

#include <stdint.h>

#include <functional>
#include <string>

#include "batch.h"

namespace pxc {

struct EncodeSettings {
    int32_t effort = 6;
    uint64_t max_pixels = uint64_t{1} << 28;
    bool force = false;
};

// Reads `input`, encodes it and writes `output`. Throws FileError.
JobResult EncodeOne(const std::string &input, const std::string &output, const EncodeSettings &settings,
                    const RowProgress &rows);

} // namespace pxc

#endif
