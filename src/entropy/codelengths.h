// Order-0 Exp-Golomb integers and the sparse code-length tables of a table set.
#ifndef PXCM_CODELENGTHS_H
#define PXCM_CODELENGTHS_H

#include <stdint.h>

#include "entropy/bitreader.h"

// One order-0 Exp-Golomb integer. A prefix of a 26th zero bit (which is also
// what a stream cut short before it produces) gives ERR_STREAM.
int32_t ReadExpGolomb(BitReader *r, uint32_t *value);

// One table for an alphabet of n symbols into lengths[0..n), every symbol
// not given a length set to 0. A length stored at a symbol past the
// alphabet, or a skip past its end, gives ERR_STREAM.
int32_t ReadCodeLengths(BitReader *r, uint8_t *lengths, uint32_t n);

#endif
