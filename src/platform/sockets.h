// Sockets and the one extra thread, behind the thin OS layer: TCP over IPv4
// with send and receive time-outs (Winsock on Windows, BSD sockets on the
// host), the host-name lookups the server link needs, and starting a thread.
// On Windows the caller has already called WSAStartup (start-up does it once;
// test programs call socketStartup themselves).
#pragma once

#include <cstdint>

using PlatformSocket = intptr_t;
constexpr PlatformSocket INVALID_PLATFORM_SOCKET = -1;

// WSAStartup for version 2.0 on Windows; nothing on the host. 1 on success.
int32_t socketStartup();

// A dotted IPv4 text (what inet_addr accepts) as an address in network byte
// order. 1 when the text is such an address, else 0.
int32_t parseIpv4Address(const char* text, uint32_t* address);

// gethostbyname: the first address of the host's list, network byte order.
// 1 on success, 0 when there is no entry or the list is empty.
int32_t lookUpHostAddress(const char* name, uint32_t* address);

// The PC's own IPv4 address: gethostname (128-byte buffer) and then
// gethostbyname of that name; the four bytes in order. 1 on success.
int32_t localHostAddress(uint8_t bytes[4]);

// An AF_INET stream socket for TCP, or INVALID_PLATFORM_SOCKET.
PlatformSocket openTcpSocket();
// SO_RCVTIMEO then SO_SNDTIMEO; the results are not reported.
void setSocketTimeouts(PlatformSocket socket, uint32_t ms);
// Connects to an address in network byte order and a port in host order.
int32_t connectSocket(PlatformSocket socket, uint32_t address, uint16_t port);
// Bytes sent, or -1 on an error or time-out.
int32_t sendOnSocket(PlatformSocket socket, const void* bytes, int32_t count);
// Bytes received (1 or more), 0 when the peer closed, -1 on an error or
// time-out.
int32_t receiveOnSocket(PlatformSocket socket, void* bytes, int32_t capacity);
void closeSocket(PlatformSocket socket);

// A thread that runs proc(argument); the handle is only for waiting on it.
using PlatformThread = intptr_t;
PlatformThread startThread(void (*proc)(void*), void* argument);
// Waits until the thread has ended and releases its handle.
void waitForThread(PlatformThread thread);
