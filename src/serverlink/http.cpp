// The HTTP client of the board link: one HTTP/1.0 GET per connection, the
// body read until the server closes. Only a status of 200 followed by an
// orderly close is a success; every other outcome is -1. The socket calls
// are in the platform layer; this file holds the request and reply logic and
// the rule that turns a melody name into a request path.
#include <cstdio>
#include <cstring>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/serverlink.h"

// The settings the worker's side uses, as the last settings load left them.
// The settings load writes them and the worker copies them, both under
// connectionLock, so neither a request nor a fetch cycle ever reads a value
// that is being rewritten (the load rebuilds the whole Settings record).
struct PublishedConnection {
    char publishedHost[SERVER_ANSI_CAPACITY];  // the server's name or address
    int32_t publishedPort;                     // its port
    WorkerSettings publishedWorkerSettings;    // what each fetch cycle takes
};
static PublishedConnection gPublished = {"127.0.0.1", DEFAULT_PORT, {1, DEFAULT_FETCH_INTERVAL_MS, 1}};

// The copy one request works with (worker thread only).
struct RequestConnection {
    char requestHost[SERVER_ANSI_CAPACITY];  // the server's name or address
    int32_t requestPort;                     // its port
};
static RequestConnection gRequest;

// Shared by every request: the client is not re-entrant (one caller thread).
static char httpHeadBuffer[HTTP_HEAD_CAPACITY];
static char httpChunkBuffer[HTTP_CHUNK_CAPACITY];
static char httpTailBuffer[HTTP_TAIL_CAPACITY];

// Created on first use; the language makes that first use thread-safe, so
// neither the settings load nor the worker has to come first.
static PlatformLock* connectionLock() {
    static PlatformLock lock;
    static const bool ready = (lockInit(&lock), true);
    (void)ready;
    return &lock;
}

void publishConnectionSettings() {
    PlatformLock* lock = connectionLock();
    lockEnter(lock);
    copyBytes(gPublished.publishedHost, SERVER_ANSI_CAPACITY, gSettings.serverAnsi);
    gPublished.publishedPort = gSettings.settings.port;
    gPublished.publishedWorkerSettings.board = gSettings.settings.board;
    gPublished.publishedWorkerSettings.fetchIntervalMs = gSettings.settings.fetchIntervalMs;
    gPublished.publishedWorkerSettings.melodyEnabled = gSettings.settings.melodyEnabled;
    lockLeave(lock);
}

void takeWorkerSettings(WorkerSettings* out) {
    PlatformLock* lock = connectionLock();
    lockEnter(lock);
    *out = gPublished.publishedWorkerSettings;
    lockLeave(lock);
}

static void takeConnectionSettings() {
    PlatformLock* lock = connectionLock();
    lockEnter(lock);
    copyBytes(gRequest.requestHost, SERVER_ANSI_CAPACITY, gPublished.publishedHost);
    gRequest.requestPort = gPublished.publishedPort;
    lockLeave(lock);
}

// A dotted address is used as it stands; any other text is looked up anew
// for every request (no cache, so a changed DNS entry applies at once).
PlatformSocket httpConnect() {
    takeConnectionSettings();
    uint32_t address = 0;
    if (!parseIpv4Address(gRequest.requestHost, &address)) {
        gFetchWorker.httpNameLookups.fetch_add(1, std::memory_order_relaxed);
        if (!lookUpHostAddress(gRequest.requestHost, &address)) {
            return INVALID_PLATFORM_SOCKET;
        }
    }
    const PlatformSocket socket = openTcpSocket();
    if (socket == INVALID_PLATFORM_SOCKET) {
        return INVALID_PLATFORM_SOCKET;
    }
    setSocketTimeouts(socket, HTTP_TIMEOUT_MS);
    if (!connectSocket(socket, address, static_cast<uint16_t>(gRequest.requestPort))) {
        closeSocket(socket);
        return INVALID_PLATFORM_SOCKET;
    }
    return socket;
}

// A send counts only when the whole piece went out.
static bool sendAll(PlatformSocket socket, const char* bytes, int32_t count) {
    return sendOnSocket(socket, bytes, count) == count;
}

static bool sendRequest(PlatformSocket socket, const char* path) {
    if (!sendAll(socket, "GET ", 4)) {
        return false;
    }
    if (!sendAll(socket, path, static_cast<int32_t>(std::strlen(path)))) {
        return false;
    }
    const int written = std::snprintf(httpTailBuffer, sizeof(httpTailBuffer),
                                      " HTTP/1.0\r\nHost: %s:%d\r\nUser-Agent: velmorant-w2k/2.0\r\n"
                                      "Connection: close\r\n\r\n",
                                      gRequest.requestHost, static_cast<int>(gRequest.requestPort));
    if (written <= 0 || written >= static_cast<int>(sizeof(httpTailBuffer))) {
        return false;
    }
    return sendAll(socket, httpTailBuffer, written);
}

