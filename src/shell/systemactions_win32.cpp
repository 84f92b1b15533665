// The system actions behind the maintenance menu and the watchdog: opening a
// program through the shell, confirming with the operator, and restarting
// or powering off the PC. Kept in a file of their own so that test programs
// can link recording stand-ins in their place.
#include <windows.h>

#include <shellapi.h>

#include "shell/kiosk.h"
#include "shell/window.h"

void shellOpen(const wchar_t* file, const wchar_t* parameters) {
    ShellExecuteW(gWindow.boardWindow, L"open", file, parameters, nullptr, SW_SHOWNORMAL);
}

bool confirmAction(const wchar_t* text) {
    return MessageBoxW(gWindow.boardWindow, text, L"発車標", MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

void shutdownPc(int32_t restart) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges = {};
        if (LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
        CloseHandle(token);
    }
    ExitWindowsEx(restart ? (EWX_REBOOT | EWX_FORCEIFHUNG) : (EWX_POWEROFF | EWX_FORCEIFHUNG), 0);
}
