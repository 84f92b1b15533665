// The board's status as render draws it: the link state the fetch worker
// publishes and the boot screen's state, read once for a compose or a paint.
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/boot.h"
#include "shell/shell.h"

BoardStatus currentBoardStatus() {
    BoardStatus status;
    // gLink.serverOk first: once it reads set, the tick of that hand-over is
    // visible too (the worker stores the tick before the flag).
    status.serverOk = gLink.serverOk;
    status.lastFetchOkTick = gLink.lastFetchOkTick;
    status.fetchAttempts = gLink.fetchAttempts;
    status.localAddress = localAddress();
    status.bootScreenActive = gBoot.active;
    status.bootStartTick = gBoot.startTick;
    status.bootReadyTick = gBoot.readyTick;
    return status;
}
