// The window title: the board's name (the label of a classic board, the
// direction of a new-style one) with its platform, and the server it talks
// to, so an operator can tell boards apart in the task bar.
#include <cstdio>

#include "documents/documents.h"
#include "shell/shell.h"

static void appendNumber(char16_t* out, int32_t capacity, int32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%d", value);
    char16_t wide[16];
    int32_t i = 0;
    for (; digits[i] != 0 && i < 15; ++i) {
        wide[i] = static_cast<char16_t>(digits[i]);
    }
    wide[i] = 0;
    appendText(out, capacity, wide);
}

void formatTitle(const BoardDocument& document, const char16_t* server, int32_t port, char16_t* out,
                 int32_t capacity) {
    const char16_t* name = document.isNewStyle ? document.viaJp : document.labelJp;
    copyText(out, capacity, u"発車標");
    if (name[0] != 0) {
        appendText(out, capacity, u" - ");
        appendText(out, capacity, document.platform);
        if (document.platform[0] != 0) {
            appendText(out, capacity, u"番線 ");
        }
        appendText(out, capacity, name);
        if (document.isNewStyle) {
            appendText(out, capacity, u" 方面");
        }
    }
    appendText(out, capacity, u"  [");
    appendText(out, capacity, server);
    appendText(out, capacity, u":");
    appendNumber(out, capacity, port);
    appendText(out, capacity, u"]");
}
