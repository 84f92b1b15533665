// Decimal text of numbers for titles, status lines and addresses. Written out
// by hand rather than through the C library's narrow printf, so no caller has
// to widen a char buffer afterwards.
#include "base/numbers.h"

#include "base/text.h"

int32_t appendDecimal(char16_t* out, int32_t capacity, int64_t value) {
    // Worked in unsigned arithmetic so that the most negative value has a
    // magnitude too.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char16_t digits[24];
    int32_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    char16_t number[24];
    int32_t length = 0;
    if (value < 0) {
        number[length++] = u'-';
    }
    while (count > 0) {
        number[length++] = digits[--count];
    }
    number[length] = 0;
    return appendText(out, capacity, number);
}
