// Sockets and threads on Windows: Winsock 2 and CreateThread (see sockets.h).
#include <windows.h>
#include <winsock2.h>

#include "platform/sockets.h"

static_assert(sizeof(SOCKET) <= sizeof(PlatformSocket), "socket handle too wide");

int32_t socketStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0 ? 1 : 0;
}

int32_t parseIpv4Address(const char* text, uint32_t* address) {
    const unsigned long value = inet_addr(text);
    if (value == INADDR_NONE) {
        return 0;
    }
    *address = static_cast<uint32_t>(value);
    return 1;
}

int32_t lookUpHostAddress(const char* name, uint32_t* address) {
    const hostent* entry = gethostbyname(name);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
    uint32_t value;
    CopyMemory(&value, bytes, 4);
    *address = value;
    return 1;
}

int32_t localHostAddress(uint8_t bytes[4]) {
    char name[128];
    if (gethostname(name, static_cast<int>(sizeof(name))) != 0) {
        return 0;
    }
    name[sizeof(name) - 1] = 0;
    uint32_t address;
    if (!lookUpHostAddress(name, &address)) {
        return 0;
    }
    CopyMemory(bytes, &address, 4);
    return 1;
}

PlatformSocket openTcpSocket() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? INVALID_PLATFORM_SOCKET : static_cast<PlatformSocket>(s);
}

void setSocketTimeouts(PlatformSocket s, uint32_t ms) {
    const DWORD value = ms;
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
               sizeof(value));
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
               sizeof(value));
}

int32_t connectSocket(PlatformSocket s, uint32_t address, uint16_t port) {
    sockaddr_in target;
    ZeroMemory(&target, sizeof(target));
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    return connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0
               ? 1
               : 0;
}

int32_t sendOnSocket(PlatformSocket s, const void* bytes, int32_t count) {
    const int sent = send(static_cast<SOCKET>(s), static_cast<const char*>(bytes), count, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int32_t receiveOnSocket(PlatformSocket s, void* bytes, int32_t capacity) {
    const int got = recv(static_cast<SOCKET>(s), static_cast<char*>(bytes), capacity, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

void closeSocket(PlatformSocket s) {
    closesocket(static_cast<SOCKET>(s));
}

namespace {
struct ThreadStart {
    void (*proc)(void*);
    void* argument;
};
}  // namespace

static DWORD WINAPI threadEntry(LPVOID parameter) {
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    HeapFree(GetProcessHeap(), 0, parameter);
    start.proc(start.argument);
    return 0;
}

PlatformThread startThread(void (*proc)(void*), void* argument) {
    auto* start = static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (start == nullptr) {
        return 0;
    }
    start->proc = proc;
    start->argument = argument;
    HANDLE thread = CreateThread(nullptr, 0, threadEntry, start, 0, nullptr);
    if (thread == nullptr) {
        HeapFree(GetProcessHeap(), 0, start);
        return 0;
    }
    return reinterpret_cast<PlatformThread>(thread);
}

void waitForThread(PlatformThread thread) {
    if (thread == 0) {
        return;
    }
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}
