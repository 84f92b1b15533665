// What the rest of the program may use from documents/: the board model
// (BoardDocument and its sub-records), the settings record, the text readers
// and the document reader. Every other folder includes this header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/text.h"
#include "base/utf8.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// Capacities (UTF-16 units including the terminator).

constexpr int32_t PLATFORM_CAPACITY = 8;
constexpr int32_t LABEL_JP_CAPACITY = 64;
constexpr int32_t LABEL_EN_CAPACITY = 96;
constexpr int32_t CAPTION_CAPACITY = 32;
constexpr int32_t LINE_JP_CAPACITY = 12;
constexpr int32_t LINE_EN_CAPACITY = 28;
constexpr int32_t VIA_JP_CAPACITY = 32;
constexpr int32_t VIA_EN_CAPACITY = 64;
constexpr int32_t LANGS_CAPACITY = 24;
constexpr int32_t MELODY_NAME_CAPACITY = 160;
constexpr int32_t MELODY_KEY_CAPACITY = 64;
constexpr int32_t TIME_CAPACITY = 8;
constexpr int32_t CLASSIC_TEXT_CAPACITY = 512;
constexpr int32_t CLASSIC_TEXT_EN_CAPACITY = 128;
constexpr int32_t LANG_TEXT_CAPACITY = 64;
constexpr int32_t SCROLL_TEXT_CAPACITY = 1024;
constexpr int32_t STATION_LABEL_CAPACITY = 8;

constexpr int32_t CLASSIC_LINE_COUNT = 5;
constexpr int32_t LANGUAGE_COUNT = 6;
constexpr int32_t STATION_COUNT = 3;

// The largest document body the board accepts, and the UTF-16 scratch it is
// decoded into (one more unit for the terminator).
constexpr int32_t DOCUMENT_BODY_CAPACITY = 65535;
constexpr int32_t DOCUMENT_TEXT_CAPACITY = 65536;

// ---------------------------------------------------------------------------
// Board model

// Palette index of the classic board; 0 means "the reader's default".
using ColorCode = uint8_t;
constexpr ColorCode COLOR_NONE = 0;
constexpr ColorCode COLOR_GREEN = 1;
constexpr ColorCode COLOR_ORANGE = 2;
constexpr ColorCode COLOR_RED = 3;
constexpr ColorCode COLOR_YELLOW = 4;
constexpr ColorCode COLOR_WHITE = 5;
constexpr ColorCode COLOR_LIGHT_BLUE = 6;
constexpr ColorCode COLOR_PINK = 7;

// The six display languages of the new-style board, in slot order.
enum DisplayLanguage : int32_t {
    LANGUAGE_JAPANESE = 0,     // letter j
    LANGUAGE_ENGLISH = 1,      // letter e
    LANGUAGE_KANA = 2,         // letter k: a further Japanese-script text
    LANGUAGE_SIMPLIFIED = 3,   // letter s
    LANGUAGE_TRADITIONAL = 4,  // letter t
    LANGUAGE_KOREAN = 5,       // letter o
};

// Classic line kinds.
constexpr uint8_t LINE_EMPTY = 0;
constexpr uint8_t LINE_TRAIN = 1;
constexpr uint8_t LINE_TEXT = 2;
constexpr uint8_t LINE_SCROLL = 3;

// New-style upper line kinds.
constexpr uint8_t ROW_NONE = 0;
constexpr uint8_t ROW_TRAIN = 1;
constexpr uint8_t ROW_TEXT = 2;

// New-style lower line kinds.
constexpr uint8_t MSG_NONE = 0;
constexpr uint8_t MSG_SCROLL = 1;
constexpr uint8_t MSG_FRAME = 2;
constexpr uint8_t MSG_APPROACH = 3;
constexpr uint8_t MSG_POS = 4;
constexpr uint8_t MSG_TRAIN = 5;

// One text per display language. The text for language i is slot i when it
// is not empty, otherwise slot 0 (langText).
struct LangTexts {
    char16_t text[LANGUAGE_COUNT][LANG_TEXT_CAPACITY];
};

struct ClassicLine {
    uint8_t kind;     // LINE_EMPTY, LINE_TRAIN, LINE_TEXT, LINE_SCROLL
    uint8_t color;    // 0: orange for a train, green for text and scroll
    uint8_t blink;    // train: non-zero makes the time blink
    uint8_t centred;  // text: 1 centred, 0 left-aligned
    char16_t time[TIME_CAPACITY];
    char16_t text[CLASSIC_TEXT_CAPACITY];
    char16_t textEn[CLASSIC_TEXT_EN_CAPACITY];
};

struct NewStyleRow {
    uint8_t kind;  // ROW_NONE, ROW_TRAIN, ROW_TEXT
    uint8_t blink;
    char16_t time[TIME_CAPACITY];
    LangTexts trainTexts;
    LangTexts texts;
};

