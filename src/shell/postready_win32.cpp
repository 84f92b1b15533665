// The post the shell hands to the fetch worker at start: a message to the
// board window, so the main thread runs the hand-over in its own time.
#include <windows.h>

#include "shell/window.h"

void postDocumentReadyToWindow() {
    PostMessageW(gWindow.boardWindow, WM_DOCUMENT_READY, 0, 0);
}
