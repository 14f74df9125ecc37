#include "pixels/digits.h"

const int8_t DIGIT_VALUES[6] = {-3, -2, -1, 0, 1, 2};

DigitTableSet DigitTables;

void BuildDigitTables() {
    for (int32_t t = 0; t < LITERAL_TOKENS; t++) {
        DigitTables.first[t] = DIGIT_VALUES[t / 36];
        DigitTables.second[t] = DIGIT_VALUES[(t / 6) % 6];
        DigitTables.third[t] = DIGIT_VALUES[t % 6];
    }
}
