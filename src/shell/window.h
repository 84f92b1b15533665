// The board window and the private messages of the program. The fetch
// worker only ever posts WM_DOCUMENT_READY; everything else here belongs to
// the main thread.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr UINT WM_DOCUMENT_READY = WM_APP + 1;

// The board window's class, which the watchdog and the test tools look for.
constexpr wchar_t BOARD_CLASS_NAME[] = L"VelmorantBoard";

// The board window and what its procedure keeps between messages.
struct BoardWindowState {
    HWND boardWindow;              // the window, null before it exists
    uint32_t lastBootRepaintTick;  // tick of the boot screen's last repaint (BOOT_REPAINT_MS gate)
    uint32_t
        lastNewStyleRepaintTick;  // tick of the new-style sign's last repaint (NEW_STYLE_REPAINT_MS gate)
    RECT savedWindowRect;         // the framed window's rectangle before it went full screen
};
extern BoardWindowState gWindow;

// Posts WM_DOCUMENT_READY to gWindow.boardWindow; any thread may call it. Handed to
// the fetch worker at start.
void postDocumentReadyToWindow();

LRESULT CALLBACK boardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The client size of the board window (0 x 0 before it exists).
void boardClientSize(int32_t* width, int32_t* height);

// Hooks for the kiosk parts (maintenance menu, boot screen).
void showMaintenanceMenu(int32_t screenX, int32_t screenY);
