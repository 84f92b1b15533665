// The melody name check shared by the melody cache, melody playback and the
// board server: a name is a file of the melody folder, at most one
// sub-directory deep, that every file system the board runs on stores under
// exactly that name. A document names the melody, so the check sits with the
// documents, where the server links it without the board's server link.
#include "documents/documents.h"

static constexpr int32_t MELODY_NAME_MIN = 5;
static constexpr int32_t MELODY_NAME_MAX = 160;

static char16_t lowerAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

static bool endsWithIgnoringCase(const char16_t* text, int32_t length, const char16_t* tail) {
    const int32_t tailLength = textLength(tail);
    if (length < tailLength) {
        return false;
    }
    for (int32_t i = 0; i < tailLength; ++i) {
        if (lowerAscii(text[length - tailLength + i]) != lowerAscii(tail[i])) {
            return false;
        }
    }
    return true;
}

static bool isForbiddenCharacter(char16_t c) {
    return c < 0x20 || c == u'\\' || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' ||
           c == u'>' || c == u'|';
}

// Windows opens a device, not a file, for these base names, whatever the
// extension; such a segment would check one thing and write another.
static bool isDeviceName(const char16_t* segment, int32_t length) {
    // The base name ends at the first dot; spaces before it are dropped too.
    int32_t baseLength = 0;
    while (baseLength < length && segment[baseLength] != u'.') {
        ++baseLength;
    }
    while (baseLength > 0 && segment[baseLength - 1] == u' ') {
        --baseLength;
    }
    char16_t base[5] = {};
    if (baseLength < 3 || baseLength > 4) {
        return false;
    }
    for (int32_t i = 0; i < baseLength; ++i) {
        base[i] = lowerAscii(segment[i]);
    }
    static const char16_t* const THREE_LETTER_DEVICES[] = {u"con", u"prn", u"aux", u"nul"};
    if (baseLength == 3) {
        for (const char16_t* device : THREE_LETTER_DEVICES) {
            if (textEquals(base, device)) {
                return true;
            }
        }
        return false;
    }
    const bool numbered = (base[0] == u'c' && base[1] == u'o' && base[2] == u'm') ||
                          (base[0] == u'l' && base[1] == u'p' && base[2] == u't');
    return numbered && base[3] >= u'1' && base[3] <= u'9';
}

// A segment Windows would store under another name (a dot or space at its
// end is dropped) or open as a device.
static bool segmentIsRewritten(const char16_t* segment, int32_t length) {
    if (length > 0 && (segment[length - 1] == u'.' || segment[length - 1] == u' ')) {
        return true;
    }
    return isDeviceName(segment, length);
}

bool melodyNameIsValid(const char16_t* name) {
    if (name == nullptr) {
        return false;
    }
    const int32_t length = textLength(name);
    if (length < MELODY_NAME_MIN || length > MELODY_NAME_MAX) {
        return false;
    }
    if (!endsWithIgnoringCase(name, length, u".mp3") && !endsWithIgnoringCase(name, length, u".wav")) {
        return false;
    }
    int32_t segmentStart = 0;
    int32_t slashes = 0;
    for (int32_t i = 0; i < length; ++i) {
        const char16_t c = name[i];
        if (i == segmentStart && (c == u'.' || c == u'/')) {
            return false;  // leading slash, empty segment, "." or ".."
        }
        if (c == u'/') {
            if (++slashes > 1) {
                return false;  // one sub-directory at most
            }
            if (segmentIsRewritten(name + segmentStart, i - segmentStart)) {
                return false;
            }
            segmentStart = i + 1;
            continue;
        }
        if (isForbiddenCharacter(c)) {
            return false;
        }
    }
    if (segmentStart >= length) {
        return false;
    }
    return !segmentIsRewritten(name + segmentStart, length - segmentStart);
}
