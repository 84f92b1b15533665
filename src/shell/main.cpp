// Entry point of velmorant.exe. Start-up (command line, settings, window,
// worker, message loop) grows here; for now the program loads its settings
// from beside the executable and ends.
#include <windows.h>

#include "documents/documents.h"
#include "platform/win32/winstrings.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    executableDirectory(settingsPath, PATH_CAPACITY);
    appendText(settingsPath, u"velmorant.ini");
    loadSettings();
    return 0;
}
