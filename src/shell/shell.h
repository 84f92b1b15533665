// What the rest of the program may use from shell/: the process-wide state
// of start-up, the exit codes shared with the kiosk watchdog, the window
// modes, the title, the settings reload, the hand-over's call-outs and the
// snapshot writer. The command-line reader and the title text are portable;
// everything that touches the window is Windows only.
#pragma once

#include <cstdint>

#include "documents/documents.h"
#include "render/render.h"

// Exit codes between the kiosk child and its watchdog.
constexpr int32_t EXIT_RESTART_BOARD = 10;
constexpr int32_t EXIT_REBOOT_PC = 11;
constexpr int32_t EXIT_POWER_OFF_PC = 12;
constexpr int32_t EXIT_TO_DESKTOP = 13;
// The board could not create its window, its fetch worker or a timer. None
// of the codes above, so the watchdog starts a new board after its pause.
constexpr int32_t EXIT_START_FAILED = 3;

// Timers of the board window.
constexpr uint32_t TIMER_FRAME = 1;
constexpr uint32_t TIMER_HOUSEKEEPING = 2;
constexpr uint32_t FRAME_INTERVAL_MS = 30;
constexpr uint32_t HOUSEKEEPING_INTERVAL_MS = 1000;

constexpr int32_t HOTKEY_MAINTENANCE = 1;

// Repaint gates of the frame tick.
constexpr uint32_t BOOT_REPAINT_MS = 100;
constexpr uint32_t NEW_STYLE_REPAINT_MS = 40;
// The daily restart waits this long after start so a board that comes back
// within the same minute does not restart the PC again.
constexpr uint32_t DAILY_RESTART_HOLD_OFF_MS = 600000;

constexpr int32_t TITLE_CAPACITY = 260;

// The process: when it started, where it runs from, where the window's
// placement is kept and how it ends.
struct ProcessState {
    uint32_t startTick;                     // tick at start-up
    char16_t exeDir[PATH_CAPACITY];         // the executable's folder, with its last separator
    char16_t placementPath[PATH_CAPACITY];  // the window placement file beside the settings
    int32_t exitCode;                       // what the message loop ends with
};
extern ProcessState gProcess;

// How the board window is shown (the maintenance menu's check marks).
struct WindowMode {
    int32_t fullscreen;  // 1: covers its monitor, no frame
    int32_t borderless;  // 1: no frame while not full screen
    int32_t topmost;     // 1: above other windows
};
extern WindowMode gMode;

// ---------------------------------------------------------------------------
// Command line (portable)

struct CommandLine {
    int32_t reboot;                // "/reboot" seen: restart the PC, read nothing after it
    int32_t kiosk;                 // "/kiosk": run the watchdog
    int32_t child;                 // "/child": kiosk child
    const char16_t* snapshotFile;  // "/snap" file, or null
    int32_t snapshotMs;
    const char16_t* settingsFile;  // the last argument that is not a switch, or null
};

// Reads arguments 1..count-1 (argument 0 is the program).
void readCommandLine(int32_t count, char16_t* const* arguments, CommandLine* line);

// The placement file: the first 255 units of the settings path and ".pos".
void buildPlacementPath(const char16_t* settingsFilePath, char16_t* out, int32_t capacity);

// ---------------------------------------------------------------------------
// Title (text portable, the call Windows only)

// The window title for a document and the connection settings.
void formatTitle(const BoardDocument& document, const char16_t* server, int32_t port, char16_t* out,
                 int32_t capacity);
void updateTitle();

// ---------------------------------------------------------------------------
// Board status (portable)

// The link and boot state that render draws, as they stand now.
BoardStatus currentBoardStatus();

// ---------------------------------------------------------------------------
// Hand-over (portable; its call-outs are the real window calls on Windows)

// Takes the handed-over document, if any, and rebuilds what it changes.
void takeHandedOverDocument();
// Lays the board out for the window's current client size.
void relayoutBoard();

// ---------------------------------------------------------------------------
// Windows only

uint32_t windowStyleForMode();
void setFullscreen(int32_t on);
void toggleFullscreen();
void setBorderless(int32_t on);
void setTopmost(int32_t on);
// A full-screen window covers its monitor again after a display change.
void coverMonitorAgain();
// Parks the mouse pointer on the bottom-right pixel of the board's monitor.
void parkPointer();
void savePlacement();
void reloadSettings();
// 1 when the whole picture was written; on failure no file is left.
int32_t runSnapshot(const char16_t* path, int32_t ms);
int32_t runBoard();
