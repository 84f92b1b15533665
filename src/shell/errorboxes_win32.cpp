// Keeping dialogs off an unattended screen: both kiosk processes switch off
// the system's error boxes and, where the system has it, the Windows Error
// Reporting dialog, and end at once on a fault nothing handles - before the
// system would start a just-in-time debugger, which on a PC that has one set
// up shows its own dialog. A fault simply ends the child with the fault's
// code, and the watchdog starts a new one over a clean screen.
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

// The last handler of every thread: ends the process with the exception's
// code (0xC0000005 for an access violation), as the system itself does when
// no debugger and no dialog comes in.
static LONG WINAPI endOnUnhandledFault(EXCEPTION_POINTERS* fault) {
    const DWORD code = fault != nullptr && fault->ExceptionRecord != nullptr
                           ? fault->ExceptionRecord->ExceptionCode
                           : EXCEPTION_NONCONTINUABLE_EXCEPTION;
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

void switchOffErrorBoxes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    switchOffFaultReportingUi(GetModuleHandleW(L"kernel32.dll"));
    SetUnhandledExceptionFilter(endOnUnhandledFault);
}
