// A small helper for the fault, soak and kiosk scripts, run under Wine beside
// the board: lists the board's processes, reads a process's handle and GDI
// object counts, and ends a process the way a crash or Task Manager would.
//
//   probe list NAME          one line "pid parent" per process with that image name
//   probe counts PID         "handles=N gdi=N user=N" (-1 where the system gives nothing)
//   probe kill PID CODE      TerminateProcess with that exit code
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

static int listProcesses(const wchar_t* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 1;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, name) == 0) {
            std::printf("%lu %lu\n", static_cast<unsigned long>(entry.th32ProcessID),
                        static_cast<unsigned long>(entry.th32ParentProcessID));
        }
    }
    CloseHandle(snapshot);
    return 0;
}

static int printCounts(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return 1;
    }
    DWORD handles = 0;
    const long handleCount = GetProcessHandleCount(process, &handles) ? static_cast<long>(handles) : -1;
    SetLastError(0);
    const DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    const long gdiCount = (gdi == 0 && GetLastError() != 0) ? -1 : static_cast<long>(gdi);
    SetLastError(0);
    const DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    const long userCount = (user == 0 && GetLastError() != 0) ? -1 : static_cast<long>(user);
    std::printf("handles=%ld gdi=%ld user=%ld\n", handleCount, gdiCount, userCount);
    CloseHandle(process);
    return 0;
}

static int killProcess(DWORD pid, UINT code) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) {
        return 1;
    }
    const BOOL ended = TerminateProcess(process, code);
    CloseHandle(process);
    return ended ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && lstrcmpW(argv[1], L"list") == 0) {
        return listProcesses(argv[2]);
    }
    if (argc == 3 && lstrcmpW(argv[1], L"counts") == 0) {
        return printCounts(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    }
    if (argc == 4 && lstrcmpW(argv[1], L"kill") == 0) {
        const UINT code = static_cast<UINT>(std::wcstoul(argv[3], nullptr, 0));
        // The watchdog turns 11 and 12 into a PC restart or power-off: never
        // hand those codes to a kiosk child.
        if (code == 11 || code == 12) {
            return 2;
        }
        return killProcess(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)), code);
    }
    std::fprintf(stderr, "usage: probe list NAME | counts PID | kill PID CODE\n");
    return 2;
}
