// What the window shares with other folders: its handle and the private
// messages it understands.
#pragma once

#include <windows.h>

// The board's main window; the fetch worker posts to it.
extern HWND boardWindow;

// Posted by the fetch worker after a hand-over; both parameters 0.
constexpr UINT WM_DOCUMENT_READY = WM_APP + 1;
