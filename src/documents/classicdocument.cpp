// The display document reader. It recognises the format by the first line,
// reads classic documents itself and hands the setting lines of a new-style
// document to applyNewStyleKey (newstyledocument.cpp). Both formats share the
// format line, the "sound" line and the closing "end" line with its checks.
// Everything is cut in place inside one scratch buffer; nothing is allocated.
#include "documents/documents.h"

static char16_t documentTextBuffer[DOCUMENT_TEXT_CAPACITY];

constexpr int32_t LINE_FIELD_LIMIT = 8;

int32_t splitTabs(char16_t* value, int32_t maxFields, char16_t** fields) {
    int32_t count = 1;
    fields[0] = value;
    for (char16_t* p = value; *p != 0 && count < maxFields; ++p) {
        if (*p == u'\t') {
            *p = 0;
            fields[count++] = p + 1;
        }
    }
    return count;
}

ColorCode parseColorCode(const char16_t* text) {
    if (text == nullptr) {
        return COLOR_NONE;
    }
    switch (text[0]) {
        case u'G':
        case u'g':
        case u'緑':
            return COLOR_GREEN;
        case u'O':
        case u'o':
        case u'橙':
            return COLOR_ORANGE;
        case u'R':
        case u'r':
        case u'赤':
            return COLOR_RED;
        case u'Y':
        case u'y':
        case u'黄':
            return COLOR_YELLOW;
        case u'W':
        case u'w':
        case u'白':
            return COLOR_WHITE;
        case u'B':
        case u'b':
        case u'C':
        case u'c':
        case u'青':
        case u'水':
            return COLOR_LIGHT_BLUE;
        case u'P':
        case u'p':
        case u'桃':
            return COLOR_PINK;
        default:
            return COLOR_NONE;
    }
}

// One "line" value into a classic line record. The record was taken whether
// or not the value is usable; an unusable one leaves it empty.
static void applyClassicLine(ClassicLine* line, char16_t* value) {
    char16_t* fields[LINE_FIELD_LIMIT];
    const int32_t count = splitTabs(value, LINE_FIELD_LIMIT, fields);
    if (textEquals(fields[0], u"train") && count >= 6) {
        line->kind = LINE_TRAIN;
        copyText(line->time, fields[1]);
        copyText(line->text, fields[2]);
        copyText(line->textEn, fields[3]);
        line->color = parseColorCode(fields[4]);
        line->blink = static_cast<uint8_t>(parseInt(fields[5], 0));
    } else if (textEquals(fields[0], u"text") && count >= 5) {
        line->kind = LINE_TEXT;
        copyText(line->text, fields[1]);
        copyText(line->textEn, fields[2]);
        line->color = parseColorCode(fields[3]);
        line->centred = fields[4][0] == u'l' ? 0 : 1;
    } else if (textEquals(fields[0], u"scroll") && count >= 3) {
        line->kind = LINE_SCROLL;
        copyText(line->text, fields[1]);
        line->color = parseColorCode(fields[2]);
    }
}

// The "sound" line, common to both formats.
static void applySoundLine(BoardDocument* document, char16_t* value) {
    if (value[0] == 0) {
        return;
    }
    char16_t* fields[LINE_FIELD_LIMIT];
    const int32_t count = splitTabs(value, LINE_FIELD_LIMIT, fields);
    if (count < 3) {
        return;
    }
    copyText(document->melodyName, fields[0]);
    copyText(document->melodyKey, fields[1]);
    document->melodyAge = parseInt(fields[2], MELODY_AGE_UNKNOWN);
    if (count >= 4) {
        document->melodySize = parseInt(fields[3], 0);
    }
}

bool applyTableKey(BoardDocument* document, const char16_t* key, const char16_t* value,
                   const DocumentTextKey* texts, int32_t textCount, const DocumentNumberKey* numbers,
                   int32_t numberCount) {
    for (int32_t i = 0; i < textCount; ++i) {
        if (textEquals(key, texts[i].key)) {
            copyText(texts[i].field(document), texts[i].capacity, value);
            return true;
        }
    }
    for (int32_t i = 0; i < numberCount; ++i) {
        if (textEquals(key, numbers[i].key)) {
            document->*numbers[i].field = parseInt(value, numbers[i].fallback);
            return true;
        }
    }
    return false;
}

static const DocumentTextKey CLASSIC_TEXT_KEYS[] = {
    {u"platform", [](BoardDocument* d) -> char16_t* { return d->platform; }, PLATFORM_CAPACITY},
    {u"labelJp", [](BoardDocument* d) -> char16_t* { return d->labelJp; }, LABEL_JP_CAPACITY},
    {u"labelEn", [](BoardDocument* d) -> char16_t* { return d->labelEn; }, LABEL_EN_CAPACITY},
    {u"capTime", [](BoardDocument* d) -> char16_t* { return d->capTime; }, CAPTION_CAPACITY},
    {u"capDest", [](BoardDocument* d) -> char16_t* { return d->capDest; }, CAPTION_CAPACITY},
};

