// The worker's one contact with the window: a posted message, so the main
// thread runs the hand-over in its own time. The worker never touches the
// window otherwise.
#include <windows.h>

#include "serverlink/serverlink.h"
#include "shell/window.h"

void postDocumentReady() {
    PostMessageW(boardWindow, WM_DOCUMENT_READY, 0, 0);
}
