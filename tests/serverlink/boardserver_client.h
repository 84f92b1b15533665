// Test side of the scripted board server (tools/boardserver.py): where it
// listens, its control requests, and pointing the HTTP client at it.
//
// The server is started once per test run by CTest (fixture "boardserver")
// with "boardserver.py start", which picks a free loopback port and writes it
// to a file named by VELMORANT_BOARDSERVER_PORT_FILE. This one design serves
// both builds: under Wine a test program cannot easily start a Linux process,
// but it can read a file and talk to 127.0.0.1.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The server's port, 0 when the port file cannot be read.
int boardServerPort();

// One control request (a JSON object); the reply body. status gets the
// reply's status code (0 when there was no reply).
std::string serverControl(const std::string& json, int* status = nullptr);

// Forget scripts, served overrides and recorded requests.
void resetServer();
// Serve these bytes at this path.
void serveBytes(const std::string& path, const std::string& bytes);
// Append steps (a JSON array text) to the script of a path ("" for any path).
void scriptSteps(const std::string& path, const std::string& stepsJson);
// Requests recorded since the last reset.
int recordedRequestCount();
// Raw bytes of a recorded request (negative index from the end).
std::string recordedRequest(int index);
// Waits (bounded) until at least count requests are recorded.
int waitForRequests(int count, int timeoutMs);

// Hex digits of a byte string, for "hex" and "body_hex" fields.
std::string hexOf(const std::string& bytes);

// Makes the HTTP client connect to host:port (the way a settings load does).
void pointClientAt(const char* host, int port);

// What the recording stand-in of the window post saw.
struct PostRecord {
    std::atomic<int32_t> count;  // the worker counts, the test waits on it
    uint32_t ticks[64];
    void (*onPost)();  // runs inside each post when set
};
extern PostRecord documentReadyPosts;
// The recording stand-in, handed over with setDocumentReadyPost.
void recordDocumentReadyPost();
