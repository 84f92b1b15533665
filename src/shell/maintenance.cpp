// The maintenance menu: a pop-up rebuilt on every opening, so its check
// marks and greying always show the current window modes. The normal form
// switches modes and opens the settings and the server page; the kiosk form
// adds the tools an operator needs on an unattended PC and the four kiosk
// actions, which end the board with an exit code for the watchdog.
#include <windows.h>

#include <cwchar>

#include "documents/documents.h"
#include "platform/win32/wide.h"
#include "shell/kiosk.h"
#include "shell/shell.h"
#include "shell/window.h"

static void appendItem(HMENU menu, UINT id, const wchar_t* text, UINT state) {
    AppendMenuW(menu, MF_STRING | state, id, text);
}

static void appendSeparator(HMENU menu) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
}

HMENU buildMaintenanceMenu() {
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return nullptr;
    }
    if (!gSettings.kioskChild) {
        appendItem(menu, IDM_FULLSCREEN, L"全画面表示\tF11", gMode.fullscreen ? MF_CHECKED : 0);
        appendItem(menu, IDM_BORDERLESS, L"枠なしウィンドウ\tF10",
                   (gMode.borderless ? MF_CHECKED : 0) | (gMode.fullscreen ? MF_GRAYED : 0));
        appendItem(menu, IDM_TOPMOST, L"常に手前に表示\tF9", gMode.topmost ? MF_CHECKED : 0);
        appendSeparator(menu);
        appendItem(menu, IDM_SERVER_PAGE, L"サーバーの操作画面を開く(&W)", 0);
        appendItem(menu, IDM_EDIT_SETTINGS, L"設定ファイルを開く(&E)", 0);
        appendItem(menu, IDM_RELOAD_SETTINGS, L"設定を読み直す\tF5", 0);
        appendSeparator(menu);
        appendItem(menu, IDM_EXIT, L"終了(&X)", 0);
        return menu;
    }
    appendItem(menu, 0, L"保守メニュー", MF_GRAYED);
    appendSeparator(menu);
    appendItem(menu, IDM_EDIT_SETTINGS, L"設定ファイルを開く(&E)", 0);
    appendItem(menu, IDM_SERVER_PAGE, L"サーバーの操作画面を開く(&W)", 0);
    appendItem(menu, IDM_RELOAD_SETTINGS, L"設定を読み直す(&R)", 0);
    appendSeparator(menu);
    appendItem(menu, IDM_COMMAND_PROMPT, L"コマンドプロンプト(&C)", 0);
    appendItem(menu, IDM_TASK_MANAGER, L"タスクマネージャー(&T)", 0);
    appendItem(menu, IDM_EXPLORER, L"エクスプローラー(&X)", 0);
    appendSeparator(menu);
    appendItem(menu, IDM_RESTART_BOARD, L"発車標を再起動(&B)", 0);
    appendItem(menu, IDM_REBOOT_PC, L"PC を再起動(&P)", 0);
    appendItem(menu, IDM_POWER_OFF_PC, L"PC の電源を切る(&O)", 0);
    appendSeparator(menu);
    appendItem(menu, IDM_LEAVE_KIOSK, L"専用モードを終了してデスクトップへ(&Q)", 0);
    appendItem(menu, 0, L"閉じる", 0);
    return menu;
}

static void endBoard(int32_t code) {
    gProcess.exitCode = code;
    DestroyWindow(gWindow.boardWindow);
}

void runMenuCommand(UINT command) {
    switch (command) {
        case IDM_FULLSCREEN:
            toggleFullscreen();
            break;
        case IDM_BORDERLESS:
            setBorderless(!gMode.borderless);
            break;
        case IDM_TOPMOST:
            setTopmost(!gMode.topmost);
            break;
        case IDM_EDIT_SETTINGS: {
            // Quoted, so that a path with spaces reaches Notepad whole.
            wchar_t quoted[PATH_CAPACITY + 3];
            std::swprintf(quoted, PATH_CAPACITY + 3, L"\"%ls\"", asWide(gSettingsFile.path));
            shellOpen(L"notepad.exe", quoted);
            break;
        }
        case IDM_RELOAD_SETTINGS:
            reloadSettings();
            break;
        case IDM_SERVER_PAGE: {
            wchar_t address[SERVER_CAPACITY + 32];
            std::swprintf(address, SERVER_CAPACITY + 32, L"http://%ls:%d/", asWide(gSettings.settings.server),
                          gSettings.settings.port);
            shellOpen(address, nullptr);
            break;
        }
        case IDM_EXIT:
            DestroyWindow(gWindow.boardWindow);
            break;
        case IDM_COMMAND_PROMPT:
            shellOpen(L"cmd.exe", nullptr);
            break;
        case IDM_EXPLORER:
            shellOpen(L"explorer.exe", nullptr);
            break;
        case IDM_TASK_MANAGER:
            shellOpen(L"taskmgr.exe", nullptr);
            break;
        case IDM_RESTART_BOARD:
            endBoard(EXIT_RESTART_BOARD);
            break;
        case IDM_REBOOT_PC:
            if (confirmAction(L"PC を再起動しますか？")) {
                endBoard(EXIT_REBOOT_PC);
            }
            break;
        case IDM_POWER_OFF_PC:
            if (confirmAction(L"PC の電源を切りますか？")) {
                endBoard(EXIT_POWER_OFF_PC);
            }
            break;
        case IDM_LEAVE_KIOSK:
            if (confirmAction(L"専用モードを終了して、エクスプローラー（デスクトップ）を起動しますか？\n"
                              L"次にログオンしたときはまた専用モードで起動します。")) {
                endBoard(EXIT_TO_DESKTOP);
            }
            break;
        default:
            break;
    }
}

void showMaintenanceMenu(int32_t screenX, int32_t screenY) {
    HMENU menu = buildMaintenanceMenu();
    if (menu == nullptr) {
        return;
    }
    SetForegroundWindow(gWindow.boardWindow);
    const UINT command = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, screenX,
                                                          screenY, 0, gWindow.boardWindow, nullptr));
    DestroyMenu(menu);
    runMenuCommand(command);
}
