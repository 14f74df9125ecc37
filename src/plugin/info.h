// The info strings of GetPluginInfo.
#ifndef PXCM_INFO_H
#define PXCM_INFO_H

#include <stdint.h>

constexpr int32_t INFO_COUNT = 4;
extern const char *const INFO_STRINGS[INFO_COUNT];

#endif
