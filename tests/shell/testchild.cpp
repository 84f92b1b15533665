// A stand-in for the board child in the watchdog tests. Each start appends
// one line to runs.log in its working directory (start tick, working
// directory, command line), then follows line N of plan.txt, where N counts
// earlier starts:
//   "code ms"          live ms milliseconds without a window, exit with code
//   "window code ms"   open a board window, answer its messages for ms
//                      milliseconds, exit with code
//   "hang ms"          open a board window, answer for ms milliseconds, then
//                      stop answering: a frozen board. If nobody ends it
//                      within HANG_BOUND_MS it exits with 11, which ends the
//                      watchdog under test early and so fails the test
//                      instead of hanging it.
//   "fault"            switch off error boxes as a kiosk process does, then
//                      write through an invalid address
//   "close hwnd"       send SC_CLOSE and then WM_CLOSE to the window whose
//                      handle is given in decimal; exit 0 when the first
//                      request was delivered
// With no plan line left it exits with 11 so the watchdog under test ends.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "shell/kiosk.h"

static const DWORD HANG_BOUND_MS = 20000;

static HWND openBoardWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = BOARD_CLASS_NAME;
    RegisterClassW(&windowClass);
    // Hidden, but a top-level window like the board's.
    return CreateWindowExW(0, BOARD_CLASS_NAME, L"test board", WS_POPUP, 0, 0, 100, 50, nullptr, nullptr,
                           windowClass.hInstance, nullptr);
}

static void answerMessagesFor(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD passed = GetTickCount() - start;
        if (passed >= ms) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - passed, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

int wmain() {
    int runs = 0;
    if (FILE* log = _wfopen(L"runs.log", L"r")) {
        wchar_t line[2048];
        while (fgetws(line, 2048, log) != nullptr) {
            ++runs;
        }
        fclose(log);
    }
    wchar_t directory[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, directory);
    if (FILE* log = _wfopen(L"runs.log", L"a")) {
        fwprintf(log, L"%lu|%ls|%ls\n", GetTickCount(), directory, GetCommandLineW());
        fclose(log);
    }
    wchar_t step[256] = L"11 0";
    if (FILE* plan = _wfopen(L"plan.txt", L"r")) {
        for (int i = 0; i <= runs; ++i) {
            if (fgetws(step, 256, plan) == nullptr) {
                lstrcpyW(step, L"11 0");
                break;
            }
        }
        fclose(plan);
    }
    int code = 11;
    int lifeMs = 0;
    if (wcsncmp(step, L"fault", 5) == 0) {
        switchOffErrorBoxes();
        // Through a volatile, so the compiler cannot see the address and put
        // a trap instruction in place of the store.
        volatile uintptr_t address = 0x10;
        *reinterpret_cast<volatile int*>(address) = 1;
        return 11;
    }
    unsigned long long handle = 0;
    if (swscanf(step, L"close %llu", &handle) == 1) {
        HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
        DWORD_PTR result = 0;
        const bool sent =
            SendMessageTimeoutW(window, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, 5000, &result) != 0;
        if (IsWindow(window)) {
            SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, 5000, &result);
        }
        return sent ? 0 : 1;
    }
    if (swscanf(step, L"hang %d", &lifeMs) == 1) {
        if (openBoardWindow() == nullptr) {
            return 11;
        }
        answerMessagesFor(static_cast<DWORD>(lifeMs));
        Sleep(HANG_BOUND_MS);
        return 11;
    }
    if (swscanf(step, L"window %d %d", &code, &lifeMs) == 2) {
        if (openBoardWindow() == nullptr) {
            return 11;
        }
        answerMessagesFor(static_cast<DWORD>(lifeMs));
        return code;
    }
    if (swscanf(step, L"%d %d", &code, &lifeMs) != 2) {
        code = 11;
        lifeMs = 0;
    }
    Sleep(static_cast<DWORD>(lifeMs));
    return code;
}
