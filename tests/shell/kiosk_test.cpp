// The maintenance menu read back from the built menu, its commands with
// recorded system actions, and the watchdog against a test child whose exit
// codes, lifetimes and frozen windows each test chooses.
#include "shell/kiosk.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"
#include "shell/shell.h"
#include "testfiles.h"

namespace {

std::vector<std::wstring> openedFiles;
std::vector<std::wstring> openedParameters;
std::vector<int> shutdowns;  // 1 restart, 0 power-off
bool confirmAnswer;
std::vector<std::wstring> confirmQuestions;

struct MenuItem {
    UINT id;
    std::wstring text;
    UINT state;
};

std::vector<MenuItem> readMenu(HMENU menu) {
    std::vector<MenuItem> items;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        MenuItem item;
        item.id = GetMenuItemID(menu, i);
        wchar_t text[256] = {0};
        GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
        item.text = text;
        item.state = GetMenuState(menu, i, MF_BYPOSITION);
        items.push_back(item);
    }
    return items;
}

}  // namespace

void shellOpen(const wchar_t* file, const wchar_t* parameters) {
    openedFiles.emplace_back(file);
    openedParameters.emplace_back(parameters != nullptr ? parameters : L"");
}

void shutdownPc(int32_t restart) {
    shutdowns.push_back(restart);
}

bool confirmAction(const wchar_t* text) {
    confirmQuestions.emplace_back(text);
    return confirmAnswer;
}

TEST(MaintenanceMenu, NormalFormItemsStatesAndOrder) {
    gSettings.kioskChild = 0;
    gMode.fullscreen = 1;
    gMode.borderless = 0;
    gMode.topmost = 1;
    HMENU menu = buildMaintenanceMenu();
    ASSERT_NE(menu, nullptr);
    const std::vector<MenuItem> items = readMenu(menu);
    DestroyMenu(menu);
    const struct {
        UINT id;
        const wchar_t* text;
    } expected[] = {
        {101, L"全画面表示\tF11"},
        {102, L"枠なしウィンドウ\tF10"},
        {103, L"常に手前に表示\tF9"},
        {0, L""},
        {106, L"サーバーの操作画面を開く(&W)"},
        {104, L"設定ファイルを開く(&E)"},
        {105, L"設定を読み直す\tF5"},
        {0, L""},
        {107, L"終了(&X)"},
    };
    ASSERT_EQ(items.size(), std::size(expected));
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].id, expected[i].id) << i;
        EXPECT_EQ(items[i].text, expected[i].text) << i;
    }
    EXPECT_TRUE(items[0].state & MF_CHECKED);
    EXPECT_TRUE(items[1].state & MF_GRAYED);  // borderless greyed while full screen
    EXPECT_FALSE(items[1].state & MF_CHECKED);
    EXPECT_TRUE(items[2].state & MF_CHECKED);
    EXPECT_TRUE(items[3].state & MF_SEPARATOR);

    gMode.fullscreen = 0;
    gMode.borderless = 1;
    gMode.topmost = 0;
    menu = buildMaintenanceMenu();
    const std::vector<MenuItem> windowed = readMenu(menu);
    DestroyMenu(menu);
    EXPECT_FALSE(windowed[0].state & MF_CHECKED);
    EXPECT_FALSE(windowed[1].state & MF_GRAYED);
    EXPECT_TRUE(windowed[1].state & MF_CHECKED);
    EXPECT_FALSE(windowed[2].state & MF_CHECKED);
}

