// The idle floor for tools/measure-board.py: a window that does what the
// board's message loop must do and nothing else. It is the board's shape
// (a full-screen popup of the screen's size), runs the board's two window
// timers at their intervals and answers every WM_TIMER with nothing. What it
// costs is what the system takes to deliver the timers' messages; an idle
// board cannot cost less, and the difference is the board's own work.
#include <windows.h>

#include "shell/shell.h"

static LRESULT CALLBACK floorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass = {};
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = floorWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"VelmorantTimerFloor";
    if (RegisterClassW(&windowClass) == 0) {
        return 1;
    }
    // The title holds the board's name so the measuring script finds it.
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"発車標 (timer floor)",
                                  WS_POPUP | WS_VISIBLE, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                                  GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, instance, nullptr);
    if (window == nullptr || SetTimer(window, TIMER_FRAME, FRAME_INTERVAL_MS, nullptr) == 0 ||
        SetTimer(window, TIMER_HOUSEKEEPING, HOUSEKEEPING_INTERVAL_MS, nullptr) == 0) {
        return 1;
    }
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
