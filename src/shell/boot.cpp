// The boot screen's end rule, shared by the frame tick and the snapshot run.
#include "shell/boot.h"

#include "platform/platform.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

int32_t bootScreenActive;
uint32_t bootStartTick;
uint32_t bootReadyTick;

void bootScreenTick() {
    const uint32_t now = tickCount();
    if (bootReadyTick == 0) {
        if (serverOk && now - bootStartTick >= BOOT_MIN_MS) {
            // A tick of exactly 0 would read as "not ready"; one ms later
            // changes nothing anyone can see.
            bootReadyTick = now != 0 ? now : 1;
        }
        return;
    }
    if (now - bootReadyTick < BOOT_READY_HOLD_MS) {
        return;
    }
    bootScreenActive = 0;
    invalidatePresentedFrame();
    composeClassicBoard(now, currentBoardStatus());
}
