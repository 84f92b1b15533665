// The main thread's side of the document hand-over: take the newest parsed
// document out of the slot the fetch worker fills, make it the shown one, and
// decide by comparing it with the one it replaces how much of the board must
// be rebuilt (a new layout, a forced full repaint with a new title, or
// nothing beyond normal drawing). Then the melody logic sees it.
#include <cstring>

#include "render/render.h"
#include "serverlink/linkstate.h"
#include "serverlink/melody.h"
#include "shell/shell.h"

static bool geometryDiffers(const BoardDocument& a, const BoardDocument& b) {
    return a.width != b.width || a.rows != b.rows || a.timeX != b.timeX || a.destX != b.destX;
}

static bool headerDiffers(const BoardDocument& a, const BoardDocument& b) {
    return a.isNewStyle != b.isNewStyle || !textEquals(a.viaJp, b.viaJp) ||
           !textEquals(a.labelJp, b.labelJp) || !textEquals(a.labelEn, b.labelEn) ||
           !textEquals(a.platform, b.platform) || !textEquals(a.capTime, b.capTime) ||
           !textEquals(a.capDest, b.capDest);
}

void takeHandedOverDocument() {
    bool taken = false;
    lockEnter(&gLink.handoverLock);
    if (gLink.handoverPending == 1) {
        std::memcpy(&gDocuments.previousDocument, &gDocuments.currentDocument, sizeof(BoardDocument));
        std::memcpy(&gDocuments.currentDocument, &gDocuments.handoverDocument, sizeof(BoardDocument));
        gLink.handoverPending = 0;
        taken = true;
    }
    lockLeave(&gLink.handoverLock);
    if (!taken) {
        return;
    }
    bool fullRepaint = false;
    if (geometryDiffers(gDocuments.previousDocument, gDocuments.currentDocument)) {
        relayoutBoard();
        fullRepaint = true;
    } else if (headerDiffers(gDocuments.previousDocument, gDocuments.currentDocument)) {
        fullRepaint = true;
    }
    if (fullRepaint) {
        invalidatePresentedFrame();
        updateTitle();
    }
    melodyFollowDocument(gDocuments.currentDocument);
}
