// Entry point and start-up of velmorant.exe. The command line picks one of
// four ways to run: an immediate PC restart, the kiosk watchdog, a snapshot,
// or the board window (normal or kiosk child). The board window's start-up
// prepares the shared state, creates the window and the fetch worker, starts
// the two timers and runs the message loop; its result is the exit code the
// watchdog reads.
#include <windows.h>

#include <shellapi.h>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "platform/win32/wide.h"
#include "platform/win32/winstrings.h"
#include "render/bootscreen.h"
#include "render/newstyle.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "serverlink/serverlink.h"
#include "shell/boot.h"
#include "shell/kiosk.h"
#include "shell/shell.h"
#include "shell/window.h"

static const wchar_t BOARD_TITLE[] = L"発車標";
static const wchar_t MISSING_SETTINGS_NOTICE[] =
    L"velmorant.ini が見つからないので、127.0.0.1:8020 のサーバーにつなぎます。";

constexpr int32_t CLIENT_MARGIN_DOTS = 4;
constexpr int32_t DOT_PITCH_PIXELS = 3;
constexpr int32_t ROW_PIXELS = 48;
constexpr int32_t HEADER_PIXELS = 42;
constexpr int32_t BOOT_SNAPSHOT_WIDTH = 800;
constexpr int32_t BOOT_SNAPSHOT_HEIGHT = 600;
constexpr int32_t NOT_STORED = static_cast<int32_t>(0x80000000u);

static int32_t placementInt(const wchar_t* key, int32_t fallback) {
    return static_cast<int32_t>(
        GetPrivateProfileIntW(L"window", key, fallback, asWide(gProcess.placementPath)));
}

static void reportToStandardError(const char* line) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(error, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    }
}

// A board without its window, its fetch worker or its timers would show
// nothing and never recover, so start-up ends the process instead: a kiosk
// child silently (the watchdog starts a new board after its pause), a
// snapshot run with a line on standard error (a script waits for it, not a
// person), a board an operator started with one box saying what failed.
static int32_t failStart(const wchar_t* what, const char* line, bool snapshot) {
    if (snapshot) {
        reportToStandardError(line);
    } else if (!gSettings.kioskChild) {
        MessageBoxW(gWindow.boardWindow, what, BOARD_TITLE, MB_ICONERROR);
    }
    return EXIT_START_FAILED;
}

static DWORD WINAPI fetchWorkerThread(LPVOID) {
    fetchWorker();
    return 0;
}

// The board window's client size before any document: the defaults always
// give 780 x 138 (dot pitch 3); a snapshot of the boot screen is 800 x 600.
static void computeClientSize(bool snapshot, int32_t* width, int32_t* height) {
    *width = (gDocuments.currentDocument.width + CLIENT_MARGIN_DOTS) * DOT_PITCH_PIXELS;
    *height = gDocuments.currentDocument.rows * ROW_PIXELS + HEADER_PIXELS;
    if (snapshot && gBoot.active) {
        *width = BOOT_SNAPSHOT_WIDTH;
        *height = BOOT_SNAPSHOT_HEIGHT;
    }
}

static void registerBoardClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = boardWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = BOARD_CLASS_NAME;
    RegisterClassExW(&windowClass);
}

static void startKioskChild() {
    updateTitle();
    ShowWindow(gWindow.boardWindow, SW_SHOW);
    setFullscreen(1);
    SetForegroundWindow(gWindow.boardWindow);
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
    RegisterHotKey(gWindow.boardWindow, HOTKEY_MAINTENANCE, MOD_ALT | MOD_CONTROL | MOD_SHIFT, VK_F12);
}

