// The fault switch of the crashing variant of the board (built only as
// velmorant_crashswitch.exe for the kiosk recovery test, never into
// velmorant.exe). A thread started before the program's own start-up looks
// every 100 ms for a file beside the executable, "<exe>.crash". When the file
// holds this process's id, the thread removes it and writes through an
// invalid address: a genuine access violation that nothing in the board
// handles, so the process ends the way a crashing board would. Any other
// process of the same executable (the kiosk watchdog above all) leaves the
// file alone.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

namespace {

wchar_t switchPath[MAX_PATH + 8];

bool switchNamesThisProcess() {
    HANDLE file =
        CreateFileW(switchPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char text[32] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(file, text, sizeof(text) - 1, &got, nullptr);
    CloseHandle(file);
    if (!read || got == 0) {
        return false;
    }
    text[got] = 0;
    return std::strtoul(text, nullptr, 10) == GetCurrentProcessId();
}

DWORD WINAPI watchSwitch(LPVOID) {
    for (;;) {
        Sleep(100);
        if (switchNamesThisProcess()) {
            DeleteFileW(switchPath);
            // Read from a volatile so the compiler cannot see the address and
            // put a trap instruction in place of the store.
            volatile uintptr_t address = 0x10;
            *reinterpret_cast<volatile int*>(address) = 1;
        }
    }
}

struct CrashSwitch {
    CrashSwitch() {
        const DWORD length = GetModuleFileNameW(nullptr, switchPath, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            return;
        }
        lstrcpyW(switchPath + length, L".crash");
        HANDLE thread = CreateThread(nullptr, 0, watchSwitch, nullptr, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
};

CrashSwitch crashSwitch;

}  // namespace
