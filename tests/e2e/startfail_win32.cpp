// The refusing variant of the board (built only as velmorant_startfail.exe
// for the start-up failure test, never into velmorant.exe). Before the
// program's own start-up it hooks window creation on the main thread and
// refuses every window there, so CreateWindowExW really fails, as it does on
// a desktop that has run out of window or heap resources.
#include <windows.h>

namespace {

LRESULT CALLBACK refuseWindows(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        return 1;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct RefuseWindows {
    RefuseWindows() {
        SetWindowsHookExW(WH_CBT, refuseWindows, nullptr, GetCurrentThreadId());
    }
};

RefuseWindows refuseWindowsAtStart;

}  // namespace
