// The board window's procedure: a router whose cases each call one handler.
// The 30 ms frame tick animates the board, the 1 s housekeeping tick watches
// the settings file and runs the daily restart, WM_DOCUMENT_READY brings in
// the fetch worker's documents, and keys and mouse switch the window modes.
// A kiosk child refuses every way out except the maintenance hot key.
// A change of the display or of the work area, or of the monitor's scale,
// brings a full-screen board back over its whole monitor.
#include <windows.h>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "serverlink/melody.h"
#include "shell/boot.h"
#include "shell/shell.h"
#include "shell/window.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

BoardWindowState gWindow;

#ifdef VELMORANT_PAINT_COUNTER
// Only the paint-counting test variant of the board defines this flag; it
// counts every WM_PAINT for the idle-cost measurement (tests/bench).
void countPaint();
#endif

static void repaint() {
    InvalidateRect(gWindow.boardWindow, nullptr, FALSE);
}

// A board whose LEDs alone changed: only the LED panel has to reach the
// window (copying the whole surface of a large screen costs far more than
// drawing the dots). Whenever the paint will redraw more than the panel, the
// whole client area is invalidated as usual.
static void repaintDots() {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    if (boardDotsArea(currentBoardStatus(), &x, &y, &w, &h) == 0) {
        repaint();
        return;
    }
    const RECT box{x, y, x + w, y + h};
    InvalidateRect(gWindow.boardWindow, &box, FALSE);
}

void boardClientSize(int32_t* width, int32_t* height) {
    RECT client = {0, 0, 0, 0};
    if (gWindow.boardWindow == nullptr || !GetClientRect(gWindow.boardWindow, &client)) {
        *width = 0;
        *height = 0;
        return;
    }
    *width = client.right - client.left;
    *height = client.bottom - client.top;
}

void relayoutBoard() {
    int32_t width = 0;
    int32_t height = 0;
    boardClientSize(&width, &height);
    layoutBoard(width, height);
}

void updateTitle() {
    char16_t title[TITLE_CAPACITY];
    formatTitle(gDocuments.currentDocument, gSettings.settings.server, gSettings.settings.port, title,
                TITLE_CAPACITY);
    SetWindowTextW(gWindow.boardWindow, asWide(title));
}

void reloadSettings() {
    loadSettings();
    createLedFonts();
    resetLayoutPitch();
    gLink.serverOk = 0;
    relayoutBoard();
    invalidatePresentedFrame();
    updateTitle();
    repaint();
}

static void onFrameTick() {
    const uint32_t now = tickCount();
    if (gBoot.active) {
        bootScreenTick();
        if (gBoot.active && now - gWindow.lastBootRepaintTick < BOOT_REPAINT_MS) {
            return;
        }
        gWindow.lastBootRepaintTick = now;
        repaint();
    } else if (gDocuments.currentDocument.isNewStyle) {
        if (now - gWindow.lastNewStyleRepaintTick < NEW_STYLE_REPAINT_MS) {
            return;
        }
        gWindow.lastNewStyleRepaintTick = now;
        repaintDots();
    } else if (composeClassicBoard(now, currentBoardStatus())) {
        repaintDots();
    }
}

static void onHousekeepingTick() {
    FileInfo info;
    if (queryFileInfo(gSettingsFile.path, &info) && info.lastWriteTime != gSettingsFile.writeTime) {
        reloadSettings();
    }
    if (gSettings.kioskChild && gSettings.settings.dailyRestartMinute >= 0 &&
        gSettings.settings.dailyRestartMinute < 1440 &&
        tickCount() - gProcess.startTick > DAILY_RESTART_HOLD_OFF_MS) {
        SYSTEMTIME local;
        GetLocalTime(&local);
        if (local.wHour * 60 + local.wMinute == gSettings.settings.dailyRestartMinute) {
            gProcess.exitCode = EXIT_REBOOT_PC;
            DestroyWindow(gWindow.boardWindow);
        }
    }
}

static LRESULT onTimer(WPARAM timer) {
    if (timer == TIMER_FRAME) {
        onFrameTick();
    } else if (timer == TIMER_HOUSEKEEPING) {
        onHousekeepingTick();
    }
    return 0;
}

