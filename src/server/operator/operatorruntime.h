// What the operator's page, its login and its JSON API share while the
// server runs: the one runtime record (configuration, database, what is
// set, board health, sessions) and the reply helpers. Only the operator's
// own sources include this.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "server/operator/operator.h"

using Json = nlohmann::json;

constexpr int64_t SESSION_IDLE_MS = 12LL * 3600 * 1000;
// Password checks at once: each takes libsodium's interactive memory
// (64 MiB), so more would only queue in memory.
constexpr int32_t MOST_HASHES_AT_ONCE = 2;
constexpr int64_t LONGEST_LOGIN_WAIT_MS = 60 * 1000;
constexpr size_t MOST_SESSIONS = 1000;
constexpr size_t MOST_LOGIN_FORMS = 100000;
constexpr int64_t LOGIN_FORM_MS = 3600 * 1000;
constexpr size_t MOST_FAILURE_RECORDS = 10000;
constexpr int64_t FAILURE_MEMORY_MS = 3600 * 1000;
const char* const SESSION_COOKIE = "velmorant_session";
const char* const LOGIN_COOKIE = "velmorant_login";

struct BoardHealth {
    int32_t board = 0;
    int64_t lastMs = -1;  // monotonic; -1: not seen since the server started
    int64_t lastAt = 0;   // server clock
    std::string address;
    std::string previousAddress;
    int64_t addressChangedAt = 0;
    std::string boundAddress;       // the board's configured address, empty when any
    std::string unexpectedAddress;  // the last address not its own it was polled from
};

struct Session {
    std::string user;
    std::string csrf;
    int64_t lastMs = 0;        // monotonic, the last request
    int64_t startMs = 0;       // monotonic, the login: the session ends a lifetime later
    std::string passwordHash;  // the user's hash at the login: a new one (or none) ends the session
};

struct Runtime {
    std::string unavailable;  // why the page is off, empty while it serves
    std::mutex lock;
    const StationConfig* station = nullptr;
    ServerClock clock;
    OperatorConfig config;
    OperatorDb* db = nullptr;
    OperatorState state;
    std::atomic<uint64_t> generation{1};
    // What the boards' documents use: a copy of `state` published after each
    // stored change under its own short lock, so a board never waits while
    // a change is being stored.
    std::mutex publishLock;
    std::shared_ptr<const OperatorState> published;
    std::mutex healthLock;  // the boards' health only
    std::vector<BoardHealth> health;
    std::unordered_map<int32_t, size_t> healthIndex;  // board number -> its entry in health (fixed at start)
    std::string storeFault;                   // the board API's last timetable fault (under healthLock)
    std::string dummyHash;                    // checked for unknown users, so they cost as much as known ones
    int32_t hashesRunning = 0;                // password checks under way (under lock)
    std::map<std::string, Session> sessions;  // by session id
    std::map<std::string, int64_t> loginForms;  // login form token -> made at (monotonic)
    std::deque<std::string> loginFormOrder;     // the same tokens, oldest first
    LoginThrottle throttle;                     // failed logins by user and address
    BoardAccess access;
};

void sendJson(HttpResponse& response, int status, const Json& body);
void sendError(HttpResponse& response, int status, const std::string& message);
void pageHeaders(HttpResponse& response);
// Who is asking: a system with its bearer token, or a logged-in operator
// (whose changes must carry the session's CSRF token). Answers 401 or 403
// itself and returns false when the request may not go on.
bool authorise(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response, bool changing,
               std::string* who);
// The page, its files, the login and the logout.
void registerLoginRoutes(Runtime* operatorRuntime, std::vector<HttpRoute>* routes);
// An operator route: what it answers, its body limit and where it runs.
HttpRoute operatorRoute(const char* method, const char* pattern, RouteWork work, HttpHandler handler);

// ---------------------------------------------------------------------------
// How the page names trains and notices (operatornames.cpp)

// What staff do to a train from the page.
enum TrainChangeKind { TRAIN_DELAY, TRAIN_CANCEL, TRAIN_CLEAR };

// What staff call a train beside its time and destination.
struct TrainNames {
    std::string typeJp;  // the route's short name, else its long name
    std::string typeEn;  // that name in English from the feed's translations; empty: none
    std::string number;  // the train number (trip_short_name); empty: none in the store
};

// The store one request reads the names from, each route read once.
struct TrainNamer {
    StoreView view{};                          // the store and its zone as the request began
    std::map<std::string, TrainNames> routes;  // by route_id; the number left empty
};

TrainNamer trainNamer(Runtime* operatorRuntime);
// Adds "route_jp", "route_en" and "train_number" to a departure's JSON.
void addTrainNames(TrainNamer* namer, const Departure& departure, Json* entry);
// The history's and the reply's words for a delay, cancellation or clearing
// (TRAIN_*), in Japanese and English; departure nullptr: the train is not
// one of a board's, and is named by its trip and day.
std::string trainChangeText(Runtime* operatorRuntime, const Departure* departure, TrainChangeKind kind,
                            const TrainInput& input);
// The notices in force for a classic board that its document does not hold,
// each with why, in both languages. Called with the lock held.
Json unshownNotices(Runtime* operatorRuntime, const BoardConfig& board, const std::string& document,
                    int64_t now);
