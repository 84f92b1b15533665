// The board window's procedure driven the way Windows drives it: its first
// WM_SIZE inside CreateWindowExW, the daily restart from the housekeeping
// tick, a new monitor scale, close requests sent by another process to a kiosk board and to a
// normal one (minimised or not, with its placement file), and the
// maintenance menu opened from the keyboard. Also the fetch worker's post
// to the window from its own thread, and the manifest that the built
// executable carries.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "platform/win32/wide.h"
#include "render/render.h"
#include "serverlink/serverlink.h"
#include "shell/shell.h"
#include "shell/window.h"
#include "testfiles.h"

namespace {

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

const wchar_t BOARD_TEST_CLASS[] = L"VelmorantProcTest";

HWND createBoard() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = boardWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = BOARD_TEST_CLASS;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, BOARD_TEST_CLASS, L"proc test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 60, 40, 500,
                           200, nullptr, nullptr, windowClass.hInstance, nullptr);
}

// The whole file, or nothing when it is missing.
std::string fileBytes(const char16_t* path) {
    std::string bytes;
    if (FILE* file = _wfopen(asWide(path), L"rb")) {
        char chunk[512];
        size_t got = 0;
        while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.append(chunk, got);
        }
        fclose(file);
    }
    return bytes;
}

bool hasUpdate(HWND window) {
    return GetUpdateRect(window, nullptr, FALSE) != 0;
}