TEST(MaintenanceMenu, KioskFormItemsAndOrder) {
    gSettings.kioskChild = 1;
    HMENU menu = buildMaintenanceMenu();
    ASSERT_NE(menu, nullptr);
    const std::vector<MenuItem> items = readMenu(menu);
    DestroyMenu(menu);
    gSettings.kioskChild = 0;
    const struct {
        UINT id;
        const wchar_t* text;
    } expected[] = {
        {0, L"保守メニュー"},
        {0, L""},
        {104, L"設定ファイルを開く(&E)"},
        {106, L"サーバーの操作画面を開く(&W)"},
        {105, L"設定を読み直す(&R)"},
        {0, L""},
        {108, L"コマンドプロンプト(&C)"},
        {110, L"タスクマネージャー(&T)"},
        {109, L"エクスプローラー(&X)"},
        {0, L""},
        {111, L"発車標を再起動(&B)"},
        {112, L"PC を再起動(&P)"},
        {113, L"PC の電源を切る(&O)"},
        {0, L""},
        {114, L"専用モードを終了してデスクトップへ(&Q)"},
        {0, L"閉じる"},
    };
    ASSERT_EQ(items.size(), std::size(expected));
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].id, expected[i].id) << i;
        EXPECT_EQ(items[i].text, expected[i].text) << i;
    }
    EXPECT_TRUE(items[0].state & MF_GRAYED);
    EXPECT_FALSE(items[15].state & MF_GRAYED);
}

TEST(MaintenanceMenu, CommandsOpenProgramsAndSetExitCodes) {
    openedFiles.clear();
    openedParameters.clear();
    copyText(gSettingsFile.path, u"C:\\Station Boards\\platform 3\\velmorant.ini");
    copyText(gSettings.settings.server, u"192.168.0.10");
    gSettings.settings.port = 8020;
    runMenuCommand(IDM_EDIT_SETTINGS);
    runMenuCommand(IDM_SERVER_PAGE);
    runMenuCommand(IDM_COMMAND_PROMPT);
    runMenuCommand(IDM_TASK_MANAGER);
    runMenuCommand(IDM_EXPLORER);
    ASSERT_EQ(openedFiles.size(), 5u);
    EXPECT_EQ(openedFiles[0], L"notepad.exe");
    EXPECT_EQ(openedParameters[0], L"\"C:\\Station Boards\\platform 3\\velmorant.ini\"");
    EXPECT_EQ(openedFiles[1], L"http://192.168.0.10:8020/");
    EXPECT_EQ(openedFiles[2], L"cmd.exe");
    EXPECT_EQ(openedFiles[3], L"taskmgr.exe");
    EXPECT_EQ(openedFiles[4], L"explorer.exe");

    gProcess.exitCode = 0;
    confirmQuestions.clear();
    runMenuCommand(IDM_RESTART_BOARD);
    EXPECT_EQ(gProcess.exitCode, EXIT_RESTART_BOARD);
    EXPECT_TRUE(confirmQuestions.empty());  // asks nothing

    const struct {
        UINT command;
        int32_t code;
        const wchar_t* question;
    } confirmed[] = {
        {IDM_REBOOT_PC, EXIT_REBOOT_PC, L"PC を再起動しますか？"},
        {IDM_POWER_OFF_PC, EXIT_POWER_OFF_PC, L"PC の電源を切りますか？"},
        {IDM_LEAVE_KIOSK, EXIT_TO_DESKTOP,
         L"専用モードを終了して、エクスプローラー（デスクトップ）を起動しますか？\n"
         L"次にログオンしたときはまた専用モードで起動します。"},
    };
    for (const auto& item : confirmed) {
        gProcess.exitCode = 0;
        confirmAnswer = false;
        runMenuCommand(item.command);
        EXPECT_EQ(gProcess.exitCode, 0) << "Cancel keeps the board running";
        ASSERT_FALSE(confirmQuestions.empty());
        EXPECT_EQ(confirmQuestions.back(), item.question);
        confirmAnswer = true;
        runMenuCommand(item.command);
        EXPECT_EQ(gProcess.exitCode, item.code);
    }
    gProcess.exitCode = 0;
    runMenuCommand(0);  // "閉じる" and clicks outside the menu
    EXPECT_EQ(gProcess.exitCode, 0);
    EXPECT_TRUE(shutdowns.empty());  // the menu never shuts down by itself
}

