// Keeping dialogs off an unattended screen: both kiosk processes switch off
// the system's error boxes and, where the system has it, the Windows Error
// Reporting dialog, so that a fault simply ends the child and the watchdog
// starts a new one over a clean screen.
#include <windows.h>

#include "shell/kiosk.h"

// WER_FAULT_REPORTING_NO_UI of the system headers (not every tool chain's
// headers carry it).
constexpr DWORD FAULT_REPORTING_NO_UI = 0x20;

using WerSetFlagsCall = HRESULT(WINAPI*)(DWORD);

int32_t switchOffFaultReportingUi(HMODULE module) {
    if (module == nullptr) {
        return 0;
    }
    // Looked up at run time: a system without the call still runs the board.
    const FARPROC found = GetProcAddress(module, "WerSetFlags");
    if (found == nullptr) {
        return 0;
    }
    const WerSetFlagsCall setFlags = reinterpret_cast<WerSetFlagsCall>(reinterpret_cast<void (*)()>(found));
    return SUCCEEDED(setFlags(FAULT_REPORTING_NO_UI)) ? 1 : 0;
}

void switchOffErrorBoxes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    switchOffFaultReportingUi(GetModuleHandleW(L"kernel32.dll"));
}
