// The command line of velmorant.exe: which way the process runs (PC restart,
// kiosk watchdog, kiosk child, snapshot, board window) and which settings
// file it reads. Switches are compared without regard to case; anything that
// is not a switch names the settings file, the last one winning.
#include "documents/documents.h"
#include "shell/shell.h"

ProcessState gProcess;

void readCommandLine(int32_t count, char16_t* const* arguments, CommandLine* line) {
    line->reboot = 0;
    line->kiosk = 0;
    line->child = 0;
    line->snapshotFile = nullptr;
    line->snapshotMs = 0;
    line->settingsFile = nullptr;
    if (arguments == nullptr) {
        return;
    }
    for (int32_t i = 1; i < count; ++i) {
        const char16_t* argument = arguments[i];
        if (argument == nullptr) {
            continue;
        }
        if (textEqualsIgnoringAsciiCase(argument, u"/reboot")) {
            line->reboot = 1;
            return;
        }
        if (textEqualsIgnoringAsciiCase(argument, u"/kiosk")) {
            line->kiosk = 1;
        } else if (textEqualsIgnoringAsciiCase(argument, u"/child")) {
            line->child = 1;
        } else if (textEqualsIgnoringAsciiCase(argument, u"/snap") && i + 2 < count &&
                   arguments[i + 1] != nullptr && arguments[i + 2] != nullptr) {
            line->snapshotFile = arguments[i + 1];
            line->snapshotMs = parseInt(arguments[i + 2], 0);
            i += 2;
        } else {
            line->settingsFile = argument;
        }
    }
}

void buildPlacementPath(const char16_t* settingsFilePath, char16_t* out, int32_t capacity) {
    constexpr int32_t SETTINGS_PART = 255;
    char16_t cut[SETTINGS_PART + 1];
    copyText(cut, SETTINGS_PART + 1, settingsFilePath);
    copyText(out, capacity, cut);
    appendText(out, capacity, u".pos");
}
