// The board window and the private messages of the program. The fetch
// worker only ever posts WM_DOCUMENT_READY; everything else here belongs to
// the main thread.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr UINT WM_DOCUMENT_READY = WM_APP + 1;

// The board window's class, which the watchdog and the test tools look for.
constexpr wchar_t BOARD_CLASS_NAME[] = L"VelmorantBoard";

extern HWND boardWindow;

// Posts WM_DOCUMENT_READY to boardWindow; any thread may call it. Handed to
// the fetch worker at start.
void postDocumentReadyToWindow();

LRESULT CALLBACK boardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The client size of the board window (0 x 0 before it exists).
void boardClientSize(int32_t* width, int32_t* height);

// Hooks for the kiosk parts (maintenance menu, boot screen).
void showMaintenanceMenu(int32_t screenX, int32_t screenY);