struct NewStyleMessage {
    uint8_t kind;  // MSG_NONE ... MSG_TRAIN
    uint8_t scrollColor;
    char16_t scrollText[SCROLL_TEXT_CAPACITY];
    LangTexts texts;
    LangTexts texts2;
    char16_t time[TIME_CAPACITY];
    uint8_t blink;
    int32_t position;
    char16_t stationLabels[STATION_COUNT][STATION_LABEL_CAPACITY];
    LangTexts stationNames[STATION_COUNT];
};

// A whole display document of either format. Flat and pointer-free, so it
// moves between threads by a plain copy of the record.
struct BoardDocument {
    char16_t platform[PLATFORM_CAPACITY];
    char16_t labelJp[LABEL_JP_CAPACITY];
    char16_t labelEn[LABEL_EN_CAPACITY];
    char16_t capTime[CAPTION_CAPACITY];
    char16_t capDest[CAPTION_CAPACITY];
    int32_t width;
    int32_t rows;
    int32_t timeX;
    int32_t destX;
    int32_t jpMs;
    int32_t enMs;
    int32_t blinkMs;
    int32_t scroll;
    ColorCode timeColor;
    uint8_t isNewStyle;
    char16_t side;  // new-style: u'L' or u'R'; 0 for a classic document
    char16_t lineJp[LINE_JP_CAPACITY];
    char16_t lineEn[LINE_EN_CAPACITY];
    char16_t viaJp[VIA_JP_CAPACITY];
    char16_t viaEn[VIA_EN_CAPACITY];
    char16_t langs[LANGS_CAPACITY];
    uint32_t color;  // new-style line colour, 0x00RRGGBB
    int32_t langMs;
    NewStyleRow row;
    NewStyleMessage msg;
    ClassicLine lines[CLASSIC_LINE_COUNT];
    char16_t melodyName[MELODY_NAME_CAPACITY];
    char16_t melodyKey[MELODY_KEY_CAPACITY];
    int32_t melodySize;
    int32_t melodyAge;
};

// Classic defaults, shared by the document reader and start-up.
constexpr int32_t DEFAULT_WIDTH = 256;
constexpr int32_t DEFAULT_ROWS = 2;
constexpr int32_t DEFAULT_TIME_X = 4;
constexpr int32_t DEFAULT_DEST_X = 80;
constexpr int32_t DEFAULT_JP_MS = 7000;
constexpr int32_t DEFAULT_EN_MS = 3000;
constexpr int32_t DEFAULT_BLINK_MS = 1000;
constexpr int32_t DEFAULT_SCROLL = 48;
constexpr ColorCode DEFAULT_TIME_COLOR = COLOR_GREEN;

// New-style defaults written by the format line.
constexpr int32_t NEW_STYLE_LANG_MS = 4000;
constexpr uint32_t NEW_STYLE_COLOR = 0xF5B800;
constexpr int32_t NEW_STYLE_SCROLL = 40;

constexpr int32_t MIN_WIDTH = 64;
constexpr int32_t MAX_WIDTH = 512;
constexpr int32_t MIN_ROWS = 1;
constexpr int32_t MAX_ROWS = 5;

// Age given to a melody event whose "sound" line has no age: too old to play.
constexpr int32_t MELODY_AGE_UNKNOWN = 999;

// Whether a document's melody name is one the board will fetch and play: a
// file of the melody folder, at most one sub-directory deep, stored under
// exactly that name by every file system the board runs on.
bool melodyNameIsValid(const char16_t* name);

// Zeroes the record and writes the classic defaults.
void resetToClassicDefaults(BoardDocument* document);

// The lookup rule: slot language when it is not empty, else slot 0.
const char16_t* langText(const LangTexts& texts, int32_t language);

// The four documents of the process and how one passes to the next (see the
// hand-over in shell/).
struct BoardDocuments {
    BoardDocument workerDocument;    // the fetch worker's: each received body is read into it
    BoardDocument handoverDocument;  // the last one the worker handed over, under gLink.handoverLock
    BoardDocument currentDocument;   // the one the board shows; main thread only
    BoardDocument previousDocument;  // the one shown before it, for what changed between them
};
extern BoardDocuments gDocuments;

// ---------------------------------------------------------------------------
// Text readers (shared by the settings file, both documents, the command line)

bool isBlank(char16_t c);
char16_t* trimBlanks(char16_t* text);
int32_t digitValue(char16_t c);
int32_t parseInt(const char16_t* text, int32_t fallback);
int32_t parseSecondsMs(const char16_t* text, int32_t fallback);
uint32_t parseColorrefHex(const char16_t* text, uint32_t fallback);

// ---------------------------------------------------------------------------
// Display documents

