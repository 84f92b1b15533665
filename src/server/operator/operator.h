// The operator's side of velmorant-server: the page staff use and the JSON
// API systems use to set notices, delays, cancellations, the approach
// warning and a melody played by hand; who may use them (passwords and
// tokens hashed with libsodium, sessions, CSRF, the login throttle); and the
// "user" and "token" commands. What is set is kept in the operator database
// (station/) and reaches the boards' documents through their overlays
// (signs/).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "server/realtime/realtime.h"
#include "server/signs/signs.h"

// ---------------------------------------------------------------------------
// Requests and replies as the handlers see them: the front (http/) reads
// each request whole, within its limits, into an HttpRequest, runs the
// route's handler and writes the HttpResponse back. Nothing here knows the
// HTTP library.

struct HttpRequest {
    std::string method;                        // "GET", "POST"
    std::string target;                        // as sent: path and query
    std::string path;                          // percent-decoded
    std::vector<std::string> matches;          // the route's pattern groups; [0] the whole path
    std::map<std::string, std::string> query;  // decoded names and values
    std::vector<std::pair<std::string, std::string>> headers;  // names lower-case
    std::string body;
    std::string remoteAddress;  // IPv4-mapped addresses written as IPv4

    // The first value of a header (name in any case); empty when absent.
    std::string header(const std::string& name) const;
    bool hasParam(const std::string& name) const {
        return query.count(name) != 0;
    }
    std::string param(const std::string& name) const {
        const auto found = query.find(name);
        return found == query.end() ? std::string() : found->second;
    }
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // besides the type and the length
    std::string contentType;
    std::string body;

    // Sets a header, replacing one of the same name.
    void setHeader(const std::string& name, const std::string& value);
    void setContent(std::string text, const std::string& type) {
        body = std::move(text);
        contentType = type;
    }
};

using HttpHandler = std::function<void(const HttpRequest& request, HttpResponse& response)>;

// Where a route's handler runs: on the network thread (quick, never waits:
// the boards' documents and melodies), on the operator's worker (may wait on
// the operator database) or on the pool for CPU-heavy work (password hashes,
// pictures). The queues are bounded; a full one answers 503.
enum class RouteWork { NETWORK, OPERATOR, HEAVY };

// Who may ask: the board API answers addresses of boards_from, everything
// else addresses of the operator's allow_from.
enum class RouteAudience { BOARDS, OPERATOR };

struct HttpRoute {
    std::string method;   // "GET" or "POST"
    std::string pattern;  // a regular expression over the whole decoded path
    size_t mostBody = 0;  // the largest body accepted; 0: none
    RouteWork work = RouteWork::NETWORK;
    RouteAudience audience = RouteAudience::OPERATOR;
    // Requests a second from one address; past it the front answers 429 a
    // second late without running the handler. 0: no limit.
    int32_t mostPerSecond = 0;
    HttpHandler handler;
};

constexpr size_t OPERATOR_MOST_BODY = 64 * 1024;

// ---------------------------------------------------------------------------
// Passwords, tokens and sessions

// crypto_pwhash_str of a password; empty on failure.
std::string hashPassword(const std::string& password);
bool passwordMatches(const std::string& hash, const std::string& password);
// A new random token (hex) and the hash under which it is kept.
std::string newSecret();
std::string tokenHash(const std::string& token);

// The login throttle: each key (a user at an address) has a few free
// failures, then waits twice as long after each further one, up to a
// minute. Checking and counting an attempt are one step, so logins racing
// each other cannot all slip past the check before any is counted.
constexpr int32_t FREE_LOGIN_FAILURES = 3;

struct LoginFailures {
    int32_t count = 0;   // failures, and checks under way
    int64_t lastMs = 0;  // monotonic, the last attempt
};

struct LoginThrottle {
    std::map<std::string, LoginFailures> failures;  // by key
};

// False (and how long to wait) when the key must wait; otherwise the attempt
// is counted as failed until loginThrottleSucceeded forgives it.
bool loginThrottleBegin(LoginThrottle* throttle, const std::string& key, int64_t nowMs, int64_t* waitMs);
void loginThrottleSucceeded(LoginThrottle* throttle, const std::string& key);

// ---------------------------------------------------------------------------
// Requests of the JSON API, read from their bodies