namespace {

struct ChildRun {
    unsigned long tick;
    std::wstring directory;
    std::wstring commandLine;
};

class Watchdog : public ::testing::Test {
protected:
    void SetUp() override {
        shutdowns.clear();
        openedFiles.clear();
        // The child's working directory is gProcess.exeDir, which the test points at
        // a scratch directory with a space in its name.
        directory = makeScratchDirectory("watchdog dir");
        copyText(gProcess.exeDir, (directory + u"\\").c_str());
        copyText(gSettingsFile.path, (directory + u"\\my settings.ini").c_str());
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring childPath(self);
        childPath = childPath.substr(0, childPath.rfind(L'\\') + 1) + L"velmorant_testchild.exe";
        lstrcpynW(gWatchdog.watchdogChildPath, childPath.c_str(), MAX_PATH);
        // Pauses far enough apart that a slow child start under a busy
        // machine cannot pass for a pause, nor a pause for an "at once".
        gWatchdog.watchdogShortPauseMs = 600;
        gWatchdog.watchdogLongPauseMs = 3000;
        gWatchdog.watchdogQuickLifeMs = 1500;
        gWatchdog.watchdogRetryMs = 300;
        gWatchdog.watchdogHangCheckMs = 5000;
        gWatchdog.watchdogHangLimitMs = 60000;
    }

    void writePlan(const std::string& plan) {
        ASSERT_TRUE(writeFileBytes(joinPath(directory, u"plan.txt"), plan));
    }

    std::vector<ChildRun> runs() {
        std::vector<ChildRun> result;
        FILE* log = _wfopen(asWide((directory + u"\\runs.log").c_str()), L"r");
        if (log == nullptr) {
            return result;
        }
        wchar_t line[4096];
        while (fgetws(line, 4096, log) != nullptr) {
            std::wstring text(line);
            if (!text.empty() && text.back() == L'\n') {
                text.pop_back();
            }
            const size_t first = text.find(L'|');
            const size_t second = text.find(L'|', first + 1);
            ChildRun run;
            run.tick = std::wcstoul(text.substr(0, first).c_str(), nullptr, 10);
            run.directory = text.substr(first + 1, second - first - 1);
            run.commandLine = text.substr(second + 1);
            result.push_back(run);
        }
        fclose(log);
        return result;
    }

    std::u16string directory;
};

}  // namespace

TEST_F(Watchdog, RestartsAfterPausesAndActsOnExitCodes) {
    // 0 quick, 0 quick, 0 quick (long pause follows), 10 (at once),
    // 0 living past the quick limit (short pause again), then 11.
    writePlan("0 0\n0 0\n0 0\n10 0\n0 1700\n11 0\n");
    EXPECT_EQ(runWatchdog(), 0);
    const std::vector<ChildRun> all = runs();
    ASSERT_EQ(all.size(), 6u);
    ASSERT_EQ(shutdowns.size(), 1u);
    EXPECT_EQ(shutdowns[0], 1);
    const auto gap = [&](size_t i) { return all[i + 1].tick - all[i].tick; };
    EXPECT_GE(gap(0), 580u);  // short pause after a quick death
    EXPECT_LT(gap(0), 2900u);
    EXPECT_GE(gap(1), 580u);
    EXPECT_LT(gap(1), 2900u);
    EXPECT_GE(gap(2), 2900u);  // the third quick death: the long pause
    EXPECT_LT(gap(3), 580u);   // code 10: at once, no pause at all
    EXPECT_GE(gap(4), 1700u + 580u);
    EXPECT_LT(gap(4), 1700u + 2900u);  // a long life resets the count
    for (const ChildRun& run : all) {
        EXPECT_EQ(run.directory + L"\\", std::wstring(asWide(gProcess.exeDir)));
        EXPECT_NE(run.commandLine.find(L" /child \"" + std::wstring(asWide(gSettingsFile.path)) + L"\""),
                  std::wstring::npos)
            << "settings path with spaces arrives quoted and whole";
    }
}

