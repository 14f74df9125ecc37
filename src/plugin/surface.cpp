// GetPluginInfo, IsSupported, GetPictureInfo and GetPreview.
#include <string.h>

#include "plugin/info.h"
#include "plugin/pxcm.h"
#include "source/header.h"
#include "source/source.h"

#ifndef PXCM_VERSION_STRING
#error "PXCM_VERSION_STRING is set by the build"
#endif

// The banner ends in two blanks and our mark: the project and its version
// (one string, joined in brackets so that no compiler takes it for a
// missing comma).
const char *const INFO_STRINGS[INFO_COUNT] = {
    "00IN",
    ("PXCM to DIB filter ver0.01  pxcm " PXCM_VERSION_STRING),
    "*",
    "RIVERFOX CG (*.PXC)",
};

extern "C" int32_t PXCM_API GetPluginInfo(int32_t index, char *buffer, int32_t size) {
    if (index < 0 || index >= INFO_COUNT || buffer == nullptr || size < 1) return 0;
    // Fixed-length copy: the string, zero bytes up to size - 1, and a
    // terminator at size - 1 in every case.
    strncpy(buffer, INFO_STRINGS[index], static_cast<size_t>(size - 1));
    buffer[size - 1] = '\0';
    return static_cast<int32_t>(strlen(buffer));
}

extern "C" int32_t PXCM_API IsSupported(const char * /*name*/, PxcmRef probe_ref) {
    InputSource source = nullptr;
    if (OpenProbe(&source, probe_ref) != ERR_NONE) return 0;
    ImageHeader header;
    int32_t answer = CheckHeader(source, &header) == ERR_NONE ? 1 : 0;
    CloseSource(source, nullptr);
    return answer;
}

extern "C" int32_t PXCM_API GetPictureInfo(const char *location, PxcmLong extent, uint32_t mode,
                                           PictureInfoBlock *record) {
    InputSource source = nullptr;
    int32_t result = OpenSource(&source, location, extent, mode);
    if (result != ERR_NONE) return result;
    ImageHeader header;
    result = CheckHeader(source, &header);
    if (result == ERR_NONE && record != nullptr) {
        record->left = 0;
        record->top = 0;
        record->width = static_cast<int32_t>(header.width);
        record->height = static_cast<int32_t>(header.height);
        record->x_density = 0;
        record->y_density = 0;
        record->depth = static_cast<int16_t>(header.depth);
        record->text_handle = 0;
    }
    CloseSource(source, &result);
    return result;
}

extern "C" int32_t PXCM_API GetPreview(const char *, PxcmLong, uint32_t, PxcmBlock *, PxcmBlock *,
                                       ProgressCallback, PxcmLong) {
    return ERR_NOT_IMPLEMENTED;
}