static void startNormalWindow(int32_t storedX, int32_t storedY, int32_t width, int32_t height) {
    if (storedX == NOT_STORED) {
        RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        const int32_t left = work.left + (work.right - work.left - width) / 2;
        const int32_t top = work.top + (work.bottom - work.top - height) / 2;
        SetWindowPos(gWindow.boardWindow, nullptr, left, top, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
    } else {
        SetWindowPos(gWindow.boardWindow, nullptr, storedX, storedY == NOT_STORED ? 0 : storedY, 0, 0,
                     SWP_NOZORDER | SWP_NOSIZE);
    }
    updateTitle();
    ShowWindow(gWindow.boardWindow, SW_SHOW);
    if (placementInt(L"fullscreen", 0) != 0) {
        setFullscreen(1);
    }
    if (!gSettingsFile.found) {
        MessageBoxW(gWindow.boardWindow, MISSING_SETTINGS_NOTICE, BOARD_TITLE, MB_ICONINFORMATION);
    }
}

// The state the board keeps for its whole life, set up in this order (what
// the command line decides - gSettings.kioskChild, gSettingsFile.path,
// gMelody.melodyBaseDir - is already in place): the hand-over lock (gLink)
// and the functions the lower layers reach the shell and the server link
// through (handed down before anything can call them), the text scratch, the
// settings (settings, gSettings.serverAnsi), gSystemInfo, the boot screen
// (gBoot), the LED fonts, the shown document (gDocuments.currentDocument)
// with its presented dot frame (gRender) and the panel's composers
// (gPanelComposers), and the window's mode (gMode). runBoardWindow then
// creates the window (gWindow.boardWindow), whose first layout makes the
// board surface and its layout (gRender), and starts the fetch worker.
static void createBoardState() {
    socketStartup();
    lockInit(&gLink.handoverLock);
    setSettingsPublisher(publishConnectionSettings);
    setDocumentReadyPost(postDocumentReadyToWindow);
    createTextScratch();
    loadSettings();
    collectSystemInfo();
    gBoot.active = gSettings.settings.bootScreen ? 1 : 0;
    gBoot.startTick = tickCount();
    gBoot.readyTick = 0;
    createLedFonts();
    resetToClassicDefaults(&gDocuments.currentDocument);
    invalidatePresentedFrame();
    forgetClassicScroll(&gPanelComposers.classic);
    resetNewStyleScroll();
    if (!gSettings.kioskChild) {
        gMode.borderless = placementInt(L"borderless", 0) != 0 ? 1 : 0;
        gMode.topmost = placementInt(L"topmost", 0) != 0 ? 1 : 0;
    }
}

static int32_t runBoardWindow(HINSTANCE instance, const char16_t* snapshotPath, int32_t snapshotMs) {
    if (gSettings.kioskChild) {
        switchOffErrorBoxes();
    }
    createBoardState();
    registerBoardClass(instance);
    const bool snapshot = snapshotPath[0] != 0;
    int32_t clientWidth = 0;
    int32_t clientHeight = 0;
    computeClientSize(snapshot, &clientWidth, &clientHeight);
    const DWORD style = windowStyleForMode() & ~static_cast<DWORD>(WS_VISIBLE);
    RECT outer = {0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&outer, style, FALSE, 0);
    const int32_t outerWidth = outer.right - outer.left;
    const int32_t outerHeight = outer.bottom - outer.top;
    const int32_t storedX = gSettings.kioskChild ? NOT_STORED : placementInt(L"x", NOT_STORED);
    const int32_t storedY = gSettings.kioskChild ? NOT_STORED : placementInt(L"y", NOT_STORED);
    const int32_t width = placementInt(L"w", outerWidth);
    const int32_t height = placementInt(L"h", outerHeight);
    gWindow.boardWindow =
        CreateWindowExW(gMode.topmost ? WS_EX_TOPMOST : 0, BOARD_CLASS_NAME, BOARD_TITLE, style,
                        storedX == NOT_STORED ? CW_USEDEFAULT : storedX, storedY == NOT_STORED ? 0 : storedY,
                        width, height, nullptr, nullptr, instance, nullptr);
    if (gWindow.boardWindow == nullptr) {
        return failStart(L"発車標のウィンドウを作成できませんでした。",
                         "velmorant: the board window could not be created\n", snapshot);
    }
    // The worker runs for the life of the process; nothing waits on it, so
    // its handle is closed at once.
    HANDLE worker = CreateThread(nullptr, 0, fetchWorkerThread, nullptr, 0, nullptr);
    if (worker == nullptr) {
        return failStart(L"サーバーとの通信を始められませんでした。",
                         "velmorant: the fetch worker could not be started\n", snapshot);
    }
    CloseHandle(worker);
    if (snapshot) {
        SetWindowPos(gWindow.boardWindow, nullptr, 0, 0, outerWidth, outerHeight,
                     SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOMOVE);
        if (!runSnapshot(snapshotPath, snapshotMs)) {
            reportToStandardError("velmorant: the snapshot file could not be written\n");
            return 1;
        }
        return 0;
    }
    if (gSettings.kioskChild) {
        startKioskChild();
    } else {
        startNormalWindow(storedX, storedY, width, height);
    }
    relayoutBoard();
    composeClassicBoard(tickCount(), currentBoardStatus());
    if (SetTimer(gWindow.boardWindow, TIMER_FRAME, FRAME_INTERVAL_MS, nullptr) == 0 ||
        SetTimer(gWindow.boardWindow, TIMER_HOUSEKEEPING, HOUSEKEEPING_INTERVAL_MS, nullptr) == 0) {
        return failStart(L"発車標のタイマーを設定できませんでした。", "", false);
    }
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int32_t>(message.wParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argumentCount = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments == nullptr) {
        argumentCount = 0;
    }
    gProcess.startTick = tickCount();
    executableDirectory(gProcess.exeDir, PATH_CAPACITY);
    copyText(gMelody.melodyBaseDir, gProcess.exeDir);
    char16_t snapshotPath[PATH_CAPACITY] = {0};
    copyText(gSettingsFile.path, gProcess.exeDir);
    appendText(gSettingsFile.path, u"velmorant.ini");

    CommandLine line;
    readCommandLine(argumentCount, reinterpret_cast<char16_t* const*>(arguments), &line);
    if (line.reboot) {
        shutdownPc(1);
        return 0;
    }
    if (line.settingsFile != nullptr) {
        fullPathOf(line.settingsFile, gSettingsFile.path, PATH_CAPACITY);
    }
    if (line.snapshotFile != nullptr) {
        fullPathOf(line.snapshotFile, snapshotPath, PATH_CAPACITY);
    }
    gSettings.kioskChild = line.child;
    if (arguments != nullptr) {
        LocalFree(arguments);
    }
    buildPlacementPath(gSettingsFile.path, gProcess.placementPath, PATH_CAPACITY);
    if (line.kiosk) {
        return runWatchdog();
    }
    return runBoardWindow(instance, snapshotPath, line.snapshotMs);
}