TEST_F(Watchdog, PowerOffAndDesktopEndTheWatchdog) {
    writePlan("12 0\n");
    EXPECT_EQ(runWatchdog(), 0);
    ASSERT_EQ(shutdowns.size(), 1u);
    EXPECT_EQ(shutdowns[0], 0);
    EXPECT_EQ(runs().size(), 1u);

    deleteFileAt((directory + u"\\runs.log").c_str());
    writePlan("13 0\n");
    EXPECT_EQ(runWatchdog(), 0);
    ASSERT_EQ(openedFiles.size(), 1u);
    EXPECT_EQ(openedFiles[0], L"explorer.exe");
    EXPECT_EQ(shutdowns.size(), 1u);
}

TEST_F(Watchdog, RetriesAChildThatCannotBeStartedYet) {
    // The child's executable appears only after a while (a PC whose disk is
    // slow to come up): the watchdog keeps trying and starts it then.
    writePlan("11 0\n");
    const std::wstring real(gWatchdog.watchdogChildPath);
    const std::wstring late = std::wstring(asWide(directory.c_str())) + L"\\late child.exe";
    lstrcpynW(gWatchdog.watchdogChildPath, late.c_str(), MAX_PATH);
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return static_cast<DWORD>(runWatchdog()); }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(1000);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still retrying";
    EXPECT_TRUE(runs().empty());
    EXPECT_TRUE(shutdowns.empty());
    ASSERT_TRUE(CopyFileW(real.c_str(), late.c_str(), FALSE));
    ASSERT_EQ(WaitForSingleObject(thread, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD result = 99;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(runs().size(), 1u);
    ASSERT_EQ(shutdowns.size(), 1u);
    EXPECT_EQ(shutdowns[0], 1);
}

namespace {

// A board window of this test process that never answers: its thread waits
// without reading messages. A watchdog that looked at any board window
// instead of its own child's would take it for the child and end healthy
// children.
class FrozenDecoy {
public:
    FrozenDecoy() {
        ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = CreateThread(nullptr, 0, run, this, 0, nullptr);
        WaitForSingleObject(ready, 10000);
    }
    ~FrozenDecoy() {
        SetEvent(stop);
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        CloseHandle(ready);
        CloseHandle(stop);
    }
    HWND window = nullptr;

private:
    static DWORD WINAPI run(LPVOID self) {
        FrozenDecoy* decoy = static_cast<FrozenDecoy*>(self);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = BOARD_CLASS_NAME;
        RegisterClassW(&windowClass);
        decoy->window = CreateWindowExW(0, BOARD_CLASS_NAME, L"decoy", WS_POPUP, 0, 0, 10, 10, nullptr,
                                        nullptr, windowClass.hInstance, nullptr);
        SetEvent(decoy->ready);
        WaitForSingleObject(decoy->stop, INFINITE);
        DestroyWindow(decoy->window);
        return 0;
    }
    HANDLE ready;
    HANDLE stop;
    HANDLE thread;
};

}  // namespace

TEST_F(Watchdog, EndsFrozenBoardsAndCountsThemLikeAnyOtherEnd) {
    FrozenDecoy decoy;
    ASSERT_NE(decoy.window, nullptr);
    gWatchdog.watchdogHangCheckMs = 150;
    // Room for a child process to start under a busy Wine before its window
    // exists, which counts against the limit.
    gWatchdog.watchdogHangLimitMs = 2500;
    gWatchdog.watchdogQuickLifeMs = 12000;  // every run here counts as a quick one
    // Two frozen boards (one after answering for a while), a third frozen
    // board (its end is the third quick one: the long pause follows), a
    // board that answers for longer than the hang limit, a child that hangs
    // before it ever opens a window, then 11 to end the watchdog. A frozen
    // child nobody ends exits with 11 by itself after 20 s, the windowless
    // one after its 20 s of life.
    writePlan("hang 300\nhang 0\nhang 0\nwindow 0 4000\n0 20000\n11 0\n");
    EXPECT_EQ(runWatchdog(), 0);
    const std::vector<ChildRun> all = runs();
    ASSERT_EQ(all.size(), 6u) << "a frozen board was not ended, or a healthy one was";
    ASSERT_EQ(shutdowns.size(), 1u);
    const auto gap = [&](size_t i) { return all[i + 1].tick - all[i].tick; };
    // Ended after a full hang limit of silence, not at the first silent check.
    EXPECT_GE(gap(0), 300u + 2500u + 280u);
    EXPECT_LT(gap(0), 12000u);
    EXPECT_GE(gap(1), 2500u + 280u);
    EXPECT_LT(gap(1), 12000u);
    // The third frozen end in a row takes the long pause, the first two the
    // short one.
    EXPECT_GE(gap(2), 2500u + 2400u);
    EXPECT_GT(gap(2), gap(1) + 1200u);
    // An answering board is left alone for longer than the hang limit.
    EXPECT_GE(gap(3), 4000u + 2400u);
    // A child that never opens its window is ended after the hang limit.
    EXPECT_GE(gap(4), 2500u + 2400u);
    EXPECT_LT(gap(4), 15000u);
}

// Under Wine the crash-dialog setting of its debugger stands in for a PC with
// a just-in-time debugger set up: while it is on, a fault that reaches the
// system starts the debugger with its dialog, which holds the process. The
// value is put back afterwards.
class CrashDialogOn {
public:
    CrashDialogOn() {
        underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
        if (!underWine || RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\WineDbg", 0, nullptr, 0,
                                          KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            key = nullptr;
            return;
        }
        DWORD size = sizeof oldValue;
        hadValue = RegQueryValueExW(key, L"ShowCrashDialog", nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(&oldValue), &size) == ERROR_SUCCESS;
        const DWORD on = 1;
        RegSetValueExW(key, L"ShowCrashDialog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
    }
    ~CrashDialogOn() {
        if (key == nullptr) {
            return;
        }
        if (hadValue) {
            RegSetValueExW(key, L"ShowCrashDialog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&oldValue),
                           sizeof oldValue);
        } else {
            RegDeleteValueW(key, L"ShowCrashDialog");
        }
        RegCloseKey(key);
    }
    bool underWine = false;

private:
    HKEY key = nullptr;
    DWORD oldValue = 0;
    bool hadValue = false;
};

TEST_F(Watchdog, AFaultingKioskProcessEndsAtOnceWithTheFaultCode) {
    // A child that switches off error boxes as the kiosk processes do, then
    // faults: it must end by itself with the access violation's code, with
    // no debugger or dialog holding it, so that the watchdog can restart it.
    writePlan("fault\n");
    CrashDialogOn crashDialog;
    std::wstring command = L"\"" + std::wstring(gWatchdog.watchdogChildPath) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(gWatchdog.watchdogChildPath, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               asWide(directory.c_str()), &startup, &child));
    const DWORD waited = WaitForSingleObject(child.hProcess, 20000);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the faulting child was held"
                                     << (crashDialog.underWine ? " (Wine)" : "");
    EXPECT_EQ(code, 0xC0000005u);
    EXPECT_EQ(runs().size(), 1u);
}

TEST(ErrorBoxes, SwitchedOffForTheProcess) {
    switchOffErrorBoxes();
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    EXPECT_EQ(mode & (SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX),
              static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX));
    // Where the system has the reporting call it is made and succeeds; where
    // it can also read the flags back, the dialog is off.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (GetProcAddress(kernel, "WerSetFlags") != nullptr) {
        EXPECT_EQ(switchOffFaultReportingUi(kernel), 1);
        using WerGetFlagsCall = HRESULT(WINAPI*)(HANDLE, DWORD*);
        const FARPROC found = GetProcAddress(kernel, "WerGetFlags");
        DWORD flags = 0;
        if (found != nullptr && SUCCEEDED(reinterpret_cast<WerGetFlagsCall>(
                                    reinterpret_cast<void (*)()>(found))(GetCurrentProcess(), &flags))) {
            EXPECT_NE(flags & 0x20u, 0u) << "WER_FAULT_REPORTING_NO_UI";
        }
    }
    // A system library without the reporting call, or none at all: nothing
    // is called and nothing fails.
    EXPECT_EQ(switchOffFaultReportingUi(GetModuleHandleW(L"user32.dll")), 0);
    EXPECT_EQ(switchOffFaultReportingUi(nullptr), 0);
}