// Splits value in place at TAB into at most maxFields fields.
int32_t splitTabs(char16_t* value, int32_t maxFields, char16_t** fields);

ColorCode parseColorCode(const char16_t* text);

// Reads a received body (1 to 65535 bytes) of either format into document.
// 1 when a complete document was read, 0 when it was rejected (the record's
// contents are then not to be used). Fetch worker only: it uses one shared
// scratch buffer.
int32_t parseDisplayDocument(const unsigned char* bytes, int32_t count, BoardDocument* document);

// The keys both readers take the same way: a text copied into its field, or
// a number read with its default. Each reader lists its own in a table and
// hands a line's key to applyTableKey before its special keys.
struct DocumentTextKey {
    const char16_t* key;                   // the document key
    char16_t* (*field)(BoardDocument* d);  // the field the value is copied into
    int32_t capacity;                      // the field's capacity
};
struct DocumentNumberKey {
    const char16_t* key;            // the document key
    int32_t BoardDocument::*field;  // the field the number goes to
    int32_t fallback;               // the value of an unreadable number
};
// The number of entries of a key table.
template <typename Key, size_t N>
constexpr int32_t keyCount(const Key (&)[N]) {
    return static_cast<int32_t>(N);
}
// true when key is one of the tables' (the value then applied).
bool applyTableKey(BoardDocument* document, const char16_t* key, const char16_t* value,
                   const DocumentTextKey* texts, int32_t textCount, const DocumentNumberKey* numbers,
                   int32_t numberCount);

// The new-style document's key handler: every setting line of a new-style
// document except "sound" arrives here. The value is split in place.
void applyNewStyleKey(BoardDocument* document, const char16_t* key, char16_t* value);
uint32_t parseRgbHex(const char16_t* text, uint32_t fallback);
void parseLangTexts(char16_t* text, LangTexts* texts);

// ---------------------------------------------------------------------------
// Settings

constexpr int32_t SERVER_CAPACITY = 128;
constexpr int32_t FONT_FACE_CAPACITY = 32;
constexpr int32_t SERVER_ANSI_CAPACITY = 128;

constexpr int32_t DEFAULT_PORT = 8020;
constexpr int32_t DEFAULT_FETCH_INTERVAL_MS = 1000;
constexpr int32_t MIN_FETCH_INTERVAL_MS = 300;
constexpr uint32_t SETTINGS_FILE_LIMIT = 1048576;

struct Settings {
    char16_t server[SERVER_CAPACITY];
    int32_t port;
    int32_t board;
    int32_t fetchIntervalMs;
    char16_t fontFace[FONT_FACE_CAPACITY];
    char16_t labelFontFace[FONT_FACE_CAPACITY];
    int32_t preventSleep;
    int32_t showUnlitDots;
    int32_t melodyEnabled;
    int32_t bootScreen;
    int32_t dailyRestartMinute;  // minute of the day, -1 off
    uint32_t backgroundColor;    // 0x00BBGGRR
};

// The settings file and its loads.
struct SettingsSource {
    char16_t path[PATH_CAPACITY];  // the file every load reads
    int32_t found;                 // 1 when the last load found and read it
    uint64_t writeTime;            // its last-write time at the last load
    // Raised by every load with release order after everything the load
    // publishes; the fetch worker reads it (acquire) to drop a document
    // fetched across a load.
    std::atomic<int32_t> generation;
};
extern SettingsSource gSettingsFile;

// The settings' values, and what goes with them: the server's name as the
// sockets take it, and how this process runs, which some defaults depend
// on.
struct BoardSettings {
    Settings settings;                      // the values of the last load
    char serverAnsi[SERVER_ANSI_CAPACITY];  // settings.server in the system's ANSI code page
    int32_t kioskChild;                     // 1: started by the kiosk watchdog ("/child")
};
extern BoardSettings gSettings;

// Reads the settings file again from the defaults. After everything is read
// it calls the publisher, if one was handed over, and only then raises
// gSettingsFile.generation.
void loadSettings();
// The function every load hands its result to before it raises
// gSettingsFile.generation (the start-up hands the server link's copy of its
// connection settings); nothing disables it.
void setSettingsPublisher(void (*publish)());

// The whole file as zero-terminated UTF-16 in a heapAlloc block that the
// caller frees with heapFree; nothing when missing, too large or no memory.
char16_t* readTextFile(const char16_t* path);

// Decodes raw settings-file bytes (any of its encodings) into a new heapAlloc
// block; nothing only when memory runs out.
char16_t* decodeSettingsBytes(const unsigned char* bytes, uint32_t count);

// Goes through the lines of a settings text (modified in place) and applies
// every key/value pair.
void applySettingsText(char16_t* text);

void applySetting(const char16_t* key, const char16_t* value);
