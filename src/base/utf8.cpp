// The program's UTF-8 rules, kept side by side so that none is
// written twice.
//
// decodeUtf8 reads the display documents, the same on every platform so
// that a document reads identically on the board and in the host tests.
// A zero byte ends the text. Each malformed sequence (a stray continuation
// byte, a lead byte without its continuations, an overlong form, a surrogate
// or a value above U+10FFFF) becomes one U+FFFD and reading goes on, so a
// single bad byte never costs the operator the whole document.
//
// isValidUtf8 only guesses a settings file's encoding: it looks at the shape
// of the sequences (lead byte and continuation count) and nothing more, so a
// file that an editor saved as UTF-8 is taken as UTF-8 and anything else
// falls through to Shift-JIS. The system's converter then decodes it.
//
// encodeUtf8 writes one code point, for the server's documents and the
// POSIX platform's file names.
#include "base/utf8.h"

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
        if (taken <= needed || value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
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

// The shape rule: each lead byte followed by as many continuation bytes as
// it announces.
int32_t isValidUtf8(const unsigned char* bytes, uint32_t count) {
    uint32_t i = 0;
    while (i < count) {
        const unsigned char lead = bytes[i];
        uint32_t continuations = 0;
        if (lead < 0x80) {
            continuations = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            continuations = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            continuations = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            continuations = 3;
        } else {
            return 0;
        }
        for (uint32_t k = 1; k <= continuations; ++k) {
            if (i + k >= count || (bytes[i + k] & 0xC0) != 0x80) {
                return 0;
            }
        }
        i += continuations + 1;
    }
    return 1;
}

int32_t encodeUtf8(uint32_t code, unsigned char* out) {
    if (code < 0x80) {
        out[0] = static_cast<unsigned char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 4;
}
