// The front of velmorant-server: the board API (documents, melodies,
// previews) beside the operator's page and API on one listening socket, and
// "serve", which runs it until SIGTERM or SIGINT.
#pragma once

#include <atomic>
#include <boost/beast/http.hpp>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/operator/operator.h"

// Timetables shared by the boards that show the same departures (several
// boards per platform are usual), built once per store and operating day.
struct SharedTimetable {
    uint64_t generation = 0;                          // the store opening it was built from
    std::shared_ptr<const BoardTimetable> timetable;  // nothing until first built
};

struct TimetableCache {
    std::mutex lock;
    std::map<std::string, SharedTimetable> entries;  // by the boards' selection key
    TextPool texts;  // the departures' ids, shared by every timetable; used under `lock`
};

// One board's cached document.
// A board's document for one second, with what it was built from.
struct SlotDocument {
    int64_t builtFor = INT64_MIN;     // the second (server clock) the document is for
    uint64_t generation = 0;          // the store opening it was built from
    uint64_t operatorGeneration = 0;  // what the operator had set when it was built
    uint64_t realtimeGeneration = 0;  // the live feeds' content it was built with
    bool accepted = false;            // the board's reader accepted it
    std::string body;                 // the document (when not accepted: the last accepted one)
};

struct BoardSlot {
    const BoardConfig* board = nullptr;
    std::string selection;  // what its timetable depends on, as a key
    std::mutex lock;        // held while the document is brought up to date or read
    SlotDocument shown;     // the document served now
    // The next second's document, built ahead of the board's poll by the
    // builder thread; taken when that second comes and nothing has changed.
    SlotDocument ahead;
    // A copy of `shown`, replaced whenever it changes: a poll that finds it
    // current is answered from it without the slot's lock.
    std::atomic<std::shared_ptr<const SlotDocument>> published;
    std::atomic<int64_t> askedAt{INT64_MIN};  // the second (server clock) the board last polled
    RealtimeBoardCache feedCache;             // what the live feed made of its trains, kept between documents
    std::shared_ptr<const BoardTimetable> timetable;
    uint64_t timetableGeneration = 0;  // the store opening the timetable was read from
    std::string lastProblems;          // as last logged, so they are logged only when they change
    std::string storeFault;            // why the store could not be read at the last try, empty when it could
    int64_t faultMs = 0;               // monotonic, that last try
};

// A preview picture drawn once for a board's document and pitch.
struct PreviewPicture {
    int32_t board = 0;     // whose
    std::string document;  // the document it shows
    int32_t pitch = 0;     // its dot pitch
    std::string png;
};

// Previews drawn so far; a board showing the same document is not drawn
// again.
struct PreviewCache {
    std::mutex lock;
    std::vector<PreviewPicture> pictures;  // at most one per board and pitch
};

// What the board API serves from: the live store, the shared timetables and
// one slot per board.
struct BoardApi {
    const StationConfig* config = nullptr;
    const ServerClock* clock = nullptr;
    Runtime* operatorSide = nullptr;  // what the operator set, and the boards' health
    LiveStore store;
    TimetableCache timetables;
    std::vector<std::unique_ptr<BoardSlot>> slots;
    std::unordered_map<int32_t, BoardSlot*> slotByNumber;  // the same slots by board number
    PreviewCache previews;
    // The builder thread: each board that asked lately gets its next
    // second's document built before it asks, off the network threads.
    std::thread builder;
    std::mutex builderLock;
    std::condition_variable builderWake;
    bool builderStopping = false;
    std::atomic<bool> builderOnFeeds{false};  // a pass for a new content of the live feeds is running
};

// Opens the store and reads every board's timetable; false with a message.
bool boardApiStart(BoardApi* api, const StationConfig& config, const ServerClock& clock,
                   Runtime* operatorSide, std::string* error);
