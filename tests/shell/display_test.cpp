// The board window after display changes: a full-screen board covers its
// monitor again when the display or the work area changes, moves to the
// nearest monitor when its own one is gone, and a windowed board stays
// where it is; a kiosk board parks the pointer again. The monitor here is
// Wine's one screen; a displaced window stands for a screen whose size or
// place changed under it.
#include <windows.h>

#include <gtest/gtest.h>

#include "documents/documents.h"
#include "shell/shell.h"
#include "shell/window.h"

namespace {

class DisplayChange : public ::testing::Test {
protected:
    void SetUp() override {
        gSettings.kioskChild = 0;
        gMode.fullscreen = 0;
        gMode.borderless = 0;
        gMode.topmost = 0;
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = boardWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VelmorantDisplayTest";
        RegisterClassW(&windowClass);
        gWindow.boardWindow =
            CreateWindowExW(0, L"VelmorantDisplayTest", L"display test", windowStyleForMode() & ~WS_VISIBLE,
                            40, 30, 400, 160, nullptr, nullptr, windowClass.hInstance, nullptr);
        ASSERT_NE(gWindow.boardWindow, nullptr);
        ShowWindow(gWindow.boardWindow, SW_SHOWNOACTIVATE);
        MONITORINFO info;
        info.cbSize = sizeof(info);
        ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(gWindow.boardWindow, MONITOR_DEFAULTTOPRIMARY), &info));
        monitor = info.rcMonitor;
    }

    void TearDown() override {
        // No placement file and no quit message left behind for the tests
        // that follow.
        gSettings.kioskChild = 1;
        DestroyWindow(gWindow.boardWindow);
        gWindow.boardWindow = nullptr;
        gSettings.kioskChild = 0;
        gMode.fullscreen = 0;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    RECT windowRect() {
        RECT rect = {0, 0, 0, 0};
        GetWindowRect(gWindow.boardWindow, &rect);
        return rect;
    }

    void displace(int x, int y, int width, int height) {
        SetWindowPos(gWindow.boardWindow, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }

    RECT monitor;
};

bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " - " + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

}  // namespace

TEST_F(DisplayChange, FullScreenBoardCoversItsMonitorAgain) {
    const RECT windowed = windowRect();
    setFullscreen(1);
    ASSERT_TRUE(sameRect(windowRect(), monitor)) << text(windowRect());

    // The screen was larger or smaller than now: the window no longer fits.
    displace(0, 0, 640, 480);
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    EXPECT_TRUE(sameRect(windowRect(), monitor)) << text(windowRect());
    int32_t width = 0;
    int32_t height = 0;
    boardClientSize(&width, &height);
    EXPECT_EQ(width, monitor.right - monitor.left);
    EXPECT_EQ(height, monitor.bottom - monitor.top);

    displace(0, 40, monitor.right, monitor.bottom - 40);
    SendMessageW(gWindow.boardWindow, WM_SETTINGCHANGE, SPI_SETWORKAREA, 0);
    EXPECT_TRUE(sameRect(windowRect(), monitor)) << "work area change: " << text(windowRect());

    // Other settings leave the window alone.
    displace(0, 40, 300, 200);
    const RECT before = windowRect();
    SendMessageW(gWindow.boardWindow, WM_SETTINGCHANGE, SPI_SETDESKWALLPAPER, 0);
    EXPECT_TRUE(sameRect(windowRect(), before)) << text(windowRect());

    // Leaving full screen still returns to the rectangle the operator had.
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    setFullscreen(0);
    EXPECT_TRUE(sameRect(windowRect(), windowed)) << text(windowRect());
}

TEST_F(DisplayChange, BoardWhoseMonitorIsGoneMovesToTheNearestOne) {
    gSettings.kioskChild = 1;
    setFullscreen(1);
    // The window lies where a second monitor used to be.
    const int width = monitor.right - monitor.left;
    const int height = monitor.bottom - monitor.top;
    displace(monitor.right + 200, monitor.top, width, height);
    ASSERT_EQ(MonitorFromWindow(gWindow.boardWindow, MONITOR_DEFAULTTONULL), nullptr);
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(width, height));
    EXPECT_TRUE(sameRect(windowRect(), monitor)) << text(windowRect());
}

TEST_F(DisplayChange, KioskBoardParksThePointerAgainOnItsMonitor) {
    gSettings.kioskChild = 1;
    setFullscreen(1);
    const POINT corner = {monitor.right - 1, monitor.bottom - 1};
    // A resolution change leaves the pointer where it was: on a larger
    // screen that is inside the picture.
    ASSERT_TRUE(SetCursorPos(monitor.left + 120, monitor.top + 80));
    POINT at = {0, 0};
    ASSERT_TRUE(GetCursorPos(&at));
    ASSERT_EQ(at.x, monitor.left + 120);
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    ASSERT_TRUE(GetCursorPos(&at));
    EXPECT_EQ(at.x, corner.x);
    EXPECT_EQ(at.y, corner.y);

    // Also when the board had to move to the nearest monitor first, and
    // when the window already covered its monitor (nothing to move).
    displace(monitor.right + 200, monitor.top, monitor.right - monitor.left, monitor.bottom - monitor.top);
    SetCursorPos(monitor.left + 5, monitor.top + 5);
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    ASSERT_TRUE(GetCursorPos(&at));
    EXPECT_EQ(at.x, corner.x);
    EXPECT_EQ(at.y, corner.y);
    EXPECT_TRUE(sameRect(windowRect(), monitor)) << text(windowRect());
    SetCursorPos(monitor.left + 5, monitor.top + 5);
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    ASSERT_TRUE(GetCursorPos(&at));
    EXPECT_EQ(at.x, corner.x);
    EXPECT_EQ(at.y, corner.y);

    // A work-area change does not move the pointer.
    SetCursorPos(monitor.left + 7, monitor.top + 9);
    SendMessageW(gWindow.boardWindow, WM_SETTINGCHANGE, SPI_SETWORKAREA, 0);
    ASSERT_TRUE(GetCursorPos(&at));
    EXPECT_EQ(at.x, monitor.left + 7);
    EXPECT_EQ(at.y, monitor.top + 9);
}

TEST_F(DisplayChange, BoardOutsideKioskLeavesThePointerAlone) {
    // The operator's own desktop: the pointer is theirs, even in full screen.
    setFullscreen(1);
    ASSERT_TRUE(SetCursorPos(monitor.left + 120, monitor.top + 80));
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    POINT at = {0, 0};
    ASSERT_TRUE(GetCursorPos(&at));
    EXPECT_EQ(at.x, monitor.left + 120);
    EXPECT_EQ(at.y, monitor.top + 80);
}

TEST_F(DisplayChange, WindowedBoardStaysWhereItIs) {
    // Even off every monitor: nothing moves a windowed board back on screen.
    displace(monitor.right + 500, 20, 400, 160);
    const RECT before = windowRect();
    SendMessageW(gWindow.boardWindow, WM_DISPLAYCHANGE, 32, MAKELPARAM(monitor.right, monitor.bottom));
    SendMessageW(gWindow.boardWindow, WM_SETTINGCHANGE, SPI_SETWORKAREA, 0);
    EXPECT_TRUE(sameRect(windowRect(), before)) << text(windowRect());
    EXPECT_EQ(gMode.fullscreen, 0);
}