static LRESULT onDocumentReady() {
    takeHandedOverDocument();
    if (gDocuments.currentDocument.isNewStyle) {
        repaintDots();
    } else if (composeClassicBoard(tickCount(), currentBoardStatus())) {
        repaintDots();
    }
    return 0;
}

static LRESULT onPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
#ifdef VELMORANT_PAINT_COUNTER
    countPaint();
#endif
    paintBoardFrame(currentBoardStatus());
    HDC surface = static_cast<HDC>(boardSurfaceContext());
    if (gRender.boardSurface.pixels != nullptr && surface != nullptr) {
        // Only the part that was invalidated (the whole surface, or the LED
        // panel when only dots changed), held to the surface.
        const LONG left = paint.rcPaint.left > 0 ? paint.rcPaint.left : 0;
        const LONG top = paint.rcPaint.top > 0 ? paint.rcPaint.top : 0;
        const LONG right = paint.rcPaint.right < gRender.boardSurface.width ? paint.rcPaint.right
                                                                            : gRender.boardSurface.width;
        const LONG bottom = paint.rcPaint.bottom < gRender.boardSurface.height ? paint.rcPaint.bottom
                                                                               : gRender.boardSurface.height;
        if (right > left && bottom > top) {
            BitBlt(dc, left, top, right - left, bottom - top, surface, left, top, SRCCOPY);
        }
    }
    EndPaint(window, &paint);
    return 0;
}

// The surface covers the whole client area, so there is never a background
// to erase.
static LRESULT onEraseBackground() {
    return 1;
}

static LRESULT onDestroy() {
    melodyStop();
    savePlacement();
    PostQuitMessage(gProcess.exitCode);
    return 0;
}

