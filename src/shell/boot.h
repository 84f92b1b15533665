// The boot self-check screen's state and its end rule. The screen shows
// from start-up until a document has arrived and at least 6 s have passed,
// then stays 1.5 s in its ready state before the board replaces it.
#pragma once

#include <cstdint>

constexpr uint32_t BOOT_MIN_MS = 6000;
constexpr uint32_t BOOT_READY_HOLD_MS = 1500;

extern int32_t bootScreenActive;
extern uint32_t bootStartTick;
extern uint32_t bootReadyTick;

void bootScreenTick();
