// The window title: the board's name (the label of a classic board, the
// direction of a new-style one) with its platform, and the server it talks
// to, so an operator can tell boards apart in the task bar.
#include "base/numbers.h"
#include "documents/documents.h"
#include "shell/shell.h"

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
    appendDecimal(out, capacity, port);
    appendText(out, capacity, u"]");
}
