// Fuzz entry for the melody request path: any melody name a document can
// carry, into any output capacity. The path must stay terminated within its
// buffer, hold only unreserved bytes and whole %XX escapes, and decode back
// to a prefix of the name's UTF-8 form.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "documents/documents.h"
#include "serverlink/serverlink.h"

static bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
static int hexValue(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) {
        return 0;
    }
    // Byte 0 picks the output capacity, the rest is the name in UTF-16.
    const int32_t capacity = data[0] == 0 ? SOUND_PATH_CAPACITY : data[0] * 7;
    static char16_t name[2048 + 1];
    const size_t units = (size - 1) / 2;
    for (size_t i = 0; i < units; ++i) {
        name[i] = static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
    }
    name[units] = 0;

    static char out[SOUND_PATH_CAPACITY + 16];
    std::memset(out, 0x5A, sizeof(out));
    soundRequestPath(out, capacity, name);
    const size_t length = strnlen(out, static_cast<size_t>(capacity));
    if (length >= static_cast<size_t>(capacity)) {
        __builtin_trap();  // not terminated within the buffer
    }
    for (size_t i = static_cast<size_t>(capacity); i < sizeof(out); ++i) {
        if (out[i] != 0x5A) {
            __builtin_trap();  // wrote past the capacity
        }
    }
    if (capacity > 8 && std::strncmp(out, "/sounds/", 8) != 0) {
        __builtin_trap();
    }
    if (capacity <= 8) {
        return 0;
    }
    // Decode and compare with the name's own UTF-8 form.
    static char utf8[SOUND_NAME_UTF8_CAPACITY];
    const int32_t nameLength = textLength(name);
    int32_t utf8Length =
        nameLength > 0 ? convertFromUtf16(CODEPAGE_UTF8, name, nameLength, utf8, SOUND_NAME_UTF8_CAPACITY - 1)
                       : 0;
    if (utf8Length < 0) {
        utf8Length = 0;
    }
    int32_t decoded = 0;
    for (size_t i = 8; i < length; ++i) {
        const char c = out[i];
        unsigned char byte;
        if (c == '%') {
            if (i + 2 >= length) {
                __builtin_trap();  // a split escape
            }
            if (!isHex(out[i + 1]) || !isHex(out[i + 2])) {
                __builtin_trap();
            }
            byte = static_cast<unsigned char>(hexValue(out[i + 1]) * 16 + hexValue(out[i + 2]));
            i += 2;
        } else {
            const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                               c == '-' || c == '.' || c == '_' || c == '/';
            if (!plain) {
                __builtin_trap();
            }
            byte = static_cast<unsigned char>(c);
        }
        if (decoded >= utf8Length || static_cast<unsigned char>(utf8[decoded]) != byte) {
            __builtin_trap();
        }
        ++decoded;
    }
    return 0;
}
