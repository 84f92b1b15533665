// Number formatting: the one way the program turns a number into text.
#pragma once

#include <cstdint>

// Appends the decimal text of value ("-" and digits, no grouping) to the text
// already in out, cut to the capacity like every other append. Returns the
// length of out afterwards.
int32_t appendDecimal(char16_t* out, int32_t capacity, int64_t value);