static const DocumentNumberKey CLASSIC_NUMBER_KEYS[] = {
    {u"width", &BoardDocument::width, DEFAULT_WIDTH},
    {u"rows", &BoardDocument::rows, DEFAULT_ROWS},
    {u"timeX", &BoardDocument::timeX, DEFAULT_TIME_X},
    {u"destX", &BoardDocument::destX, DEFAULT_DEST_X},
    {u"jpMs", &BoardDocument::jpMs, DEFAULT_JP_MS},
    {u"enMs", &BoardDocument::enMs, DEFAULT_EN_MS},
    {u"blinkMs", &BoardDocument::blinkMs, DEFAULT_BLINK_MS},
    {u"scroll", &BoardDocument::scroll, DEFAULT_SCROLL},
};

// The rows come first: a long document is mostly "line" keys.
static void applyClassicKey(BoardDocument* document, const char16_t* key, char16_t* value,
                            int32_t* lineCounter) {
    if (textEquals(key, u"line")) {
        if (*lineCounter < CLASSIC_LINE_COUNT) {
            applyClassicLine(&document->lines[*lineCounter], value);
            ++*lineCounter;
        }
    } else if (textEquals(key, u"timeColor")) {
        document->timeColor = parseColorCode(value);
    } else if (textEquals(key, u"sound")) {
        applySoundLine(document, value);
    } else {
        applyTableKey(document, key, value, CLASSIC_TEXT_KEYS, keyCount(CLASSIC_TEXT_KEYS),
                      CLASSIC_NUMBER_KEYS, keyCount(CLASSIC_NUMBER_KEYS));
    }
}

// The checks of the closing "end" line, in this order: the destination rule
// uses the width after it has been clamped.
static void applyEndChecks(BoardDocument* document) {
    if (document->width < MIN_WIDTH) {
        document->width = MIN_WIDTH;
    }
    if (document->width > MAX_WIDTH) {
        document->width = MAX_WIDTH;
    }
    if (document->rows < MIN_ROWS) {
        document->rows = MIN_ROWS;
    }
    if (document->rows > MAX_ROWS) {
        document->rows = MAX_ROWS;
    }
    if (document->destX <= document->timeX || document->destX >= document->width) {
        document->destX = document->width / 3;
    }
    if (document->scroll < 1) {
        document->scroll = 1;
    }
    if (document->timeColor == COLOR_NONE) {
        document->timeColor = COLOR_GREEN;
    }
}

static void applyNewStyleDefaults(BoardDocument* document) {
    document->isNewStyle = 1;
    document->langMs = NEW_STYLE_LANG_MS;
    document->color = NEW_STYLE_COLOR;
    document->side = u'L';
    document->scroll = NEW_STYLE_SCROLL;
}

int32_t parseDisplayDocument(const unsigned char* bytes, int32_t count, BoardDocument* document) {
    if (bytes == nullptr || count <= 0) {
        return 0;
    }
    if (count > DOCUMENT_BODY_CAPACITY) {
        count = DOCUMENT_BODY_CAPACITY;
    }
    const int32_t units = decodeUtf8(bytes, count, documentTextBuffer, DOCUMENT_TEXT_CAPACITY);
    if (units == 0) {
        return 0;
    }
    resetToClassicDefaults(document);
    int32_t lineCounter = 0;
    bool firstLine = true;
    char16_t* line = documentTextBuffer;
    char16_t* const textEnd = documentTextBuffer + units;
    while (line < textEnd) {
        char16_t* next = line;
        while (next < textEnd && *next != u'\n') {
            ++next;
        }
        const bool atEnd = next >= textEnd;
        *next = 0;  // the LF, or the text's own terminator
        if (next > line && next[-1] == u'\r') {
            next[-1] = 0;
        }
        if (firstLine) {
            firstLine = false;
            if (textEquals(line, u"velmorant-new 1")) {
                applyNewStyleDefaults(document);
            } else if (!textEquals(line, u"velmorant 2")) {
                return 0;
            }
        } else if (textEquals(line, u"end")) {
            applyEndChecks(document);
            return 1;
        } else {
            char16_t* equals = line;
            while (*equals != 0 && *equals != u'=') {
                ++equals;
            }
            if (*equals == u'=') {
                *equals = 0;
                char16_t* value = equals + 1;
                if (document->isNewStyle && !textEquals(line, u"sound")) {
                    applyNewStyleKey(document, line, value);
                } else {
                    applyClassicKey(document, line, value, &lineCounter);
                }
            }
        }
        if (atEnd) {
            break;
        }
        line = next + 1;
    }
    return 0;
}
