// Control client for the scripted board server, over the program's own
// socket layer (a separate connection per control request, so it can run
// while the fetch worker uses the HTTP client).
#include "boardserver_client.h"

#include <cstdlib>
#include <cstring>

#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/serverlink.h"

// Winsock must be started before any socket call; a test program has no
// start-up of its own, so it happens before main.
static const int32_t socketsStarted = socketStartup();

int boardServerPort() {
    (void)socketsStarted;
    static int port = -1;
    if (port >= 0) {
        return port;
    }
    port = 0;
    const char* file = std::getenv("VELMORANT_BOARDSERVER_PORT_FILE");
    if (file == nullptr) {
        return port;
    }
    std::u16string path;
    for (const char* p = file; *p != 0; ++p) {
        path += static_cast<char16_t>(static_cast<unsigned char>(*p));
    }
    uint32_t size = 0;
    unsigned char* bytes = readWholeFile(path.c_str(), 64, &size);
    if (bytes == nullptr) {
        return port;
    }
    port = std::atoi(reinterpret_cast<const char*>(bytes));
    heapFree(bytes);
    return port;
}

std::string serverControl(const std::string& json, int* status) {
    if (status != nullptr) {
        *status = 0;
    }
    uint32_t address = 0;
    parseIpv4Address("127.0.0.1", &address);
    const PlatformSocket socket = openTcpSocket();
    if (socket == INVALID_PLATFORM_SOCKET) {
        return "";
    }
    setSocketTimeouts(socket, 30000);
    std::string reply;
    if (connectSocket(socket, address, static_cast<uint16_t>(boardServerPort()))) {
        const std::string request =
            "POST /__control HTTP/1.0\r\nContent-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json;
        if (sendOnSocket(socket, request.data(), static_cast<int32_t>(request.size())) ==
            static_cast<int32_t>(request.size())) {
            char piece[8192];
            for (;;) {
                const int32_t got = receiveOnSocket(socket, piece, sizeof(piece));
                if (got <= 0) {
                    break;
                }
                reply.append(piece, static_cast<size_t>(got));
            }
        }
    }
    closeSocket(socket);
    const size_t blank = reply.find("\r\n\r\n");
    if (blank == std::string::npos) {
        return "";
    }
    if (status != nullptr && reply.size() >= 12) {
        *status = std::atoi(reply.substr(9, 3).c_str());
    }
    return reply.substr(blank + 4);
}

void resetServer() {
    serverControl("{\"op\":\"reset\"}");
}

std::string hexOf(const std::string& bytes) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += DIGITS[c >> 4];
        out += DIGITS[c & 15];
    }
    return out;
}

void serveBytes(const std::string& path, const std::string& bytes) {
    serverControl("{\"op\":\"put\",\"path\":\"" + path + "\",\"hex\":\"" + hexOf(bytes) + "\"}");
}

void scriptSteps(const std::string& path, const std::string& stepsJson) {
    const std::string target = path.empty() ? "null" : "\"" + path + "\"";
    serverControl("{\"op\":\"script\",\"path\":" + target + ",\"steps\":" + stepsJson + "}");
}

int recordedRequestCount() {
    return std::atoi(serverControl("{\"op\":\"count\"}").c_str());
}

std::string recordedRequest(int index) {
    return serverControl("{\"op\":\"request\",\"index\":" + std::to_string(index) + "}");
}

int waitForRequests(int count, int timeoutMs) {
    return std::atoi(serverControl("{\"op\":\"wait\",\"count\":" + std::to_string(count) +
                                   ",\"timeout_ms\":" + std::to_string(timeoutMs) + "}")
                         .c_str());
}

void pointClientAt(const char* host, int port) {
    copyBytes(gSettings.serverAnsi, SERVER_ANSI_CAPACITY, host);
    gSettings.settings.port = port;
    publishConnectionSettings();
}