// A kiosk child closes only when it has an exit code to report.
static LRESULT onClose(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (gSettings.kioskChild && gProcess.exitCode == 0) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The full-screen board hides the pointer over its picture.
static LRESULT onSetCursor(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (gMode.fullscreen && LOWORD(lParam) == HTCLIENT) {
        SetCursor(nullptr);
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A windowed board is dragged by its picture, as if it were all caption.
static LRESULT onNcHitTest(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
    if (!gSettings.kioskChild && hit == HTCLIENT && !gMode.fullscreen) {
        return HTCAPTION;
    }
    return hit;
}

// A double click on the picture of a windowed board (which reports itself as
// caption) switches full screen; a kiosk child ignores it.
static LRESULT onNcLeftDoubleClick(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (wParam != HTCAPTION) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (!gSettings.kioskChild) {
        toggleFullscreen();
    }
    return 0;
}

// The same in full screen, where the picture is client area again.
static LRESULT onLeftDoubleClick() {
    if (!gSettings.kioskChild) {
        toggleFullscreen();
    }
    return 0;
}

// Without a caption bar (borderless or full screen) a right click on the
// picture opens the maintenance menu there.
static LRESULT onNcRightButtonUp(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (gSettings.kioskChild) {
        return 0;
    }
    if (wParam == HTCAPTION && (gMode.borderless || gMode.fullscreen)) {
        showMaintenanceMenu(static_cast<int16_t>(LOWORD(lParam)), static_cast<int16_t>(HIWORD(lParam)));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static LRESULT onKeyDown(HWND window, UINT message, WPARAM key, LPARAM lParam) {
    if (gSettings.kioskChild) {
        return 0;
    }
    switch (key) {
        case VK_ESCAPE:
            if (gMode.fullscreen) {
                setFullscreen(0);
            }
            return 0;
        case VK_F5:
            reloadSettings();
            return 0;
        case VK_F9:
            setTopmost(!gMode.topmost);
            return 0;
        case VK_F11:
            toggleFullscreen();
            return 0;
        default:
            return DefWindowProcW(window, message, key, lParam);
    }
}

static LRESULT onSysKeyDown(HWND window, UINT message, WPARAM key, LPARAM lParam) {
    if (gSettings.kioskChild) {
        if (key == VK_F4) {
            return 0;
        }
        return DefWindowProcW(window, message, key, lParam);
    }
    if (key == VK_RETURN) {
        toggleFullscreen();
        return 0;
    }
    if (key == VK_F10) {
        setBorderless(!gMode.borderless);
        return 0;
    }
    return DefWindowProcW(window, message, key, lParam);
}

static LRESULT onSysCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const WPARAM command = wParam & 0xFFF0;
    if (gSettings.kioskChild && command == SC_CLOSE) {
        return 0;
    }
    if (gSettings.settings.preventSleep && (command == SC_SCREENSAVE || command == SC_MONITORPOWER)) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static LRESULT onContextMenu(LPARAM lParam) {
    if (gSettings.kioskChild) {
        return 0;
    }
    int32_t x = static_cast<int16_t>(LOWORD(lParam));
    int32_t y = static_cast<int16_t>(HIWORD(lParam));
    if (x == -1 && y == -1) {
        POINT corner = {0, 0};
        ClientToScreen(gWindow.boardWindow, &corner);
        x = corner.x;
        y = corner.y;
    }
    showMaintenanceMenu(x, y);
    return 0;
}

static LRESULT onHotKey(WPARAM hotKey) {
    if (hotKey == HOTKEY_MAINTENANCE) {
        showMaintenanceMenu(gRender.boardSurface.width / 3, gRender.boardSurface.height / 4);
    }
    return 0;
}

// A new resolution or monitor layout: the full-screen board covers its
// monitor as it is now (the nearest one if its own is gone), and a kiosk
// board puts the pointer back out of sight on that monitor.
static LRESULT onDisplayChange(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    coverMonitorAgain();
    if (gSettings.kioskChild) {
        parkPointer();
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The first WM_SIZE arrives inside CreateWindowExW, before gWindow.boardWindow is
// set: the layout and the repaint go by the window the message came with.
// (An invalidation of no window at all would repaint the whole desktop.)
static LRESULT onSize(HWND window) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(window, &client);
    layoutBoard(client.right - client.left, client.bottom - client.top);
    InvalidateRect(window, nullptr, FALSE);
    return 0;
}

// The window moved to a monitor of another scale, or the scale changed: the
// board is drawn in physical pixels (the program declares per-monitor DPI
// awareness), so it takes the rectangle the system suggests for the new
// scale, and a full-screen board then covers its monitor again. The new
// client size lays the board out through WM_SIZE.
static LRESULT onDpiChanged(HWND window, LPARAM lParam) {
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    if (suggested != nullptr) {
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    coverMonitorAgain();
    return 0;
}

// Of all system settings only the work area concerns the board: a task bar
// that moved or changed size can leave the full-screen window displaced.
static LRESULT onSettingChange(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (wParam == SPI_SETWORKAREA) {
        coverMonitorAgain();
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK boardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            return onDestroy();
        case WM_SIZE:
            return onSize(window);
        case WM_DPICHANGED:
            return onDpiChanged(window, lParam);
        case WM_PAINT:
            return onPaint(window);
        case WM_CLOSE:
            return onClose(window, message, wParam, lParam);
        case WM_ERASEBKGND:
            return onEraseBackground();
        case WM_SETCURSOR:
            return onSetCursor(window, message, wParam, lParam);
        case WM_CONTEXTMENU:
            return onContextMenu(lParam);
        case WM_NCHITTEST:
            return onNcHitTest(window, message, wParam, lParam);
        case WM_NCLBUTTONDBLCLK:
            return onNcLeftDoubleClick(window, message, wParam, lParam);
        case WM_LBUTTONDBLCLK:
            return onLeftDoubleClick();
        case WM_NCRBUTTONUP:
            return onNcRightButtonUp(window, message, wParam, lParam);
        case WM_KEYDOWN:
            return onKeyDown(window, message, wParam, lParam);
        case WM_SYSKEYDOWN:
            return onSysKeyDown(window, message, wParam, lParam);
        case WM_SYSCOMMAND:
            return onSysCommand(window, message, wParam, lParam);
        case WM_TIMER:
            return onTimer(wParam);
        case WM_HOTKEY:
            return onHotKey(wParam);
        case WM_DOCUMENT_READY:
            return onDocumentReady();
        case WM_DISPLAYCHANGE:
            return onDisplayChange(window, message, wParam, lParam);
        case WM_SETTINGCHANGE:
            return onSettingChange(window, message, wParam, lParam);
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
