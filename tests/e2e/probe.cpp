// A small helper for the fault, soak and kiosk scripts, run under Wine beside
// the board: lists the board's processes, reads a process's kernel handle,
// GDI object and window counts, ends a process the way Task Manager would,
// and holds objects on request so the counts can be shown to follow them.
//
//   probe list NAME          one line "pid parent" per process with that image name
//   probe counts PID         "handles=N gdi=N windows=N" (-1 where the system gives nothing)
//   probe kill PID CODE      TerminateProcess with that exit code
//   probe wait PID MS        waits up to MS for the process to end and prints its exit
//                            code ("exit 0xC0000005"); exit status 1 if it did not end
//   probe hold               prints its pid, then reads commands from standard input:
//                            "events N", "gdi N", "windows N" create that many objects,
//                            "free" releases them all; "ok" after each, "quit" ends
//
// How the counts are taken, since Wine answers neither GetProcessHandleCount
// (0, even for the calling process) nor GetGuiResources (not implemented):
// - handles: the system's handle list (NtQuerySystemInformation, extended
//   handle information), entries whose owner is the process;
// - gdi: the process's GDI handle table, which the PEB points to
//   (GdiSharedHandleTable): 65536 entries of 24 bytes, an entry in use has a
//   non-zero type byte; stock objects (bit 0x80 of the unique word) are left
//   out. Wine keeps one table per process and does not fill the owner field,
//   so every non-stock entry in the board's table is one of the board's live
//   objects. Read from outside with ReadProcessMemory;
// - windows: top-level and child windows whose thread belongs to the process
//   (the USER objects a board makes; menus, icons and cursors are not seen).
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
constexpr NTSTATUS INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004L);
constexpr size_t GDI_TABLE_ENTRIES = 0x10000;
constexpr size_t PEB_GDI_TABLE_OFFSET = 0xF8;  // 64-bit PEB

struct ExtendedHandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTrace;
    USHORT objectType;
    ULONG attributes;
    ULONG reserved;
};

struct ExtendedHandleInformation {
    ULONG_PTR count;
    ULONG_PTR reserved;
    ExtendedHandleEntry entries[1];
};

struct GdiTableEntry {
    UINT64 object;
    ULONG owner;
    USHORT unique;
    UCHAR type;
    UCHAR flags;
    UINT64 user;
};
static_assert(sizeof(GdiTableEntry) == 24, "GDI table entry layout");

constexpr USHORT GDI_STOCK_BIT = 0x80;

using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using QueryInformationProcess = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

FARPROC ntdllCall(const char* name) {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
}

long kernelHandleCount(DWORD pid) {
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void (*)()>(ntdllCall("NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    std::vector<unsigned char> buffer(1 << 18);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &needed);
        if (status == INFO_LENGTH_MISMATCH && buffer.size() < (size_t{1} << 28)) {
            buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
            continue;
        }
        if (status != 0) {
            return -1;
        }
        break;
    }
    const auto* info = reinterpret_cast<const ExtendedHandleInformation*>(buffer.data());
    const size_t room =
        (buffer.size() - offsetof(ExtendedHandleInformation, entries)) / sizeof(ExtendedHandleEntry);
    const size_t count = info->count < room ? info->count : room;
    long owned = 0;
    for (size_t i = 0; i < count; ++i) {
        if (info->entries[i].processId == pid) {
            ++owned;
        }
    }
    return owned;
}

long gdiObjectCount(HANDLE process) {
    const auto query = reinterpret_cast<QueryInformationProcess>(
        reinterpret_cast<void (*)()>(ntdllCall("NtQueryInformationProcess")));
    if (query == nullptr) {
        return -1;
    }
    PROCESS_BASIC_INFORMATION basic;
    std::memset(&basic, 0, sizeof(basic));
    if (query(process, 0 /* ProcessBasicInformation */, &basic, sizeof(basic), nullptr) != 0 ||
        basic.PebBaseAddress == nullptr) {
        return -1;
    }
    UINT64 tableAddress = 0;
    SIZE_T got = 0;
    if (!ReadProcessMemory(
            process, reinterpret_cast<const unsigned char*>(basic.PebBaseAddress) + PEB_GDI_TABLE_OFFSET,
            &tableAddress, sizeof(tableAddress), &got) ||
        got != sizeof(tableAddress) || tableAddress == 0) {
        return -1;
    }
    std::vector<GdiTableEntry> table(GDI_TABLE_ENTRIES);
    if (!ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(tableAddress)),
                           table.data(), table.size() * sizeof(GdiTableEntry), &got) ||
        got != table.size() * sizeof(GdiTableEntry)) {
        return -1;
    }
    long live = 0;
    for (const GdiTableEntry& entry : table) {
        if (entry.type != 0 && (entry.unique & GDI_STOCK_BIT) == 0) {
            ++live;
        }
    }
    return live;
}

