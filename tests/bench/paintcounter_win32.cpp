// The repaint counter of the paint-counting variant of the board (built only
// as velmorant_paintcount.exe, never into velmorant.exe). Every WM_PAINT adds
// one to a 32-bit little-endian counter in a small file beside the
// executable, "<exe>.paints", held in a shared file mapping, so a script on
// the host can read how often the board painted without touching the board
// or anything it shows. The file is mapped at the first paint.
#include <windows.h>

#include "shell/shell.h"

static volatile LONG* paintCounter = nullptr;
static bool paintCounterTried = false;

static void openPaintCounter() {
    paintCounterTried = true;
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    lstrcpyW(path + length, L".paints");
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    if (mapping == nullptr) {
        CloseHandle(file);
        return;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 4096);
    if (view != nullptr) {
        paintCounter = static_cast<volatile LONG*>(view);
    }
}

void countPaint() {
    if (!paintCounterTried) {
        openPaintCounter();
    }
    if (paintCounter != nullptr) {
        InterlockedIncrement(paintCounter);
    }
}
