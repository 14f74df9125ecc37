// Per-channel digit tables of the literal tokens.
#ifndef PXCM_DIGITS_H
#define PXCM_DIGITS_H

#include <stdint.h>

#include "format/format.h"

// first[t] = DIGIT_VALUES[t / 36] (red), second[t] = DIGIT_VALUES[t / 6 % 6]
// (green), third[t] = DIGIT_VALUES[t % 6] (blue).
struct DigitTableSet {
    int8_t first[LITERAL_TOKENS];
    int8_t second[LITERAL_TOKENS];
    int8_t third[LITERAL_TOKENS];
};

// Filled once when the library is attached, read-only afterwards.
extern DigitTableSet DigitTables;

void BuildDigitTables();

#endif