struct NoticeInput {
    bool hasBoards = false;
    std::vector<int32_t> boards;
    bool hasTexts = false;
    std::string textJp;
    std::string textEn;
    bool hasScrolling = false;
    bool scrolling = false;
    bool hasColor = false;
    uint8_t color = 4;
    bool hasStart = false;
    std::string start;  // local time "YYYY-MM-DDTHH:MM", empty: from now
    bool hasEnd = false;
    std::string end;  // empty: until ended
};

struct TrainInput {
    int32_t board = 0;
    std::string tripId;
    ServiceDay serviceDay = NO_SERVICE_DAY;  // "service_date", YYYYMMDD in the request
    int32_t minutes = 0;
    // "run_start": the run of a trip run by frequency, seconds from the
    // service day's start as the departures list gives it; RUN_EVERY when
    // not given (every run of the trip that day).
    int32_t runStart = RUN_EVERY;
};

// Each reads a request body, a JSON object; false with a message naming
// what is wrong. A notice needs its texts only when it is made.
bool readNoticeInput(const std::string& body, bool creating, NoticeInput* input, std::string* error);
bool readTrainInput(const std::string& body, bool needMinutes, TrainInput* input, std::string* error);
bool readApproachInput(const std::string& body, int32_t* approach, std::string* error);
// The CSRF token a page's form carries in its body ("csrf"), empty if none.
std::string requestCsrfField(const std::string& body);

// ---------------------------------------------------------------------------
// Serving: the page and the API next to the board API

// What the operator's side needs of the board API.
struct BoardAccess {
    // The document board `number` gets now; false for an unknown board.
    std::function<bool(int32_t number, std::string* document)> document;
    // The board's departures of its operating day, as scheduled.
    std::function<bool(int32_t number, std::vector<Departure>* departures)> departures;
    std::function<const date::time_zone*()> zone;
    // What board `number` shows now as LED dots: width, height, one palette
    // index per dot (row-major) and the palette as 0x00RRGGBB; false when
    // there is no preview of it.
    std::function<bool(int32_t number, int32_t* width, int32_t* height, std::vector<uint8_t>* dots,
                       std::vector<uint32_t>* palette)>
        preview;
    // The timetable store as it is now, for the names staff give a train
    // (its route and train number) beside its time and destination.
    std::function<StoreView()> store;
};

// The operator's side while the server runs (operatorruntime.h).
struct Runtime;

// Reads the configuration and opens the operator database. A configuration
// or database that cannot serve leaves the page off (the runtime says why,
// and the log) and the boards served: a dark platform is worse than a
// missing page. Never nullptr.
Runtime* operatorStart(const std::string& configPath, const StationConfig& station, const ServerClock& clock);
void operatorStop(Runtime* runtime);

// The overlay of one board now, and a number that changes whenever anything
// the operator set changes (so cached documents are rebuilt at once). Both
// read what was published after the last stored change and never wait on
// the operator database.
void operatorOverlay(Runtime* runtime, int32_t board, int64_t now, BoardOverlay* overlay);
uint64_t operatorGeneration(const Runtime* runtime);
// The page's red line: why the boards' timetable is not what the store
// holds now (empty when it is), set by the board API.
void operatorNoteStoreFault(Runtime* runtime, const std::string& fault);

// Whether an address may reach the page and the JSON API (allow_from).
bool operatorAddressAllowed(const Runtime* runtime, const std::string& address);
// A copy of everything the operator has set now (nothing before the start).
void operatorCurrentState(Runtime* runtime, OperatorState* state);

// Called by the board API for every board request.
void noteBoardRequest(Runtime* runtime, int32_t board, const std::string& address);

// The page, its files, the login and the JSON API, added to `routes`.
void registerOperatorRoutes(Runtime* runtime, const BoardAccess& access, std::vector<HttpRoute>* routes);

// "user add NAME", "user remove NAME", "user hash", "token add NAME",
// "token revoke NAME", from the command line's parsed words.
struct OperatorCommand {
    std::string area;    // "user" or "token"
    std::string action;  // "add", "remove", "hash", "revoke"
    std::string name;    // whose
    std::string config;  // station.toml
};
int runOperatorCommand(const OperatorCommand& command);
