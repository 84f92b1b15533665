// Fuzz entry for the melody name check and the cache path: a name that
// passes must never lead outside the cache directory (no empty, "." or ".."
// segment, no drive or stream colon, no backslash, no control character, one
// sub-directory at most), and its cache path must start with the cache
// directory and fit, with the longest suffix, in a path buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "documents/documents.h"
#include "serverlink/serverlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1024) {
        return 0;
    }
    // Byte 0 sets how long the executable's directory is (1..255 units),
    // the rest is the name in UTF-16.
    const int32_t baseLength = data[0] == 0 ? 1 : data[0];
    for (int32_t i = 0; i < baseLength - 1; ++i) {
        gMelody.melodyBaseDir[i] = static_cast<char16_t>(u'a' + i % 26);
    }
    gMelody.melodyBaseDir[baseLength - 1] = PATH_SEPARATOR;
    gMelody.melodyBaseDir[baseLength] = 0;

    static char16_t name[512 + 1];
    const size_t units = (size - 1) / 2;
    for (size_t i = 0; i < units; ++i) {
        name[i] = static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
    }
    name[units] = 0;

    const bool valid = melodyNameIsValid(name);
    if (valid) {
        const int32_t length = textLength(name);
        int32_t segmentStart = 0;
        int32_t separators = 0;
        for (int32_t i = 0; i <= length; ++i) {
            const char16_t c = name[i];
            if (c == u'/' || c == 0) {
                const int32_t segmentLength = i - segmentStart;
                if (segmentLength == 0 || (segmentLength == 1 && name[segmentStart] == u'.') ||
                    (segmentLength == 2 && name[segmentStart] == u'.' && name[segmentStart + 1] == u'.')) {
                    __builtin_trap();
                }
                segmentStart = i + 1;
                if (c == u'/') {
                    ++separators;
                }
                continue;
            }
            if (c < 0x20 || c == u'\\' || c == u':') {
                __builtin_trap();
            }
        }
        if (separators > 1) {
            __builtin_trap();
        }
    }

    static char16_t out[PATH_CAPACITY + 8];
    for (char16_t& unit : out) {
        unit = 0x5A5A;
    }
    const int32_t capacity = (data[0] & 1) ? PATH_CAPACITY : 64 + data[0];
    const int32_t made = melodyLocalPath(out, capacity, name);
    for (int32_t i = capacity; i < PATH_CAPACITY + 8; ++i) {
        if (out[i] != 0x5A5A) {
            __builtin_trap();  // wrote past the capacity
        }
    }
    if (made == 0) {
        if (out[0] != 0) {
            __builtin_trap();
        }
        return 0;
    }
    const int32_t pathLength = textLength(out);
    if (pathLength + 5 >= PATH_CAPACITY || pathLength >= capacity) {
        __builtin_trap();  // no room left for ".part"
    }
    if (std::memcmp(out, gMelody.melodyBaseDir, static_cast<size_t>(baseLength) * 2) != 0 ||
        std::memcmp(out + baseLength, u"sounds", 12) != 0 || out[baseLength + 6] != PATH_SEPARATOR) {
        __builtin_trap();
    }
    return 0;
}
