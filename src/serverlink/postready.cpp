// The worker's one contact with the window: the function the shell hands
// over at start, which posts a message so that the main thread runs the
// hand-over in its own time. The worker never touches the window otherwise.
#include "serverlink/serverlink.h"

static void (*documentReadyPost)() = nullptr;

void setDocumentReadyPost(void (*post)()) {
    documentReadyPost = post;
}

void postDocumentReady() {
    if (documentReadyPost != nullptr) {
        documentReadyPost();
    }
}
