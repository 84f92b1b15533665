// The settings file: one text file of key = value lines, in Japanese or (for
// the connection keys) English, saved as UTF-16, UTF-8 or Shift-JIS. It is
// read at start-up and again whenever its last-write time changes; every load
// starts from the defaults, so a removed key returns to its default. The
// program never writes this file.
#include <cstring>

#include "documents/documents.h"
#include "platform/platform.h"

BoardSettings gSettings;
SettingsSource gSettingsFile;

static void (*settingsPublisher)() = nullptr;

void setSettingsPublisher(void (*publish)()) {
    settingsPublisher = publish;
}

static void setDefaults() {
    std::memset(&gSettings.settings, 0, sizeof(gSettings.settings));
    copyText(gSettings.settings.server, u"127.0.0.1");
    gSettings.settings.port = DEFAULT_PORT;
    gSettings.settings.board = 1;
    gSettings.settings.fetchIntervalMs = DEFAULT_FETCH_INTERVAL_MS;
    copyText(gSettings.settings.fontFace, u"MS Gothic");
    copyText(gSettings.settings.labelFontFace, u"MS PGothic");
    gSettings.settings.preventSleep = 1;
    gSettings.settings.showUnlitDots = 1;
    gSettings.settings.melodyEnabled = 1;
    gSettings.settings.bootScreen = gSettings.kioskChild ? 1 : 0;
    gSettings.settings.dailyRestartMinute = -1;
    gSettings.settings.backgroundColor = 0;
}

// "定期再起動": hours, then optionally ":" or "：" and minutes.
static int32_t parseRestartMinute(const char16_t* value) {
    const int32_t hours = parseInt(value, -1);
    int32_t minutes = 0;
    for (const char16_t* p = value; *p != 0; ++p) {
        if (*p == u':' || *p == u'：') {
            minutes = parseInt(p + 1, 0);
            break;
        }
    }
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) {
        return -1;
    }
    return hours * 60 + minutes;
}

void applySetting(const char16_t* key, const char16_t* value) {
    if (textEquals(key, u"サーバー") || textEquals(key, u"server")) {
        copyText(gSettings.settings.server, value);
    } else if (textEquals(key, u"ポート") || textEquals(key, u"port")) {
        gSettings.settings.port = parseInt(value, gSettings.settings.port);
    } else if (textEquals(key, u"台") || textEquals(key, u"board")) {
        gSettings.settings.board = parseInt(value, gSettings.settings.board);
    } else if (textEquals(key, u"取得間隔")) {
        gSettings.settings.fetchIntervalMs = parseSecondsMs(value, gSettings.settings.fetchIntervalMs);
    } else if (textEquals(key, u"フォント")) {
        copyText(gSettings.settings.fontFace, value);
    } else if (textEquals(key, u"ラベルフォント")) {
        copyText(gSettings.settings.labelFontFace, value);
    } else if (textEquals(key, u"スリープ防止")) {
        gSettings.settings.preventSleep = parseInt(value, gSettings.settings.preventSleep);
    } else if (textEquals(key, u"消灯ドット")) {
        gSettings.settings.showUnlitDots = parseInt(value, gSettings.settings.showUnlitDots);
    } else if (textEquals(key, u"メロディ")) {
        gSettings.settings.melodyEnabled = parseInt(value, gSettings.settings.melodyEnabled);
    } else if (textEquals(key, u"起動画面")) {
        gSettings.settings.bootScreen = parseInt(value, gSettings.settings.bootScreen);
    } else if (textEquals(key, u"定期再起動")) {
        gSettings.settings.dailyRestartMinute = parseRestartMinute(value);
    } else if (textEquals(key, u"背景色")) {
        gSettings.settings.backgroundColor = parseColorrefHex(value, gSettings.settings.backgroundColor);
    }
}

void applySettingsText(char16_t* text) {
    char16_t* line = text;
    while (*line != 0) {
        char16_t* next = line;
        while (*next != 0 && *next != u'\n') {
            ++next;
        }
        const bool last = *next == 0;
        *next = 0;
        char16_t* trimmed = trimBlanks(line);
        const char16_t first = trimmed[0];
        if (first != 0 && first != u';' && first != u'[' && first != u'［') {
            char16_t* separator = trimmed;
            while (*separator != 0 && *separator != u'=' && *separator != u'＝') {
                ++separator;
            }
            if (*separator != 0) {
                *separator = 0;
                applySetting(trimBlanks(trimmed), trimBlanks(separator + 1));
            }
        }
        if (last) {
            break;
        }
        line = next + 1;
    }
}

