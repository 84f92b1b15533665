// Snapshot mode: the board runs unseen for a given time, as a window would
// (settings, fetch worker, hidden window of the computed size), and then the
// frame it would show is written as a 32-bit bottom-up BMP. There is no
// message loop: documents are picked up by polling the hand-over slot.
#include <windows.h>

#include "platform/platform.h"
#include "render/newstyle.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/boot.h"
#include "shell/shell.h"

constexpr uint32_t SNAPSHOT_POLL_MS = 10;

static void composeForSnapshot(uint32_t now) {
    if (gBoot.active) {
        bootScreenTick();
    } else if (gDocuments.currentDocument.isNewStyle) {
        composeNewStyleBoardLeds(now, currentBoardStatus());
    } else {
        composeClassicBoard(now, currentBoardStatus());
    }
}

// A failed snapshot must not pass for a good one: the caller reports it and
// ends with exit code 1, and no partial file is left behind.
int32_t runSnapshot(const char16_t* path, int32_t ms) {
    const uint32_t start = tickCount();
    relayoutBoard();
    while (static_cast<int32_t>(tickCount() - start) < ms) {
        if (gLink.handoverPending) {
            takeHandedOverDocument();
        }
        composeForSnapshot(tickCount());
        sleepMs(SNAPSHOT_POLL_MS);
    }
    if (gLink.handoverPending) {
        takeHandedOverDocument();
    }
    if (!gBoot.active) {
        composeClassicBoard(tickCount(), currentBoardStatus());
    }
    paintBoardFrame(currentBoardStatus());
    GdiFlush();
    if (gRender.boardSurface.pixels == nullptr) {
        return 0;
    }
    if (!writeSurfaceBmp(path, gRender.boardSurface)) {
        deleteFileAt(path);
        return 0;
    }
    return 1;
}
