// Reading the 24-byte picture header from a source.
#ifndef PXCM_HEADER_H
#define PXCM_HEADER_H

#include <stdint.h>

#include "format/format.h"
#include "source/source.h"

// Reads the header from the source's current position: ERR_READ when fewer
// than 24 bytes are there, ERR_BAD_FORMAT when refused, else ERR_NONE.
int32_t CheckHeader(InputSource source, ImageHeader *header);

#endif