// Dispatches this thread's messages until the process ends (a process that
// sends to our windows waits for us to read its messages).
void pumpUntilEnded(HANDLE process) {
    for (int i = 0; i < 400; ++i) {
        if (MsgWaitForMultipleObjects(1, &process, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0) {
            return;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

// The watchdog's test child, told by its plan to send close requests to a
// window of this process.
void closeFromAnotherProcess(HWND window, const std::u16string& directory) {
    ASSERT_TRUE(writeFileBytes(joinPath(directory, u"plan.txt"),
                               "close " + std::to_string(reinterpret_cast<uintptr_t>(window)) + "\n"));
    deleteFileAt(joinPath(directory, u"runs.log").c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring child(self);
    child = child.substr(0, child.rfind(L'\\') + 1) + L"velmorant_testchild.exe";
    std::wstring command = L"\"" + child + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(child.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               asWide(directory.c_str()), &startup, &process));
    pumpUntilEnded(process.hProcess);
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(code, 0u) << "the child could not send both requests";
}

// System commands that reached the default window procedure: it reports
// each one to the thread's CBT hook before acting on it, and the hook stops
// it there, so no screen saver or monitor power-off really starts.
int defaultSystemCommands;
LRESULT CALLBACK countSystemCommand(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_SYSCOMMAND) {
        ++defaultSystemCommands;
        return 1;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// How many of these system commands the board passed on to the default
// handling.
int passedOn(HWND board, std::initializer_list<WPARAM> commands) {
    HHOOK hook = SetWindowsHookExW(WH_CBT, countSystemCommand, nullptr, GetCurrentThreadId());
    defaultSystemCommands = 0;
    for (WPARAM command : commands) {
        SendMessageW(board, WM_SYSCOMMAND, command, 0);
    }
    UnhookWindowsHookEx(hook);
    return defaultSystemCommands;
}

POINT menuCorner;
void CALLBACK readOpenMenu(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    HWND menu = FindWindowW(L"#32768", nullptr);
    RECT rect = {-1, -1, -1, -1};
    if (menu != nullptr && GetWindowRect(menu, &rect)) {
        menuCorner = {rect.left, rect.top};
    }
    EndMenu();
}

}  // namespace

TEST(BoardWindowProc, SizeRestartCloseRequestsAndKeyboardMenu) {
    const std::u16string directory = makeScratchDirectory("window proc");
    copyText(gSettingsFile.path, (directory + u"\\absent.ini").c_str());
    copyText(gProcess.placementPath, (directory + u"\\absent.ini.pos").c_str());
    gSettings.kioskChild = 0;
    gMode.fullscreen = 0;
    gMode.borderless = 0;
    gMode.topmost = 0;
    gProcess.exitCode = 0;

    // Another visible window on the desktop, freshly painted. An invalidation
    // of no window at all would mark it for repainting, as this shows.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    InvalidateRect(nullptr, nullptr, FALSE);
    const bool probeWorks = hasUpdate(other);
    ValidateRect(other, nullptr);
    ASSERT_FALSE(hasUpdate(other));

    // The first WM_SIZE comes inside CreateWindowExW, before gWindow.boardWindow is
    // set: it lays the board out for the real client size and repaints only
    // the board.
    gWindow.boardWindow = nullptr;
    HWND board = createBoard();
    ASSERT_NE(board, nullptr);
    gWindow.boardWindow = board;
    RECT client = {0, 0, 0, 0};
    GetClientRect(board, &client);
    EXPECT_EQ(gRender.boardSurface.width, client.right);
    EXPECT_EQ(gRender.boardSurface.height, client.bottom);
    if (probeWorks) {
        EXPECT_FALSE(hasUpdate(other)) << "the board's first size repainted the whole desktop";
    }
    DestroyWindow(other);

    // The maintenance menu opened from the keyboard (menu key: both
    // coordinates -1) opens at the client area's top-left corner.
    menuCorner = {-1, -1};
    SetTimer(nullptr, 0, 300, readOpenMenu);
    SendMessageW(board, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(board), MAKELPARAM(-1, -1));
    POINT corner = {0, 0};
    ClientToScreen(board, &corner);
    EXPECT_EQ(menuCorner.x, corner.x);
    EXPECT_EQ(menuCorner.y, corner.y);

    // A new monitor scale: the board takes the rectangle the system suggests,
    // and a full-screen board covers its monitor again.
    RECT suggested = {100, 80, 700, 330};
    SendMessageW(board, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    RECT now = {0, 0, 0, 0};
    GetWindowRect(board, &now);
    EXPECT_TRUE(EqualRect(&now, &suggested));
    setFullscreen(1);
    RECT monitor = {0, 0, 0, 0};
    GetWindowRect(board, &monitor);
    SendMessageW(board, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
    GetWindowRect(board, &now);
    EXPECT_TRUE(EqualRect(&now, &monitor));
    setFullscreen(0);

    // "スリープ防止" refuses the screen saver and monitor power-off; without it
    // they take their normal course.
    gSettings.settings.preventSleep = 1;
    EXPECT_EQ(passedOn(board, {SC_SCREENSAVE, SC_MONITORPOWER | 2}), 0);
    gSettings.settings.preventSleep = 0;
    EXPECT_EQ(passedOn(board, {SC_SCREENSAVE, SC_MONITORPOWER | 2}), 2);
    gSettings.settings.preventSleep = 1;

    // A kiosk board refuses WM_CLOSE and SC_CLOSE, from another process too.
    gSettings.kioskChild = 1;
    EXPECT_EQ(passedOn(board, {SC_CLOSE}), 0);
    closeFromAnotherProcess(board, directory);
    EXPECT_TRUE(IsWindow(board)) << "a kiosk board was closed from outside";

    // Daily restart: at the set minute, but only after the hold-off from the
    // start of the process.
    gSettings.settings.dailyRestartMinute = -1;
    SendMessageW(board, WM_TIMER, TIMER_HOUSEKEEPING, 0);
    for (int attempt = 0; attempt < 3 && IsWindow(board); ++attempt) {
        SYSTEMTIME local;
        GetLocalTime(&local);
        gSettings.settings.dailyRestartMinute = local.wHour * 60 + local.wMinute;
        gProcess.startTick = GetTickCount() - DAILY_RESTART_HOLD_OFF_MS + 5000;
        SendMessageW(board, WM_TIMER, TIMER_HOUSEKEEPING, 0);
        ASSERT_TRUE(IsWindow(board)) << "restarted within the hold-off";
        gSettings.settings.dailyRestartMinute = (local.wHour * 60 + local.wMinute + 1) % 1440;
        gProcess.startTick = GetTickCount() - DAILY_RESTART_HOLD_OFF_MS - 5000;
        SendMessageW(board, WM_TIMER, TIMER_HOUSEKEEPING, 0);
        ASSERT_TRUE(IsWindow(board)) << "restarted at another minute";
        gSettings.settings.dailyRestartMinute = local.wHour * 60 + local.wMinute;
        SendMessageW(board, WM_TIMER, TIMER_HOUSEKEEPING, 0);
    }
    EXPECT_FALSE(IsWindow(board));
    EXPECT_EQ(gProcess.exitCode, EXIT_REBOOT_PC);
    MSG quit = {};
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(quit.wParam, static_cast<WPARAM>(EXIT_REBOOT_PC));

    // The same requests do reach a normal window, which closes and saves
    // its placement; closed while minimised, it leaves the file as it was.
    gSettings.kioskChild = 0;
    for (const bool minimised : {false, true}) {
        gProcess.exitCode = 0;
        board = createBoard();
        ASSERT_NE(board, nullptr);
        gWindow.boardWindow = board;
        if (minimised) {
            ShowWindow(board, SW_MINIMIZE);
            ASSERT_TRUE(IsIconic(board));
        }
        const std::string before = fileBytes(gProcess.placementPath);
        closeFromAnotherProcess(board, directory);
        EXPECT_FALSE(IsWindow(board));
        const std::string after = fileBytes(gProcess.placementPath);
        if (minimised) {
            EXPECT_EQ(after, before) << "the placement file changed at an exit while minimised";
        } else {
            EXPECT_TRUE(before.empty());
            EXPECT_EQ(GetPrivateProfileIntW(L"window", L"x", -1, asWide(gProcess.placementPath)), 60u);
        }
        while (PeekMessageW(&quit, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    gWindow.boardWindow = nullptr;
    gSettings.settings.dailyRestartMinute = -1;
}

// The post the shell hands to the fetch worker: a WM_DOCUMENT_READY sent
// from another thread arrives in the queue of the thread that owns the board
// window, with both parameters 0, one for each hand-over.
TEST(DocumentReadyPost, ReachesTheWindowFromTheWorkerThread) {
    EXPECT_EQ(WM_DOCUMENT_READY, 0x8001u);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VelmorantPostTest";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    gWindow.boardWindow = CreateWindowExW(0, L"VelmorantPostTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          windowClass.hInstance, nullptr);
    ASSERT_NE(gWindow.boardWindow, nullptr);

    setDocumentReadyPost(postDocumentReadyToWindow);
    const PlatformThread worker = startThread(
        [](void*) {
            postDocumentReady();
            postDocumentReady();
        },
        nullptr);
    ASSERT_NE(worker, 0);
    waitForThread(worker);

    int received = 0;
    MSG message;
    while (PeekMessageW(&message, gWindow.boardWindow, WM_DOCUMENT_READY, WM_DOCUMENT_READY, PM_REMOVE)) {
        EXPECT_EQ(message.wParam, 0u);
        EXPECT_EQ(message.lParam, 0);
        ++received;
    }
    EXPECT_EQ(received, 2);
    DestroyWindow(gWindow.boardWindow);
    gWindow.boardWindow = nullptr;
    setDocumentReadyPost(nullptr);
}

TEST(Executable, CarriesItsManifest) {
    HMODULE exe = LoadLibraryExW(L"Z:" VELMORANT_EXE_PATH_WIDE, nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr);
    HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no manifest resource";
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    ASSERT_NE(bytes, nullptr);
    const std::string manifest(bytes, SizeofResource(exe, found));
    FreeLibrary(exe);
    for (const char* wanted :
         {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
          ">PerMonitorV2, PerMonitor</dpiAwareness>", ">true/pm</dpiAware>"}) {
        EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
    }
    EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
}
