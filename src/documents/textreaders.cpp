// The small readers shared by the settings file, the display documents and
// the command line. They accept what Japanese editors produce (ideographic
// space, full-width digits), return a fallback when there is no number, and
// never report an error. Arithmetic wraps in 32 bits on purpose: a value too
// large for the field is nonsense either way, and wrapping never traps.
#include "documents/documents.h"

bool isBlank(char16_t c) {
    return c == u'\t' || c == u'\r' || c == u' ' || c == u'\u3000' || c == u'\uFEFF';
}

char16_t* trimBlanks(char16_t* text) {
    while (isBlank(*text)) {
        ++text;
    }
    int32_t end = textLength(text);
    while (end > 0 && isBlank(text[end - 1])) {
        text[--end] = 0;
    }
    return text;
}

int32_t digitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'\uFF10' && c <= u'\uFF19') {
        return c - u'\uFF10';
    }
    return -1;
}

static const char16_t* skipBlanks(const char16_t* text) {
    while (isBlank(*text)) {
        ++text;
    }
    return text;
}

// Accumulates value * 10 + digit with 32-bit wrap-around (done in unsigned
// arithmetic so that the wrap is defined behaviour).
static uint32_t accumulateDecimal(uint32_t value, int32_t digit) {
    return value * 10u + static_cast<uint32_t>(digit);
}

int32_t parseInt(const char16_t* text, int32_t fallback) {
    if (text == nullptr) {
        return fallback;
    }
    const char16_t* p = skipBlanks(text);
    bool negative = false;
    if (*p == u'-') {
        negative = true;
        ++p;
    }
    if (digitValue(*p) < 0) {
        return fallback;
    }
    uint32_t value = 0;
    while (digitValue(*p) >= 0) {
        value = accumulateDecimal(value, digitValue(*p));
        ++p;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

int32_t parseSecondsMs(const char16_t* text, int32_t fallback) {
    if (text == nullptr) {
        return fallback;
    }
    const char16_t* p = skipBlanks(text);
    bool anyDigit = false;
    uint32_t seconds = 0;
    while (digitValue(*p) >= 0) {
        seconds = accumulateDecimal(seconds, digitValue(*p));
        anyDigit = true;
        ++p;
    }
    uint32_t fraction = 0;
    if (*p == u'.' && digitValue(p[1]) >= 0) {
        ++p;
        static constexpr uint32_t WEIGHTS[3] = {100, 10, 1};
        int32_t index = 0;
        while (digitValue(*p) >= 0) {
            if (index < 3) {
                fraction += WEIGHTS[index] * static_cast<uint32_t>(digitValue(*p));
            }
            ++index;
            ++p;
        }
        anyDigit = true;
    }
    if (!anyDigit) {
        return fallback;
    }
    return static_cast<int32_t>(seconds * 1000u + fraction);
}

static int32_t hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

uint32_t parseColorrefHex(const char16_t* text, uint32_t fallback) {
    if (text == nullptr) {
        return fallback;
    }
    const char16_t* p = text;
    while (isBlank(*p) || *p == u'#') {
        ++p;
    }
    uint32_t rgb = 0;
    int32_t digits = 0;
    while (hexValue(*p) >= 0) {
        if (digits < 6) {
            rgb = (rgb << 4) | static_cast<uint32_t>(hexValue(*p));
        }
        ++digits;
        ++p;
    }
    if (digits != 6) {
        return fallback;
    }
    const uint32_t red = (rgb >> 16) & 0xFF;
    const uint32_t green = (rgb >> 8) & 0xFF;
    const uint32_t blue = rgb & 0xFF;
    return red | (green << 8) | (blue << 16);
}