struct WindowTally {
    DWORD pid;
    long count;
};

BOOL CALLBACK tallyChild(HWND window, LPARAM context) {
    auto* tally = reinterpret_cast<WindowTally*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == tally->pid) {
        ++tally->count;
    }
    return TRUE;
}

BOOL CALLBACK tallyTopLevel(HWND window, LPARAM context) {
    tallyChild(window, context);
    // Children of every top-level window: a process may own a child of
    // another process's window.
    EnumChildWindows(window, tallyChild, context);
    return TRUE;
}

long windowCount(DWORD pid) {
    WindowTally tally = {pid, 0};
    EnumWindows(tallyTopLevel, reinterpret_cast<LPARAM>(&tally));
    // Message-only windows are not top-level windows of the desktop.
    HWND messageOnly = nullptr;
    while ((messageOnly = FindWindowExW(HWND_MESSAGE, messageOnly, nullptr, nullptr)) != nullptr) {
        tallyChild(messageOnly, reinterpret_cast<LPARAM>(&tally));
    }
    return tally.count;
}

int listProcesses(const wchar_t* name) {
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

int printCounts(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        return 1;
    }
    // Taken after opening the process: the probe's own handle to it is in
    // the probe's list, not the board's.
    const long handles = kernelHandleCount(pid);
    const long gdi = gdiObjectCount(process);
    const long windows = windowCount(pid);
    CloseHandle(process);
    std::printf("handles=%ld gdi=%ld windows=%ld\n", handles, gdi, windows);
    return 0;
}

int killProcess(DWORD pid, UINT code) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) {
        return 1;
    }
    const BOOL ended = TerminateProcess(process, code);
    CloseHandle(process);
    return ended ? 0 : 1;
}

int waitForExit(DWORD pid, DWORD ms) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return 2;
    }
    // Ready to wait: a script may now make the process end.
    std::printf("waiting\n");
    std::fflush(stdout);
    DWORD code = 0;
    const bool ended =
        WaitForSingleObject(process, ms) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ended) {
        return 1;
    }
    std::printf("exit 0x%08lX\n", static_cast<unsigned long>(code));
    return 0;
}

// Objects made on request, so a script can check that the counts above rise
// and fall with them exactly.
int holdObjects() {
    std::vector<HANDLE> events;
    std::vector<HGDIOBJ> objects;
    std::vector<HWND> windows;
    // GDI's own start-up objects (the display's, made at the first DC) come
    // before the first count, not inside a measured step.
    DeleteDC(CreateCompatibleDC(nullptr));
    // Likewise the thread's first window brings a hidden input-method window
    // with it; a window kept for the whole run keeps that one out of the steps.
    HWND resident =
        CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    std::printf("%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof(line), stdin) != nullptr) {
        char what[16] = {};
        int n = 0;
        if (std::sscanf(line, "%15s %d", what, &n) < 1) {
            continue;
        }
        if (std::strcmp(what, "quit") == 0) {
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (std::strcmp(what, "events") == 0) {
                events.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
            } else if (std::strcmp(what, "gdi") == 0) {
                // Three kinds in turn: pens, brushes, bitmaps.
                const COLORREF colour = RGB(i & 0xFF, 1, 2);
                objects.push_back(i % 3 == 0   ? static_cast<HGDIOBJ>(CreatePen(PS_SOLID, 1, colour))
                                  : i % 3 == 1 ? static_cast<HGDIOBJ>(CreateSolidBrush(colour))
                                               : static_cast<HGDIOBJ>(CreateBitmap(4, 4, 1, 32, nullptr)));
            } else if (std::strcmp(what, "windows") == 0) {
                windows.push_back(CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 8, 8, nullptr,
                                                  nullptr, nullptr, nullptr));
            }
        }
        if (std::strcmp(what, "free") == 0) {
            for (HANDLE event : events) {
                CloseHandle(event);
            }
            for (HGDIOBJ object : objects) {
                DeleteObject(object);
            }
            for (HWND window : windows) {
                DestroyWindow(window);
            }
            events.clear();
            objects.clear();
            windows.clear();
        }
        std::printf("ok\n");
        std::fflush(stdout);
    }
    DestroyWindow(resident);
    return 0;
}

}  // namespace

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
    if (argc == 4 && lstrcmpW(argv[1], L"wait") == 0) {
        return waitForExit(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)),
                           static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    }
    if (argc == 2 && lstrcmpW(argv[1], L"hold") == 0) {
        return holdObjects();
    }
    std::fprintf(stderr, "usage: probe list NAME | counts PID | kill PID CODE | wait PID MS | hold\n");
    return 2;
}
