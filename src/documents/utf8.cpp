// UTF-8 to UTF-16 for the display documents, the same on every platform so
// that a document reads identically on the board and in the host tests.
// A zero byte ends the text. Each malformed sequence (a stray continuation
// byte, a lead byte without its continuations, an overlong form, a surrogate
// or a value above U+10FFFF) becomes one U+FFFD and reading goes on, so a
// single bad byte never costs the operator the whole document.
#include "documents/documents.h"

static constexpr char16_t REPLACEMENT = 0xFFFD;

static bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

int32_t decodeUtf8(const unsigned char* bytes, int32_t count, char16_t* out, int32_t capacity) {
    if (out == nullptr || capacity <= 0) {
        return 0;
    }
    const int32_t limit = capacity - 1;
    int32_t written = 0;
    int32_t i = 0;
    while (i < count && written < limit) {
        const unsigned char lead = bytes[i];
        if (lead == 0) {
            break;
        }
        if (lead < 0x80) {
            out[written++] = lead;
            ++i;
            continue;
        }
        int32_t needed = 0;
        uint32_t value = 0;
        uint32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
            value = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            value = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            value = lead & 0x07;
            minimum = 0x10000;
        } else {
            out[written++] = REPLACEMENT;
            ++i;
            continue;
        }
        int32_t taken = 1;
        while (taken <= needed && i + taken < count && isContinuation(bytes[i + taken])) {
            value = (value << 6) | (bytes[i + taken] & 0x3F);
            ++taken;
        }
        if (taken <= needed || value < minimum || value > 0x10FFFF ||
            (value >= 0xD800 && value <= 0xDFFF)) {
            // Incomplete or not a scalar value: one replacement for the lead
            // and the continuation bytes that belonged to it.
            out[written++] = REPLACEMENT;
            i += taken;
            continue;
        }
        if (value < 0x10000) {
            out[written++] = static_cast<char16_t>(value);
        } else {
            if (written + 2 > limit) {
                break;
            }
            value -= 0x10000;
            out[written++] = static_cast<char16_t>(0xD800 + (value >> 10));
            out[written++] = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
        }
        i += taken;
    }
    out[written] = 0;
    return written;
}
