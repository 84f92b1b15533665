// The three window modes an operator switches at run time (full screen on
// the window's own monitor, borderless, always on top) and the placement
// file in which a normal window remembers its rectangle and modes between
// runs. The kiosk child always runs full screen and never writes the file.
// A full-screen window follows changes of the display: a new resolution, a
// monitor that was switched off and on or taken away.
#include <windows.h>

#include <cwchar>

#include "documents/documents.h"
#include "platform/win32/wide.h"
#include "shell/shell.h"
#include "shell/window.h"

WindowMode gMode;

uint32_t windowStyleForMode() {
    if (gMode.fullscreen || gMode.borderless) {
        return WS_POPUP | WS_VISIBLE;
    }
    return WS_OVERLAPPEDWINDOW | WS_VISIBLE;
}

static void applyStyle() {
    SetWindowLongW(gWindow.boardWindow, GWL_STYLE, static_cast<LONG>(windowStyleForMode()));
}

// The whole rectangle of the monitor the window is on, or of the nearest
// one when its own monitor is gone; the primary screen if the query fails.
static RECT currentMonitorRect() {
    HMONITOR monitor = MonitorFromWindow(gWindow.boardWindow, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info;
    info.cbSize = sizeof(info);
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
        area = info.rcMonitor;
    }
    return area;
}

void setFullscreen(int32_t on) {
    on = on ? 1 : 0;
    if (on == gMode.fullscreen) {
        return;
    }
    if (on) {
        GetWindowRect(gWindow.boardWindow, &gWindow.savedWindowRect);
        gMode.fullscreen = 1;
        const RECT area = currentMonitorRect();
        applyStyle();
        SetWindowPos(gWindow.boardWindow, gMode.topmost ? HWND_TOPMOST : HWND_TOP, area.left, area.top,
                     area.right - area.left, area.bottom - area.top, SWP_FRAMECHANGED | SWP_SHOWWINDOW);
    } else {
        gMode.fullscreen = 0;
        applyStyle();
        const RECT& saved = gWindow.savedWindowRect;
        SetWindowPos(gWindow.boardWindow, gMode.topmost ? HWND_TOPMOST : HWND_NOTOPMOST, saved.left,
                     saved.top, saved.right - saved.left, saved.bottom - saved.top,
                     SWP_FRAMECHANGED | SWP_SHOWWINDOW);
    }
}

// After the display changed, a full-screen window covers its monitor as the
// monitor is now: a new resolution, or the nearest monitor when its own one
// went away. Z-order, style and the remembered windowed rectangle stay as
// they are; a windowed board is left where the operator put it.
void coverMonitorAgain() {
    if (!gMode.fullscreen || gWindow.boardWindow == nullptr) {
        return;
    }
    const RECT area = currentMonitorRect();
    RECT now = {0, 0, 0, 0};
    if (GetWindowRect(gWindow.boardWindow, &now) && EqualRect(&now, &area)) {
        return;  // already covering it: nothing to move or lay out again
    }
    SetWindowPos(gWindow.boardWindow, nullptr, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The kiosk board keeps the mouse pointer out of sight on the bottom-right
// pixel of the monitor it covers. A new resolution leaves the pointer where
// it was, which on a larger screen is somewhere in the picture, so after a
// display change it is parked again on the monitor as it is now.
void parkPointer() {
    if (gWindow.boardWindow == nullptr) {
        return;
    }
    const RECT area = currentMonitorRect();
    SetCursorPos(area.right - 1, area.bottom - 1);
}

// F11, Alt+Enter, a double click and the menu all switch the same way.
void toggleFullscreen() {
    setFullscreen(gMode.fullscreen ? 0 : 1);
}

void setBorderless(int32_t on) {
    gMode.borderless = on ? 1 : 0;
    if (gMode.fullscreen) {
        return;  // takes effect when full screen is left
    }
    applyStyle();
    SetWindowPos(gWindow.boardWindow, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
}

void setTopmost(int32_t on) {
    gMode.topmost = on ? 1 : 0;
    SetWindowPos(gWindow.boardWindow, gMode.topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE);
}

static void writeNumber(const wchar_t* key, int32_t value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%d", value);
    WritePrivateProfileStringW(L"window", key, text, asWide(gProcess.placementPath));
}

void savePlacement() {
    if (gSettings.kioskChild || IsIconic(gWindow.boardWindow)) {
        return;
    }
    RECT rect = gWindow.savedWindowRect;
    if (!gMode.fullscreen) {
        GetWindowRect(gWindow.boardWindow, &rect);
    }
    writeNumber(L"x", rect.left);
    writeNumber(L"y", rect.top);
    writeNumber(L"w", rect.right - rect.left);
    writeNumber(L"h", rect.bottom - rect.top);
    writeNumber(L"fullscreen", gMode.fullscreen ? 1 : 0);
    writeNumber(L"borderless", gMode.borderless ? 1 : 0);
    writeNumber(L"topmost", gMode.topmost ? 1 : 0);
}
