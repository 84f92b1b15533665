// Fuzz entry for the HTTP reply reader: the real httpGet over a socket
// stand-in that plays back the input as the server's reply, cut into
// segments of input-chosen sizes, ending in an orderly close or in a
// receive error (a time-out). The stand-in replaces the platform's socket
// calls at link time, so the code under test is exactly what the board runs.
//
// Input: byte 0 = flags, bytes 1..8 = segment lengths (cycled), the rest =
// the reply stream.
//   bit 0: body to a file instead of memory
//   bit 1: the stream ends in a receive error instead of a close
//   bit 2: the connection is refused
//   bit 3: a send fails
//   bits 4-7: the memory capacity (0, or 1 << n bytes up to the fetch size)
//
// The oracle works out the outcome without segments: only a complete head
// whose status line reads 200, followed by an orderly close and a body that
// fits, succeeds, and then the body must be exactly the bytes after the head.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/serverlink.h"

namespace {
const uint8_t* stream;
size_t streamSize;
size_t streamAt;
uint8_t segments[8];
int32_t segmentIndex;
bool endInError;
bool refuseConnect;
bool failSend;
char sent[4096];
size_t sentSize;
}  // namespace

int32_t socketStartup() {
    return 1;
}
int32_t parseIpv4Address(const char*, uint32_t* address) {
    *address = 0x0100007F;
    return 1;
}
int32_t lookUpHostAddress(const char*, uint32_t*) {
    return 0;
}
int32_t localHostAddress(uint8_t bytes[4]) {
    bytes[0] = 127;
    bytes[1] = bytes[2] = 0;
    bytes[3] = 1;
    return 1;
}
PlatformSocket openTcpSocket() {
    return 7;
}
void setSocketTimeouts(PlatformSocket, uint32_t) {}
int32_t connectSocket(PlatformSocket, uint32_t, uint16_t) {
    return refuseConnect ? 0 : 1;
}
int32_t sendOnSocket(PlatformSocket, const void* bytes, int32_t count) {
    if (failSend && sentSize > 0) {
        return -1;
    }
    if (count < 0 || sentSize + static_cast<size_t>(count) > sizeof(sent)) {
        __builtin_trap();  // a request never comes near this size
    }
    std::memcpy(sent + sentSize, bytes, static_cast<size_t>(count));
    sentSize += static_cast<size_t>(count);
    return count;
}
int32_t receiveOnSocket(PlatformSocket, void* bytes, int32_t capacity) {
    if (capacity <= 0) {
        __builtin_trap();  // the reader must always offer room
    }
    if (streamAt >= streamSize) {
        return endInError ? -1 : 0;
    }
    size_t n = static_cast<size_t>(segments[segmentIndex++ & 7]) + 1;
    if (n > static_cast<size_t>(capacity)) {
        n = static_cast<size_t>(capacity);
    }
    if (n > streamSize - streamAt) {
        n = streamSize - streamAt;
    }
    std::memcpy(bytes, stream + streamAt, n);
    streamAt += n;
    return static_cast<int32_t>(n);
}
void closeSocket(PlatformSocket) {}
PlatformThread startThread(void (*)(void*), void*) {
    return 0;
}
void waitForThread(PlatformThread) {}

static int32_t expectedResult(int32_t capacity, size_t* bodyStartOut) {
    if (refuseConnect || failSend || endInError) {
        return -1;
    }
    const size_t limit = streamSize < static_cast<size_t>(HTTP_HEAD_CAPACITY - 1)
                             ? streamSize
                             : static_cast<size_t>(HTTP_HEAD_CAPACITY - 1);
    size_t bodyStart = 0;
    for (size_t i = 0; i + 4 <= limit; ++i) {
        if (std::memcmp(stream + i, "\r\n\r\n", 4) == 0) {
            bodyStart = i + 4;
            break;
        }
    }
    if (bodyStart == 0 || bodyStart < 12 || stream[0] != 'H' || std::memcmp(stream + 9, "200", 3) != 0) {
        return -1;
    }
    const size_t body = streamSize - bodyStart;
    if (capacity >= 0 && body > static_cast<size_t>(capacity)) {
        return -1;
    }
    *bodyStartOut = bodyStart;
    return static_cast<int32_t>(body);
}

static unsigned char body[FETCH_BODY_CAPACITY];
static unsigned char readBack[1 << 20];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9 || size > (1u << 19)) {
        return 0;
    }
    const uint8_t flags = data[0];
    std::memcpy(segments, data + 1, 8);
    stream = data + 9;
    streamSize = size - 9;
    streamAt = 0;
    segmentIndex = 0;
    sentSize = 0;
    endInError = (flags & 2) != 0;
    refuseConnect = (flags & 4) != 0;
    failSend = (flags & 8) != 0;
    const bool toFile = (flags & 1) != 0;
    const int32_t shift = flags >> 4;
    const int32_t capacity = shift == 0 ? 0 : (shift >= 16 ? FETCH_BODY_CAPACITY : (1 << shift));

    int32_t result;
    static char16_t path[64];
    if (toFile) {
        if (path[0] == 0) {
            char narrow[64];
            std::snprintf(narrow, sizeof(narrow), "/tmp/velmorant-fuzz-http-%d", static_cast<int>(getpid()));
            for (int32_t i = 0; narrow[i] != 0; ++i) {
                path[i] = static_cast<char16_t>(narrow[i]);
            }
        }
        OutFile* file = openFileForWrite(path);
        if (file == nullptr) {
            return 0;
        }
        result = httpGet("/display.txt", nullptr, 0, file);
        closeWrittenFile(file);
    } else {
        result = httpGet("/display.txt", body, capacity, nullptr);
    }

    size_t bodyStart = 0;
    const int32_t expected = expectedResult(toFile ? -1 : capacity, &bodyStart);
    if (result != expected) {
        __builtin_trap();
    }
    if (!refuseConnect && !failSend) {
        static const char REQUEST_START[] = "GET /display.txt HTTP/1.0\r\n";
        if (sentSize < sizeof(REQUEST_START) - 1 ||
            std::memcmp(sent, REQUEST_START, sizeof(REQUEST_START) - 1) != 0 ||
            std::memcmp(sent + sentSize - 4, "\r\n\r\n", 4) != 0) {
            __builtin_trap();
        }
    }
    if (result > 0) {
        const unsigned char* got = body;
        if (toFile) {
            uint32_t count = 0;
            unsigned char* whole = readWholeFile(path, sizeof(readBack), &count);
            if (whole == nullptr || count != static_cast<uint32_t>(result)) {
                __builtin_trap();
            }
            std::memcpy(readBack, whole, count);
            heapFree(whole);
            got = readBack;
        }
        if (std::memcmp(got, stream + bodyStart, static_cast<size_t>(result)) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
