// The kiosk watchdog ("/kiosk"): a windowless parent that starts the board
// as a "/child" process, waits for it to end and acts on its exit code:
// start it again at once (10), restart the PC (11), power it off (12), or
// hand the desktop back (13). Any other end, a crash included, restarts the
// board after a pause that grows when children keep dying soon after start.
// While a child runs, the watchdog also asks its board window every few
// seconds whether it still answers messages; a board that has stayed silent
// for a minute, or that has had no window for a minute since its start, is
// frozen, not working, so the watchdog ends it and treats that end like any
// other.
#include <windows.h>

#include <cwchar>

#include "documents/documents.h"
#include "platform/win32/wide.h"
#include "shell/kiosk.h"
#include "shell/shell.h"

WatchdogSetup gWatchdog = {{0}, 2000, 30000, 60000, 5000, 5000, 60000};

constexpr int32_t WATCHDOG_COMMAND_CAPACITY = 2 * PATH_CAPACITY + 32;

struct ChildWindowSearch {
    DWORD processId;
    HWND found;
};

static BOOL CALLBACK matchChildWindow(HWND window, LPARAM context) {
    ChildWindowSearch* search = reinterpret_cast<ChildWindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId) {
        return TRUE;
    }
    wchar_t className[BOARD_CLASS_CAPACITY];
    if (GetClassNameW(window, className, BOARD_CLASS_CAPACITY) > 0 &&
        lstrcmpW(className, BOARD_CLASS_NAME) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND findBoardWindowOf(DWORD processId) {
    ChildWindowSearch search = {processId, nullptr};
    EnumWindows(matchChildWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

static int32_t boardWindowAnswers(HWND window, uint32_t waitMs) {
    DWORD_PTR result = 0;
    const LRESULT sent =
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, waitMs, &result);
    return sent != 0 ? 1 : 0;
}

// Waits for the child to end, asking its board window at every check
// whether it still answers. Only an answer counts: a child that hangs while
// starting, before its window exists, shows no picture just as surely as a
// frozen window does, so the silence is counted from the child's start and a
// child that has no answering window for the whole hang limit is frozen. A
// board starts its window within a second or two, far inside the limit.
// Ends a frozen child; the exit code is then read like any other.
static void waitForChild(HANDLE process, DWORD processId) {
    uint32_t lastAnswerTick = GetTickCount();
    for (;;) {
        if (WaitForSingleObject(process, gWatchdog.watchdogHangCheckMs) != WAIT_TIMEOUT) {
            return;  // ended (or the handle failed: nothing left to watch)
        }
        const uint32_t waitMs = gWatchdog.watchdogHangCheckMs < WATCHDOG_ANSWER_WAIT_MS
                                    ? gWatchdog.watchdogHangCheckMs
                                    : WATCHDOG_ANSWER_WAIT_MS;
        HWND window = findBoardWindowOf(processId);
        if (window != nullptr && boardWindowAnswers(window, waitMs)) {
            lastAnswerTick = GetTickCount();
            continue;
        }
        if (GetTickCount() - lastAnswerTick >= gWatchdog.watchdogHangLimitMs) {
            // A child that ended by itself in the meantime keeps its own
            // exit code: terminating an ended process changes nothing.
            TerminateProcess(process, WATCHDOG_HUNG_EXIT_CODE);
            WaitForSingleObject(process, INFINITE);
            return;
        }
    }
}

// Starts one child and waits for it; false when it could not be started.
static bool runChildOnce(const wchar_t* executable, DWORD* exitCode) {
    wchar_t commandLine[WATCHDOG_COMMAND_CAPACITY];
    std::swprintf(commandLine, WATCHDOG_COMMAND_CAPACITY, L"\"%ls\" /child \"%ls\"", executable,
                  asWide(gSettingsFile.path));
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    const wchar_t* workingDirectory = gProcess.exeDir[0] != 0 ? asWide(gProcess.exeDir) : nullptr;
    if (!CreateProcessW(executable, commandLine, nullptr, nullptr, FALSE, 0, nullptr, workingDirectory,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    waitForChild(process.hProcess, process.dwProcessId);
    if (!GetExitCodeProcess(process.hProcess, exitCode)) {
        *exitCode = 0;
    }
    CloseHandle(process.hProcess);
    return true;
}

int32_t runWatchdog() {
    switchOffErrorBoxes();
    wchar_t executable[MAX_PATH];
    if (gWatchdog.watchdogChildPath[0] != 0) {
        lstrcpynW(executable, gWatchdog.watchdogChildPath, MAX_PATH);
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
            Sleep(gWatchdog.watchdogRetryMs);
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
        if (GetTickCount() - startTick < gWatchdog.watchdogQuickLifeMs) {
            ++quickExits;
        } else {
            quickExits = 0;
        }
        Sleep(quickExits < WATCHDOG_QUICK_EXIT_LIMIT ? gWatchdog.watchdogShortPauseMs
                                                     : gWatchdog.watchdogLongPauseMs);
    }
}
