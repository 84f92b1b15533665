// Sockets and threads on the host: BSD sockets and pthreads with the Winsock
// meanings of sockets.h (time-outs in milliseconds, -1 for every failure).
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/sockets.h"

int32_t socketStartup() {
    return 1;
}

int32_t parseIpv4Address(const char* text, uint32_t* address) {
    const in_addr_t value = inet_addr(text);
    if (value == INADDR_NONE) {
        return 0;
    }
    *address = static_cast<uint32_t>(value);
    return 1;
}

int32_t lookUpHostAddress(const char* name, uint32_t* address) {
    // Only the fetch worker looks names up, so the static result of
    // gethostbyname is not shared with another caller.
    const hostent* entry = gethostbyname(name);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        return 0;
    }
    uint32_t value;
    std::memcpy(&value, entry->h_addr_list[0], 4);
    *address = value;
    return 1;
}

int32_t localHostAddress(uint8_t bytes[4]) {
    char name[128];
    if (gethostname(name, sizeof(name)) != 0) {
        return 0;
    }
    name[sizeof(name) - 1] = 0;
    uint32_t address;
    if (!lookUpHostAddress(name, &address)) {
        return 0;
    }
    std::memcpy(bytes, &address, 4);
    return 1;
}

PlatformSocket openTcpSocket() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return s < 0 ? INVALID_PLATFORM_SOCKET : static_cast<PlatformSocket>(s);
}

void setSocketTimeouts(PlatformSocket s, uint32_t ms) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value));
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value));
}

int32_t connectSocket(PlatformSocket s, uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    for (;;) {
        if (connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0) {
            return 1;
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

int32_t sendOnSocket(PlatformSocket s, const void* bytes, int32_t count) {
    for (;;) {
        // No SIGPIPE when the server has already gone: a failed send is
        // simply a failure.
        const ssize_t sent = send(static_cast<int>(s), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        return sent < 0 ? -1 : static_cast<int32_t>(sent);
    }
}

int32_t receiveOnSocket(PlatformSocket s, void* bytes, int32_t capacity) {
    for (;;) {
        const ssize_t got = recv(static_cast<int>(s), bytes, static_cast<size_t>(capacity), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got < 0 ? -1 : static_cast<int32_t>(got);
    }
}

void closeSocket(PlatformSocket s) {
    close(static_cast<int>(s));
}

namespace {
struct ThreadStart {
    void (*proc)(void*);
    void* argument;
};
}  // namespace

static void* threadEntry(void* parameter) {
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    std::free(parameter);
    start.proc(start.argument);
    return nullptr;
}

PlatformThread startThread(void (*proc)(void*), void* argument) {
    static_assert(sizeof(pthread_t) <= sizeof(PlatformThread), "thread id too wide");
    auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return 0;
    }
    start->proc = proc;
    start->argument = argument;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, threadEntry, start) != 0) {
        std::free(start);
        return 0;
    }
    return static_cast<PlatformThread>(thread);
}

void waitForThread(PlatformThread thread) {
    if (thread == 0) {
        return;
    }
    pthread_join(static_cast<pthread_t>(thread), nullptr);
}
