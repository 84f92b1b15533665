// What the operator's page, its login and its JSON API share while the
// server runs: the one runtime record (configuration, database, what is
// set, board health, sessions) and the reply helpers. Only the operator's
// own sources include this.
#pragma once

#include <httplib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "server/operator/operator.h"

using Json = nlohmann::json;

constexpr int64_t SESSION_IDLE_MS = 12LL * 3600 * 1000;
constexpr int32_t FREE_LOGIN_FAILURES = 3;
constexpr int64_t LONGEST_LOGIN_WAIT_MS = 60 * 1000;
constexpr size_t MOST_SESSIONS = 1000;
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
};

struct Session {
    std::string user;
    std::string csrf;
    int64_t lastMs = 0;
};

struct LoginFailures {
    int32_t count = 0;
    int64_t lastMs = 0;
};

struct Runtime {
    std::mutex lock;
    const StationConfig* station = nullptr;
    ServerClock clock;
    OperatorConfig config;
    OperatorDb* db = nullptr;
    OperatorState state;
    std::atomic<uint64_t> generation{1};
    std::vector<BoardHealth> health;
    std::map<std::string, Session> sessions;        // by session id
    std::map<std::string, int64_t> loginForms;      // login form token -> made at (monotonic)
    std::map<std::string, LoginFailures> failures;  // by "name:" or "address:"
    BoardAccess access;
};

// The operator's side while the server runs; nullptr otherwise.
extern Runtime* operatorRuntime;

void sendJson(httplib::Response& response, int status, const Json& body);
void sendError(httplib::Response& response, int status, const std::string& message);
void pageHeaders(httplib::Response& response);
// Who is asking: a system with its bearer token, or a logged-in operator
// (whose changes must carry the session's CSRF token). Answers 401 or 403
// itself and returns false when the request may not go on.
bool authorise(const httplib::Request& request, httplib::Response& response, bool changing, std::string* who);
// The page, its files, the login and the logout, and the address check.
void registerLoginRoutes(httplib::Server& server);

// ---------------------------------------------------------------------------
// How the page names trains and notices (operatornames.cpp)

constexpr int TRAIN_DELAY = 0;
constexpr int TRAIN_CANCEL = 1;
constexpr int TRAIN_CLEAR = 2;

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

TrainNamer trainNamer();
// Adds "route_jp", "route_en" and "train_number" to a departure's JSON.
void addTrainNames(TrainNamer* namer, const Departure& departure, Json* entry);
// The history's and the reply's words for a delay, cancellation or clearing
// (TRAIN_*), in Japanese and English; departure nullptr: the train is not
// one of a board's, and is named by its trip and day.
std::string trainChangeText(const Departure* departure, int kind, const TrainInput& input);
// The notices in force for a classic board that its document does not hold,
// each with why, in both languages. Called with the lock held.
Json unshownNotices(const BoardConfig& board, const std::string& document, int64_t now);
