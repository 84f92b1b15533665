// Fixed-capacity UTF-16 text helpers. Every copy into a fixed array in the
// program ends up here, so the cut-to-capacity rule lives in one place.
#include "base/text.h"

int32_t textLength(const char16_t* text) {
    if (text == nullptr) {
        return 0;
    }
    int32_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

int32_t copyTextN(char16_t* target, int32_t capacity, const char16_t* source, int32_t sourceLength) {
    if (target == nullptr || capacity <= 0) {
        return 0;
    }
    int32_t count = 0;
    if (source != nullptr) {
        while (count < sourceLength && count < capacity - 1) {
            target[count] = source[count];
            ++count;
        }
    }
    target[count] = 0;
    return count;
}

int32_t copyText(char16_t* target, int32_t capacity, const char16_t* source) {
    if (target == nullptr || capacity <= 0) {
        return 0;
    }
    int32_t count = 0;
    if (source != nullptr) {
        while (count < capacity - 1 && source[count] != 0) {
            target[count] = source[count];
            ++count;
        }
    }
    target[count] = 0;
    return count;
}

int32_t appendText(char16_t* target, int32_t capacity, const char16_t* source) {
    if (target == nullptr || capacity <= 0) {
        return 0;
    }
    int32_t used = 0;
    while (used < capacity - 1 && target[used] != 0) {
        ++used;
    }
    return used + copyText(target + used, capacity - used, source);
}

bool textEquals(const char16_t* a, const char16_t* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static char16_t asciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool textEqualsIgnoringAsciiCase(const char16_t* a, const char16_t* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    while (*a != 0 && asciiLower(*a) == asciiLower(*b)) {
        ++a;
        ++b;
    }
    return asciiLower(*a) == asciiLower(*b);
}

int32_t copyBytes(char* target, int32_t capacity, const char* source) {
    if (target == nullptr || capacity <= 0) {
        return 0;
    }
    int32_t count = 0;
    if (source != nullptr) {
        while (count < capacity - 1 && source[count] != 0) {
            target[count] = source[count];
            ++count;
        }
    }
    target[count] = 0;
    return count;
}
