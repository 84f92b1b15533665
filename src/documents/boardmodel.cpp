// The four documents of the process and the few rules the board model has of
// its own: the classic defaults and the language lookup of LangTexts.
#include <cstring>

#include "documents/documents.h"

BoardDocuments gDocuments;

void resetToClassicDefaults(BoardDocument* document) {
    std::memset(document, 0, sizeof(*document));
    document->width = DEFAULT_WIDTH;
    document->rows = DEFAULT_ROWS;
    document->timeX = DEFAULT_TIME_X;
    document->destX = DEFAULT_DEST_X;
    document->jpMs = DEFAULT_JP_MS;
    document->enMs = DEFAULT_EN_MS;
    document->blinkMs = DEFAULT_BLINK_MS;
    document->scroll = DEFAULT_SCROLL;
    document->timeColor = DEFAULT_TIME_COLOR;
}

const char16_t* langText(const LangTexts& texts, int32_t language) {
    if (language > 0 && language < LANGUAGE_COUNT && texts.text[language][0] != 0) {
        return texts.text[language];
    }
    return texts.text[0];
}