// Where the blank line CR LF CR LF ends in the held bytes, or -1. A bare
// LF LF does not end a head.
static int32_t findHeadEnd(const char* bytes, int32_t held) {
    for (int32_t i = 0; i + 4 <= held; ++i) {
        if (bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' && bytes[i + 3] == '\n') {
            return i + 4;
        }
    }
    return -1;
}

// Receives the head into httpHeadBuffer; the index where the body starts, or
// -1. At most HTTP_HEAD_CAPACITY - 1 bytes are ever held.
static int32_t receiveHead(PlatformSocket socket, int32_t* heldOut) {
    int32_t held = 0;
    for (;;) {
        const int32_t got = receiveOnSocket(socket, httpHeadBuffer + held, HTTP_HEAD_CAPACITY - 1 - held);
        if (got <= 0) {
            return -1;
        }
        held += got;
        httpHeadBuffer[held] = 0;
        const int32_t bodyStart = findHeadEnd(httpHeadBuffer, held);
        if (bodyStart >= 0) {
            *heldOut = held;
            return bodyStart;
        }
        if (held >= HTTP_HEAD_CAPACITY - 1) {
            return -1;
        }
    }
}

// Only 200 is a success: a redirect, "no content" or any error status fails.
// The status digits must lie inside the head itself: counting the body bytes
// that happened to arrive with it would make a malformed short head succeed
// or fail depending on how the reply was cut into segments.
static bool statusIsOk(int32_t headLength) {
    return headLength >= 12 && httpHeadBuffer[0] == 'H' && httpHeadBuffer[9] == '2' &&
           httpHeadBuffer[10] == '0' && httpHeadBuffer[11] == '0';
}

// Hands one piece of the body to its sink. A memory sink refuses to grow
// past its capacity; a file sink must take the whole piece, because a short
// write (a full disk) would otherwise leave a truncated file that looks like
// a finished download.
static bool deliver(const char* piece, int32_t count, unsigned char* buffer, int32_t capacity, OutFile* file,
                    int32_t* total) {
    if (file != nullptr) {
        if (writeToFile(file, piece, static_cast<uint32_t>(count)) != count) {
            return false;
        }
    } else {
        if (count > capacity - *total) {
            return false;
        }
        std::memcpy(buffer + *total, piece, static_cast<size_t>(count));
    }
    *total += count;
    return true;
}

static int32_t receiveReply(PlatformSocket socket, unsigned char* buffer, int32_t capacity, OutFile* file) {
    int32_t held = 0;
    const int32_t bodyStart = receiveHead(socket, &held);
    if (bodyStart < 0 || !statusIsOk(bodyStart)) {
        return -1;
    }
    if (file == nullptr && (buffer == nullptr || capacity < 0)) {
        return -1;
    }
    int32_t total = 0;
    if (held > bodyStart &&
        !deliver(httpHeadBuffer + bodyStart, held - bodyStart, buffer, capacity, file, &total)) {
        return -1;
    }
    for (;;) {
        const int32_t got = receiveOnSocket(socket, httpChunkBuffer, HTTP_CHUNK_CAPACITY);
        if (got == 0) {
            return total;
        }
        if (got < 0) {
            return -1;
        }
        if (!deliver(httpChunkBuffer, got, buffer, capacity, file, &total)) {
            return -1;
        }
    }
}

int32_t httpGet(const char* path, unsigned char* buffer, int32_t capacity, OutFile* file) {
    const PlatformSocket socket = httpConnect();
    if (socket == INVALID_PLATFORM_SOCKET) {
        return -1;
    }
    int32_t result = -1;
    if (sendRequest(socket, path)) {
        result = receiveReply(socket, buffer, capacity, file);
    }
    closeSocket(socket);
    return result;
}

// Bytes that stay as they are in a request path; every other byte becomes
// %XX. The slash stays, so a melody in a sub-directory keeps its two levels.
static bool passesUnescaped(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '/';
}

void soundRequestPath(char* out, int32_t capacity, const char16_t* name) {
    if (out == nullptr || capacity <= 0) {
        return;
    }
    static constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
    char utf8[SOUND_NAME_UTF8_CAPACITY];
    int32_t utf8Length = 0;
    const int32_t nameLength = name != nullptr ? textLength(name) : 0;
    if (nameLength > 0) {
        // A name whose UTF-8 form does not fit (with its terminator) converts
        // to nothing, leaving the bare "/sounds/".
        utf8Length = convertFromUtf16(CODEPAGE_UTF8, name, nameLength, utf8, SOUND_NAME_UTF8_CAPACITY - 1);
        if (utf8Length < 0) {
            utf8Length = 0;
        }
    }
    int32_t used = copyBytes(out, capacity, "/sounds/");
    // The room test comes before each byte and one byte takes at most three,
    // so an escape is never split and the terminator always fits.
    for (int32_t i = 0; i < utf8Length && used < capacity - 4; ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (passesUnescaped(c)) {
            out[used++] = static_cast<char>(c);
        } else {
            out[used++] = '%';
            out[used++] = HEX_DIGITS[c >> 4];
            out[used++] = HEX_DIGITS[c & 0x0F];
        }
    }
    out[used] = 0;
}
