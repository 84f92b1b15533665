// Fuzz entry for the command-line reader: any list of arguments (split at
// zero units of the input). The switches found must be the ones present,
// the settings file and snapshot file must point at real arguments, and
// "/reboot" ends the reading.
#include <cstddef>
#include <cstdint>

#include "documents/documents.h"
#include "shell/shell.h"

static bool isSwitch(const char16_t* a, const char16_t* name) {
    return textEqualsIgnoringAsciiCase(a, name);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) {
        return 0;
    }
    constexpr int32_t MAX_ARGUMENTS = 64;
    static char16_t units[2048 + MAX_ARGUMENTS + 2];
    static char16_t* arguments[MAX_ARGUMENTS];
    static char16_t program[] = u"velmorant.exe";
    int32_t count = 1;
    arguments[0] = program;
    size_t used = 0;
    const size_t total = size / 2;
    char16_t* start = units;
    for (size_t i = 0; i < total && count < MAX_ARGUMENTS; ++i) {
        const auto unit = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (unit == 0) {
            units[used++] = 0;
            arguments[count++] = start;
            start = units + used;
        } else {
            units[used++] = unit;
        }
    }
    if (count < MAX_ARGUMENTS && start != units + used) {
        units[used++] = 0;
        arguments[count++] = start;
    }

    CommandLine line;
    readCommandLine(count, arguments, &line);

    // Every switch found is present, and the two file names point at
    // arguments that were given (an argument after "/snap" may be taken as
    // its file, so no finer rule is checked here).
    bool anyKiosk = false;
    bool anyChild = false;
    bool anyReboot = false;
    bool settingsFound = line.settingsFile == nullptr;
    bool snapshotFound = line.snapshotFile == nullptr;
    for (int32_t i = 1; i < count; ++i) {
        anyReboot = anyReboot || isSwitch(arguments[i], u"/reboot");
        anyKiosk = anyKiosk || isSwitch(arguments[i], u"/kiosk");
        anyChild = anyChild || isSwitch(arguments[i], u"/child");
        settingsFound = settingsFound || line.settingsFile == arguments[i];
        snapshotFound = snapshotFound || line.snapshotFile == arguments[i];
    }
    if ((line.reboot && !anyReboot) || (line.kiosk && !anyKiosk) || (line.child && !anyChild)) {
        __builtin_trap();
    }
    if (!settingsFound || !snapshotFound) {
        __builtin_trap();
    }
    // "/reboot" ends the reading: a settings file taken must stand before
    // some "/reboot".
    if (line.reboot && line.settingsFile != nullptr) {
        int32_t settingsAt = -1;
        int32_t lastReboot = -1;
        for (int32_t i = 1; i < count; ++i) {
            if (arguments[i] == line.settingsFile) {
                settingsAt = i;
            }
            if (isSwitch(arguments[i], u"/reboot")) {
                lastReboot = i;
            }
        }
        if (settingsAt >= lastReboot) {
            __builtin_trap();
        }
    }
    if (line.settingsFile != nullptr &&
        (isSwitch(line.settingsFile, u"/kiosk") || isSwitch(line.settingsFile, u"/child") ||
         isSwitch(line.settingsFile, u"/reboot"))) {
        __builtin_trap();
    }
    return 0;
}
