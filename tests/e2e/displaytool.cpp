// A helper for the display-change test, run inside the same Wine desktop as
// the board:
//   displaytool set WIDTH HEIGHT OUT   changes the display mode; OUT gets the
//                                      ChangeDisplaySettingsExW result
//   displaytool board OUT              OUT gets "found left top right bottom
//                                      mleft mtop mright mbottom px py": the
//                                      board window's rectangle, the
//                                      rectangle of the monitor it is on and
//                                      where the mouse pointer is
// Results go to a file because the desktop launcher does not pass the
// helper's standard output on reliably.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "shell/window.h"

static int writeResult(const wchar_t* path, const char* text) {
    FILE* out = _wfopen(path, L"w");
    if (out == nullptr) {
        return 2;
    }
    std::fputs(text, out);
    std::fclose(out);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    char text[256];
    if (argc == 5 && std::wcscmp(argv[1], L"set") == 0) {
        DEVMODEW mode = {};
        mode.dmSize = sizeof(mode);
        mode.dmPelsWidth = std::wcstoul(argv[2], nullptr, 10);
        mode.dmPelsHeight = std::wcstoul(argv[3], nullptr, 10);
        mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
        const LONG result = ChangeDisplaySettingsExW(nullptr, &mode, nullptr, 0, nullptr);
        std::snprintf(text, sizeof(text), "%ld\n", result);
        return writeResult(argv[4], text);
    }
    if (argc == 3 && std::wcscmp(argv[1], L"board") == 0) {
        HWND window = FindWindowW(BOARD_CLASS_NAME, nullptr);
        RECT rect = {0, 0, 0, 0};
        MONITORINFO info = {};
        info.cbSize = sizeof(info);
        POINT pointer = {-1, -1};
        const int found = window != nullptr && GetWindowRect(window, &rect) &&
                          GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info) &&
                          GetCursorPos(&pointer);
        std::snprintf(text, sizeof(text), "%d %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld\n", found, rect.left,
                      rect.top, rect.right, rect.bottom, info.rcMonitor.left, info.rcMonitor.top,
                      info.rcMonitor.right, info.rcMonitor.bottom, pointer.x, pointer.y);
        return writeResult(argv[2], text);
    }
    return 1;
}