// Converts count bytes of the given code page into a new zero-terminated
// heap text. An empty conversion gives the empty text; nothing only when
// memory runs out.
static char16_t* convertToNewText(uint32_t codePage, const unsigned char* bytes, int32_t count,
                                  int32_t* unitsOut) {
    int32_t units = count > 0 ? convertToUtf16(codePage, bytes, count, nullptr, 0) : 0;
    if (units < 0) {
        units = 0;
    }
    auto* text = static_cast<char16_t*>(heapAlloc((static_cast<size_t>(units) + 1) * sizeof(char16_t)));
    if (text == nullptr) {
        return nullptr;
    }
    int32_t written = units > 0 ? convertToUtf16(codePage, bytes, count, text, units) : 0;
    if (written < 0 || written > units) {
        written = 0;
    }
    text[written] = 0;
    *unitsOut = written;
    return text;
}

char16_t* decodeSettingsBytes(const unsigned char* bytes, uint32_t count) {
    if (count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        // UTF-16 little-endian; an odd last byte is ignored.
        const uint32_t units = (count - 2) / 2;
        auto* text = static_cast<char16_t*>(heapAlloc((static_cast<size_t>(units) + 1) * sizeof(char16_t)));
        if (text == nullptr) {
            return nullptr;
        }
        for (uint32_t i = 0; i < units; ++i) {
            text[i] = static_cast<char16_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
        }
        text[units] = 0;
        return text;
    }
    int32_t units = 0;
    if (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return convertToNewText(CODEPAGE_UTF8, bytes + 3, static_cast<int32_t>(count - 3), &units);
    }
    if (isValidUtf8(bytes, count)) {
        return convertToNewText(CODEPAGE_UTF8, bytes, static_cast<int32_t>(count), &units);
    }
    char16_t* text = convertToNewText(CODEPAGE_SHIFT_JIS, bytes, static_cast<int32_t>(count), &units);
    if (text != nullptr && units == 0) {
        heapFree(text);
        text = convertToNewText(CODEPAGE_ANSI, bytes, static_cast<int32_t>(count), &units);
    }
    return text;
}

char16_t* readTextFile(const char16_t* path) {
    uint32_t size = 0;
    unsigned char* raw = readWholeFile(path, SETTINGS_FILE_LIMIT, &size);
    if (raw == nullptr) {
        return nullptr;
    }
    char16_t* text = decodeSettingsBytes(raw, size);
    heapFree(raw);
    return text;
}

void loadSettings() {
    setDefaults();
    gSettingsFile.found = 0;
    FileInfo info;
    if (queryFileInfo(gSettingsFile.path, &info)) {
        gSettingsFile.writeTime = info.lastWriteTime;
    }
    char16_t* text = readTextFile(gSettingsFile.path);
    if (text != nullptr) {
        gSettingsFile.found = 1;
        applySettingsText(text);
        heapFree(text);
    }
    if (gSettings.settings.port < 1 || gSettings.settings.port > 65535) {
        gSettings.settings.port = DEFAULT_PORT;
    }
    if (gSettings.settings.board < 1) {
        gSettings.settings.board = 1;
    }
    if (gSettings.settings.fetchIntervalMs < MIN_FETCH_INTERVAL_MS) {
        gSettings.settings.fetchIntervalMs = MIN_FETCH_INTERVAL_MS;
    }
    // A double-byte code page may need two bytes a character: convert into
    // room for the worst case, then cut to the field.
    char converted[SERVER_CAPACITY * 4];
    const int32_t written =
        convertFromUtf16(CODEPAGE_ANSI, gSettings.settings.server, textLength(gSettings.settings.server),
                         converted, static_cast<int32_t>(sizeof(converted)) - 1);
    converted[written > 0 ? written : 0] = 0;
    copyBytes(gSettings.serverAnsi, SERVER_ANSI_CAPACITY, converted);
    if (settingsPublisher != nullptr) {
        settingsPublisher();
    }
    gSettingsFile.generation.fetch_add(1, std::memory_order_release);
}
