// What the board's composition code reaches for outside itself, as the
// server has it: the board settings a board PC has by default (the LED face
// "MS Gothic" and the label face "MS PGothic"; the server has no settings
// file, and the board's file reader is not part of the server), and the
// paint request of the board's window, which the server does not have. The
// classic composition also reads the server and port for its "connecting"
// line, which the preview never shows.
#include "documents/documents.h"
#include "render/render.h"

Settings settings = [] {
    Settings defaults = {};
    copyText(defaults.server, u"127.0.0.1");
    defaults.port = DEFAULT_PORT;
    defaults.board = 1;
    copyText(defaults.fontFace, u"MS Gothic");
    copyText(defaults.labelFontFace, u"MS PGothic");
    defaults.showUnlitDots = 1;
    return defaults;
}();

// There is no window surface to repaint: the preview reads the dots.
void forceFullPaint() {}
