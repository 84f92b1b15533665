// The boot screen's end rule, shared by the frame tick and the snapshot run.
#include "shell/boot.h"

#include "platform/platform.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

BootState gBoot;

void bootScreenTick() {
    const uint32_t now = tickCount();
    if (gBoot.readyTick == 0) {
        if (gLink.serverOk && now - gBoot.startTick >= BOOT_MIN_MS) {
            // A tick of exactly 0 would read as "not ready"; one ms later
            // changes nothing anyone can see.
            gBoot.readyTick = now != 0 ? now : 1;
        }
        return;
    }
    if (now - gBoot.readyTick < BOOT_READY_HOLD_MS) {
        return;
    }
    gBoot.active = 0;
    invalidatePresentedFrame();
    composeClassicBoard(now, currentBoardStatus());
}