// Runs `use` on board `number`'s slot brought up to the server's second,
// under the slot's lock; false for a board the station does not have.
bool withFreshSlot(BoardApi* api, int32_t number, const std::function<void(const BoardSlot&)>& use);
// Starts and stops the builder thread (documents built ahead of the polls).
void boardBuilderStart(BoardApi* api);
void boardBuilderStop(BoardApi* api);
// GET display.txt, preview.png and /sounds/.
void addBoardRoutes(BoardApi* api, std::vector<HttpRoute>* routes);
// How the operator's side reaches the boards' documents, departures and
// previews, each as a board would get it now.
BoardAccess boardAccess(BoardApi* api);

// "serve": answers the board API and the operator's page until SIGTERM or
// SIGINT. Returns the exit code.
int32_t serveBoards(const StationConfig& config, const ServerClock& clock, const std::string& portFile);

// ---------------------------------------------------------------------------
// Reading requests

// The routes and their compiled patterns, board routes first.
struct RouteTable {
    std::vector<HttpRoute> routes;
    std::vector<std::regex> patterns;  // one per route
};

void routeTableBuild(RouteTable* table, std::vector<HttpRoute> routes);
// The route for a method and decoded path, its groups in `matches`; nullptr
// with 404 (no such path) or 405 (not this method) in `status`.
const HttpRoute* findRoute(const RouteTable& table, const std::string& method, const std::string& path,
                           std::vector<std::string>* matches, int32_t* status);
// A request target split into its decoded path and query; false when it is
// no origin-form target ("/path?query") or an escape is wrong.
bool decodeTarget(const std::string& target, std::string* path, std::map<std::string, std::string>* query);

constexpr uint32_t MOST_HEADER_BYTES = 8 * 1024;

// What reading a request has come to after some bytes.
enum class ReadStep {
    MORE,     // needs more bytes
    HEADER,   // the header is complete and its route found: check who asks, then feed on
    DONE,     // the request is complete in `request`
    REFUSED,  // answer `refusal` and close
};

// One request read from the bytes as they come, with Beast's parser: a
// header of at most MOST_HEADER_BYTES, then a body of at most the route's
// limit (none on the board API). Nothing of the body is read before the
// route is known.
struct RequestReader {
    boost::beast::http::request_parser<boost::beast::http::string_body> parser;
    std::string pending;               // bytes not yet taken by the parser
    const HttpRoute* route = nullptr;  // once the header is read
    HttpRequest request;               // the request so far
    int32_t refusal = 0;               // the status to answer a refused request with
};

void requestReaderStart(RequestReader* reader);
// Takes `size` more bytes (none to go on after HEADER).
ReadStep requestReaderFeed(RequestReader* reader, const RouteTable& table, const char* data, size_t size);

// ---------------------------------------------------------------------------
// The front

// A small pool of threads for one kind of work, with a bounded queue.
struct WorkPool {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    size_t mostQueued = 0;  // jobs waiting at most; more are refused
    bool stopping = false;
    std::vector<std::thread> threads;
};

// `niceness` above 0 runs the pool's threads at a lower priority.
void workPoolStart(WorkPool* pool, size_t threads, size_t mostQueued, int32_t niceness = 0);
// False when the queue is full (the caller answers 503).
bool workPoolPost(WorkPool* pool, std::function<void()> job);
void workPoolStop(WorkPool* pool);

// What the front needs beyond its routes.
struct FrontSettings {
    std::vector<AddressRange> boardsFrom;  // who may reach the board API (empty: any)
    std::function<bool(const std::string& address)> operatorAllowed;  // who may reach the rest
    int32_t mostConnections = 4096;                                   // open at once, in total
    int32_t mostConnectionsPerAddress = 64;                           // from one address not in boardsFrom
    int32_t headerSeconds = 10;  // the whole header must come within this
    int32_t bodySeconds = 10;    // then the whole body
    int32_t replySeconds = 10;   // and the reply must be taken within this
};

// Serves `routes` on `listen`:`port` until SIGTERM or SIGINT; the port in
// use goes to `portFile` when there is one. Returns the exit code.
int32_t runFront(const FrontSettings& settings, std::vector<HttpRoute> routes, const std::string& listen,
                 int32_t port, const std::string& portFile);
