// What the rest of the program may use from serverlink/: the HTTP client and
// its connection settings, the melody cache, and the fetch worker with the
// post that tells the window a document is waiting. The state shared with
// the main thread (hand-over slot, link state) is in linkstate.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/linkstate.h"

struct OutFile;

// ---------------------------------------------------------------------------
// HTTP client

constexpr uint32_t HTTP_TIMEOUT_MS = 5000;
constexpr int32_t HTTP_HEAD_CAPACITY = 4096;
constexpr int32_t HTTP_CHUNK_CAPACITY = 8192;
constexpr int32_t HTTP_TAIL_CAPACITY = 512;
constexpr int32_t SOUND_NAME_UTF8_CAPACITY = 500;
constexpr int32_t SOUND_PATH_CAPACITY = 1600;

// What the fetch worker needs of the settings, copied out of them by each
// load; the worker never reads the Settings record itself, which the main
// thread rebuilds at every load.
struct WorkerSettings {
    int32_t board;
    int32_t fetchIntervalMs;
    int32_t melodyEnabled;
};

// Handed to setSettingsPublisher at start, so every settings load calls it
// before it raises gSettingsFile.generation: takes
// a copy of gSettings.serverAnsi, the port and the WorkerSettings under a short lock.
// Each request copies host and port back under the same lock, so a request
// never sees a half-written host.
void publishConnectionSettings();
// The worker's copy of its settings, taken under that lock.
void takeWorkerSettings(WorkerSettings* out);

// Connects to the published server. The socket, or INVALID_PLATFORM_SOCKET.
PlatformSocket httpConnect();

// One GET of path; the body goes to the file when file is not null, else to
// buffer (at most capacity bytes). The body length, or -1 on any failure.
// Not re-entrant: the fetch worker is its only caller.
int32_t httpGet(const char* path, unsigned char* buffer, int32_t capacity, OutFile* file);

// "/sounds/" and the percent-encoded UTF-8 form of a melody name.
void soundRequestPath(char* out, int32_t capacity, const char16_t* name);

// ---------------------------------------------------------------------------
// Melody cache

constexpr int32_t MELODY_FAILED_NAME_CAPACITY = 160;
constexpr int32_t MELODY_CURRENT_KEY_CAPACITY = 64;

// Where melodies are kept and what the cache and the player remember.
struct MelodyState {
    // The directory that holds the cache directory "sounds", ending in a
    // path separator. Start-up sets it to the executable's directory.
    char16_t melodyBaseDir[PATH_CAPACITY];
    char16_t melodyFailedName[MELODY_FAILED_NAME_CAPACITY];  // the one remembered failed download
    int32_t melodyFailedSize;                                // the size that download expected
    char16_t melodyCurrentKey[MELODY_CURRENT_KEY_CAPACITY];  // the key of the melody event last played
};
extern MelodyState gMelody;

// The cached file of a melody name in out (capacity units). Returns 1, or 0
// with out empty when the path, or the path with ".part" or ".old", would not
// fit in PATH_CAPACITY units: such a name is treated like an invalid one.
int32_t melodyLocalPath(char16_t* out, int32_t capacity, const char16_t* name);

// Makes sure the named melody is in the cache with the expected size
// (expectedSize <= 0: any size), downloading it when needed.
void melodyEnsure(const char16_t* name, int32_t expectedSize);

// ---------------------------------------------------------------------------
// Fetch worker

constexpr int32_t FETCH_BODY_CAPACITY = 65536;
constexpr int32_t REQUEST_PATH_CAPACITY = 64;

// One fetch cycle without the sleep: fetch, parse, melody, hand-over.
// Returns 1 when a document was handed over.
int32_t fetchOnce();

// The thread procedure: finds the local address, then fetches forever with
// the fetch interval between cycles. It ends only when
// gFetchWorker.fetchWorkerStop is set (tests do that; the program never does).
void fetchWorker();

// The fetch worker's stop flag and what it counts.
struct FetchWorkerState {
    std::atomic<int32_t> fetchWorkerStop;  // set to end fetchWorker after its current cycle
    // Host-name lookups made by httpConnect since start (a dotted address
    // makes none).
    std::atomic<int32_t> httpNameLookups;
};
extern FetchWorkerState gFetchWorker;

// Starts fetchWorker on its own thread; the handle is for waiting on it.
PlatformThread startFetchWorker();

// Tells the window that a document waits in the slot, through the function
// handed to setDocumentReadyPost before the worker starts (nothing happens
// without one). Test programs link a recording stand-in instead.
void postDocumentReady();
void setDocumentReadyPost(void (*post)());
