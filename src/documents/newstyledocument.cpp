// The setting lines of a new-style document ("velmorant-new 1"). The common
// reader in classicdocument.cpp recognises the format, handles "sound" and
// "end", and passes every other key/value pair here.
#include "documents/documents.h"

constexpr int32_t NEW_STYLE_FIELD_LIMIT = 12;

uint32_t parseRgbHex(const char16_t* text, uint32_t fallback) {
    if (text == nullptr || text[0] == 0) {
        return fallback;
    }
    uint32_t rgb = 0;
    for (int32_t i = 0; i < 6; ++i) {
        const char16_t c = text[i];
        uint32_t digit = 0;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else {
            return fallback;  // also the terminator before the sixth digit
        }
        rgb = (rgb << 4) | digit;
    }
    return rgb;
}

void parseLangTexts(char16_t* text, LangTexts* texts) {
    for (int32_t slot = 0; slot < LANGUAGE_COUNT; ++slot) {
        texts->text[slot][0] = 0;
    }
    char16_t* piece = text;
    for (int32_t slot = 0; slot < LANGUAGE_COUNT; ++slot) {
        char16_t* end = piece;
        while (*end != 0 && *end != u'|') {
            ++end;
        }
        const bool last = *end == 0;
        *end = 0;
        copyText(texts->text[slot], LANG_TEXT_CAPACITY, piece);
        if (last) {
            break;
        }
        piece = end + 1;
    }
}

static void applyRow(NewStyleRow* row, char16_t* value) {
    char16_t* fields[NEW_STYLE_FIELD_LIMIT];
    const int32_t count = splitTabs(value, NEW_STYLE_FIELD_LIMIT, fields);
    if (textEquals(fields[0], u"train") && count >= 5) {
        row->kind = ROW_TRAIN;
        copyText(row->time, fields[1]);
        row->blink = static_cast<uint8_t>(parseInt(fields[2], 0));
        parseLangTexts(fields[4], &row->trainTexts);
    } else if (textEquals(fields[0], u"text") && count >= 2) {
        row->kind = ROW_TEXT;
        parseLangTexts(fields[1], &row->texts);
    }
}

static void applyMessage(NewStyleMessage* msg, char16_t* value) {
    char16_t* fields[NEW_STYLE_FIELD_LIMIT];
    const int32_t count = splitTabs(value, NEW_STYLE_FIELD_LIMIT, fields);
    if (textEquals(fields[0], u"scroll") && count >= 3) {
        msg->kind = MSG_SCROLL;
        msg->scrollColor = parseColorCode(fields[1]);
        copyText(msg->scrollText, fields[2]);
    } else if (textEquals(fields[0], u"frame") && count >= 2) {
        msg->kind = MSG_FRAME;
        parseLangTexts(fields[1], &msg->texts);
    } else if (textEquals(fields[0], u"approach") && count >= 3) {
        msg->kind = MSG_APPROACH;
        parseLangTexts(fields[1], &msg->texts);
        parseLangTexts(fields[2], &msg->texts2);
    } else if (textEquals(fields[0], u"pos") && count >= 8) {
        msg->kind = MSG_POS;
        msg->position = parseInt(fields[1], 0);
        for (int32_t station = 0; station < STATION_COUNT; ++station) {
            copyText(msg->stationLabels[station], fields[2 + station]);
            parseLangTexts(fields[5 + station], &msg->stationNames[station]);
        }
    } else if (textEquals(fields[0], u"train") && count >= 5) {
        msg->kind = MSG_TRAIN;
        copyText(msg->time, fields[1]);
        msg->blink = static_cast<uint8_t>(parseInt(fields[2], 0));
        parseLangTexts(fields[4], &msg->texts);
    }
}

static const DocumentTextKey NEW_STYLE_TEXT_KEYS[] = {
    {u"platform", [](BoardDocument* d) -> char16_t* { return d->platform; }, PLATFORM_CAPACITY},
    {u"lineJp", [](BoardDocument* d) -> char16_t* { return d->lineJp; }, LINE_JP_CAPACITY},
    {u"lineEn", [](BoardDocument* d) -> char16_t* { return d->lineEn; }, LINE_EN_CAPACITY},
    {u"viaJp", [](BoardDocument* d) -> char16_t* { return d->viaJp; }, VIA_JP_CAPACITY},
    {u"viaEn", [](BoardDocument* d) -> char16_t* { return d->viaEn; }, VIA_EN_CAPACITY},
    {u"langs", [](BoardDocument* d) -> char16_t* { return d->langs; }, LANGS_CAPACITY},
};

static const DocumentNumberKey NEW_STYLE_NUMBER_KEYS[] = {
    {u"langMs", &BoardDocument::langMs, NEW_STYLE_LANG_MS},
    {u"blinkMs", &BoardDocument::blinkMs, DEFAULT_BLINK_MS},
    {u"scroll", &BoardDocument::scroll, NEW_STYLE_SCROLL},
};

// The two lines first: a long document is mostly "row" and "msg" keys.
void applyNewStyleKey(BoardDocument* document, const char16_t* key, char16_t* value) {
    if (textEquals(key, u"row")) {
        applyRow(&document->row, value);
    } else if (textEquals(key, u"msg")) {
        applyMessage(&document->msg, value);
    } else if (textEquals(key, u"side")) {
        document->side = value[0] == u'r' ? u'R' : u'L';
    } else if (textEquals(key, u"color")) {
        document->color = parseRgbHex(value, NEW_STYLE_COLOR);
    } else {
        applyTableKey(document, key, value, NEW_STYLE_TEXT_KEYS, keyCount(NEW_STYLE_TEXT_KEYS),
                      NEW_STYLE_NUMBER_KEYS, keyCount(NEW_STYLE_NUMBER_KEYS));
    }
}
