// The boot self-check screen's state and its end rule. The screen shows
// from start-up until a document has arrived and at least 6 s have passed,
// then stays 1.5 s in its ready state before the board replaces it.
#pragma once

#include <cstdint>

constexpr uint32_t BOOT_MIN_MS = 6000;
constexpr uint32_t BOOT_READY_HOLD_MS = 1500;

// The boot screen's state; the shell hands it to render in BoardStatus.
struct BootState {
    int32_t active;      // 1 while the boot screen is up
    uint32_t startTick;  // tick at which it came up
    uint32_t readyTick;  // tick at which it turned ready, 0 before
};
extern BootState gBoot;

void bootScreenTick();
