// The kiosk watchdog ("/kiosk"): a windowless parent that starts the board
// as a "/child" process, waits for it to end and acts on its exit code:
// start it again at once (10), restart the PC (11), power it off (12), or
// hand the desktop back (13). Any other end, a crash included, restarts the
// board after a pause that grows when children keep dying soon after start.
#include <windows.h>

#include <cwchar>

#include "documents/documents.h"
#include "platform/win32/wide.h"
#include "shell/kiosk.h"
#include "shell/shell.h"

wchar_t watchdogChildPath[MAX_PATH];
uint32_t watchdogShortPauseMs = 2000;
uint32_t watchdogLongPauseMs = 30000;
uint32_t watchdogQuickLifeMs = 60000;
uint32_t watchdogRetryMs = 5000;

constexpr int32_t WATCHDOG_COMMAND_CAPACITY = 2 * PATH_CAPACITY + 32;

// Starts one child and waits for it; false when it could not be started.
static bool runChildOnce(const wchar_t* executable, DWORD* exitCode) {
    wchar_t commandLine[WATCHDOG_COMMAND_CAPACITY];
    std::swprintf(commandLine, WATCHDOG_COMMAND_CAPACITY, L"\"%ls\" /child \"%ls\"", executable,
                  asWide(settingsPath));
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    const wchar_t* workingDirectory = exeDir[0] != 0 ? asWide(exeDir) : nullptr;
    if (!CreateProcessW(executable, commandLine, nullptr, nullptr, FALSE, 0, nullptr, workingDirectory, &startup,
                        &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, exitCode)) {
        *exitCode = 0;
    }
    CloseHandle(process.hProcess);
    return true;
}

int32_t runWatchdog() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    wchar_t executable[MAX_PATH];
    if (watchdogChildPath[0] != 0) {
        lstrcpynW(executable, watchdogChildPath, MAX_PATH);
    } else {
        const DWORD length = GetModuleFileNameW(nullptr, executable, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            executable[length == 0 ? 0 : MAX_PATH - 1] = 0;
        }
    }
    int32_t quickExits = 0;
    for (;;) {
        const uint32_t startTick = GetTickCount();
        DWORD exitCode = 0;
        if (!runChildOnce(executable, &exitCode)) {
            Sleep(watchdogRetryMs);
            continue;
        }
        switch (exitCode) {
            case EXIT_RESTART_BOARD:
                quickExits = 0;
                continue;
            case EXIT_REBOOT_PC:
                shutdownPc(1);
                return 0;
            case EXIT_POWER_OFF_PC:
                shutdownPc(0);
                return 0;
            case EXIT_TO_DESKTOP:
                shellOpen(L"explorer.exe", nullptr);  // no window exists here: no owner
                return 0;
            default:
                break;
        }
        if (GetTickCount() - startTick < watchdogQuickLifeMs) {
            ++quickExits;
        } else {
            quickExits = 0;
        }
        Sleep(quickExits < WATCHDOG_QUICK_EXIT_LIMIT ? watchdogShortPauseMs : watchdogLongPauseMs);
    }
}
