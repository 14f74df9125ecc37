#include "pixels/digits.h"

DigitTableSet DigitTables;

void BuildDigitTables() {
    for (uint32_t t = 0; t < LITERAL_TOKENS; t++) {
        DigitTables.first[t] = DIGIT_VALUES[RedDigit(t)];
        DigitTables.second[t] = DIGIT_VALUES[GreenDigit(t)];
        DigitTables.third[t] = DIGIT_VALUES[BlueDigit(t)];
    }
}
