// The kiosk side of the program: the maintenance menu, the system actions
// behind it, and the watchdog parent that keeps a board child running.
#pragma once

#include <windows.h>

#include <cstdint>

#include "shell/window.h"

// Menu commands.
constexpr UINT IDM_FULLSCREEN = 101;
constexpr UINT IDM_BORDERLESS = 102;
constexpr UINT IDM_TOPMOST = 103;
constexpr UINT IDM_EDIT_SETTINGS = 104;
constexpr UINT IDM_RELOAD_SETTINGS = 105;
constexpr UINT IDM_SERVER_PAGE = 106;
constexpr UINT IDM_EXIT = 107;
constexpr UINT IDM_COMMAND_PROMPT = 108;
constexpr UINT IDM_EXPLORER = 109;
constexpr UINT IDM_TASK_MANAGER = 110;
constexpr UINT IDM_RESTART_BOARD = 111;
constexpr UINT IDM_REBOOT_PC = 112;
constexpr UINT IDM_POWER_OFF_PC = 113;
constexpr UINT IDM_LEAVE_KIOSK = 114;

// The menu of the form that fits the process (normal or kiosk child), with
// the current check marks and greying.
HMENU buildMaintenanceMenu();
// Carries out one chosen command (0 and unknown commands do nothing).
void runMenuCommand(UINT command);

// The system actions. systemactions_win32.cpp has the real ones; test
// programs link recording stand-ins instead, so no test ever restarts the
// machine it runs on.
void shellOpen(const wchar_t* file, const wchar_t* parameters);
void shutdownPc(int32_t restart);
// Asks the operator to confirm; true for OK.
bool confirmAction(const wchar_t* text);

// The watchdog parent ("/kiosk"). Returns 0 once the child asked for a PC
// restart, a power-off or the desktop.
int32_t runWatchdog();

// Both kiosk processes: no system error box and no Windows Error Reporting
// dialog, so a fault ends the process and nothing waits on screen for an
// operator who is not there. The reporting call exists only on newer
// systems and is looked up at run time.
void switchOffErrorBoxes();
// Asks the system named by module (kernel32) to show no fault-reporting UI
// for this process; 1 when the call exists there and succeeded.
int32_t switchOffFaultReportingUi(HMODULE module);

// The watchdog finds the child's board window by its class (BOARD_CLASS_NAME,
// the one the board registers) and the child's process id.
constexpr int32_t BOARD_CLASS_CAPACITY = 64;
// A frozen child is ended with this code, which is none of the codes above
// and so restarts the board like any other end.
constexpr UINT WATCHDOG_HUNG_EXIT_CODE = 1;
// How long one check waits for the board window's answer, at most.
constexpr uint32_t WATCHDOG_ANSWER_WAIT_MS = 2000;

// What the watchdog starts and how long it waits. The product uses its own
// executable and the pauses below; tests point these at a test child and
// shorten the clock.
struct WatchdogSetup {
    wchar_t watchdogChildPath[MAX_PATH];  // the child's executable; empty: this executable
    uint32_t watchdogShortPauseMs;        // 2000: pause before the next child after an unplanned end
    uint32_t watchdogLongPauseMs;         // 30000: the pause after WATCHDOG_QUICK_EXIT_LIMIT quick ends
    uint32_t watchdogQuickLifeMs;         // 60000: a child ending sooner ended quickly
    uint32_t watchdogRetryMs;             // 5000: wait after a child could not be started
    uint32_t watchdogHangCheckMs;         // 5000: how often the board window is asked
    uint32_t watchdogHangLimitMs;         // 60000: silence after which the child is ended
};
extern WatchdogSetup gWatchdog;
constexpr int32_t WATCHDOG_QUICK_EXIT_LIMIT = 3;
