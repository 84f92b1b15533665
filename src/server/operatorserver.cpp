// The operator's page and JSON API, served next to the board API: login
// with sessions and CSRF tokens, bearer tokens for other systems, the
// fleet's health from the boards' own requests, and every change the
// operator makes, stored before it is acknowledged and handed to the
// boards' documents through operatorOverlay.
#include <httplib.h>
#include <sodium.h>

#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "server/operator.h"
#include "server/preview.h"

// The page files, built into the program from src/server/page/.
const char* operatorPageHtml();
const char* operatorLoginHtml();
const char* operatorScript();
const char* operatorStyle();

namespace {

using Json = nlohmann::json;

constexpr int64_t SESSION_IDLE_MS = 12LL * 3600 * 1000;
constexpr int32_t FREE_LOGIN_FAILURES = 3;
constexpr int64_t LONGEST_LOGIN_WAIT_MS = 60 * 1000;
constexpr int32_t HISTORY_SHOWN = 200;
constexpr size_t MOST_SESSIONS = 1000;
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
    std::map<std::string, Session> sessions;  // by session id
    std::map<std::string, int64_t> loginForms;  // login form token -> made at (monotonic)
    std::map<std::string, LoginFailures> failures;  // by "name:" or "address:"
    BoardAccess access;
};

Runtime* runtime = nullptr;

// Re-reads what is set after a change; called with the lock held.
void reloadState() {
    operatorDbLoad(runtime->db, &runtime->state);
    ++runtime->generation;
}

const BoardConfig* findBoard(int32_t number) {
    for (const BoardConfig& board : runtime->station->boards) {
        if (board.number == number) {
            return &board;
        }
    }
    return nullptr;
}

std::string localText(int64_t instant) {
    const date::time_zone* zone = runtime->access.zone ? runtime->access.zone() : nullptr;
    if (zone == nullptr || instant == 0) {
        return std::string();
    }
    const int32_t day = localDate(zone, instant);
    const int32_t seconds = localSecondsOfDay(zone, instant);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", day / 10000, day / 100 % 100, day % 100,
                  seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

bool parseLocal(const std::string& text, int64_t* instant) {
    *instant = 0;
    if (text.empty()) {
        return true;
    }
    const date::time_zone* zone = runtime->access.zone ? runtime->access.zone() : nullptr;
    return zone != nullptr && parseLocalTime(text, zone, instant);
}

const char* colorLetter(uint8_t color) {
    static const char* const LETTERS[8] = {"", "G", "O", "R", "Y", "W", "B", "P"};
    return LETTERS[color & 7];
}

void sendJson(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json; charset=utf-8");
}

void sendError(httplib::Response& response, int status, const std::string& message) {
    sendJson(response, status, Json{{"error", message}});
}

// Headers every page reply carries: no inline scripts, no framing, no
// guessing of content types, nothing cached.
void pageHeaders(httplib::Response& response) {
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                        "frame-ancestors 'none'; form-action 'self'; base-uri 'none'");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", "no-store");
}

std::string cookieValue(const httplib::Request& request, const std::string& name) {
    const std::string header = request.get_header_value("Cookie");
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(';', start);
        end = end == std::string::npos ? header.size() : end;
        size_t first = start;
        while (first < end && header[first] == ' ') {
            ++first;
        }
        const std::string pair = header.substr(first, end - first);
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
            return pair.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return std::string();
}

std::string cookieAttributes() {
    return std::string("; Path=/; HttpOnly; SameSite=Strict") + (runtime->config.secureCookie ? "; Secure" : "");
}

bool sameSecret(const std::string& a, const std::string& b) {
    return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The session of a request, refreshed; nullptr when there is none.
Session* findSession(const httplib::Request& request) {
    const std::string id = cookieValue(request, SESSION_COOKIE);
    auto found = runtime->sessions.find(id);
    if (id.empty() || found == runtime->sessions.end()) {
        return nullptr;
    }
    const int64_t nowMs = monotonicMs();
    if (nowMs - found->second.lastMs > SESSION_IDLE_MS) {
        runtime->sessions.erase(found);
        return nullptr;
    }
    found->second.lastMs = nowMs;
    return &found->second;
}

// Who is asking: a system with its bearer token, or a logged-in operator
// (whose changes must carry the session's CSRF token). Answers 401 or 403
// itself and returns false when the request may not go on.
bool authorise(const httplib::Request& request, httplib::Response& response, bool changing, std::string* who) {
    const std::string authorization = request.get_header_value("Authorization");
    if (authorization.rfind("Bearer ", 0) == 0) {
        const std::string token = authorization.substr(7);
        const std::string hash = tokenHash(token);
        for (const ConfigToken& configured : runtime->config.tokens) {
            if (sameSecret(tokenHash(configured.token), hash)) {
                *who = "token:" + configured.name;
                return true;
            }
        }
        const std::string name = operatorDbTokenName(runtime->db, hash);
        if (!name.empty()) {
            *who = "token:" + name;
            return true;
        }
        sendError(response, 401, "unknown or revoked token");
        return false;
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    Session* session = findSession(request);
    if (session == nullptr) {
        sendError(response, 401, "log in first");
        return false;
    }
    if (changing) {
        std::string csrf = request.get_header_value("X-CSRF-Token");
        if (csrf.empty()) {
            csrf = requestCsrfField(request.body);
        }
        if (!sameSecret(csrf, session->csrf)) {
            sendError(response, 403, "the form's CSRF token is missing or wrong; reload the page");
            return false;
        }
    }
    *who = session->user;
    return true;
}

// The board-number path part of a request, answering 404 when unknown.
const BoardConfig* pathBoard(const httplib::Request& request, httplib::Response& response) {
    const BoardConfig* board = findBoard(std::atoi(request.matches[1].str().c_str()));
    if (board == nullptr) {
        sendError(response, 404, "no such board");
    }
    return board;
}

Json healthJson(const BoardHealth& health, int64_t nowMs) {
    Json json;
    const bool seen = health.lastMs >= 0;
    const int64_t silentMs = seen ? nowMs - health.lastMs : -1;
    json["last_request"] = seen ? Json(localText(health.lastAt)) : Json();
    json["seconds_since"] = seen ? Json(silentMs / 1000) : Json();
    json["address"] = health.address;
    json["polling"] = seen && silentMs < int64_t{runtime->config.silentSeconds} * 1000;
    if (!health.previousAddress.empty()) {
        json["new_address"] = {{"address", health.address},
                               {"previous", health.previousAddress},
                               {"since", localText(health.addressChangedAt)}};
    }
    return json;
}

Json noticeJson(const NoticeRecord& record) {
    return Json{{"id", record.id},
                {"boards", record.boards.empty() ? Json("all") : Json(record.boards)},
                {"text_jp", record.notice.textJp},
                {"text_en", record.notice.textEn},
                {"scrolling", record.notice.scrolling},
                {"color", colorLetter(record.notice.color)},
                {"start", localText(record.start)},
                {"end", localText(record.end)}};
}

const char* approachName(int32_t approach) {
    return approach == APPROACH_ON ? "on" : approach == APPROACH_OFF ? "off" : "auto";
}

BoardControl controlOf(int32_t board) {
    for (const BoardControl& control : runtime->state.controls) {
        if (control.board == board) {
            return control;
        }
    }
    BoardControl control;
    control.board = board;
    return control;
}

std::string describeNotice(const NoticeRecord& record) {
    std::string boards = record.boards.empty() ? "all boards" : "boards";
    for (size_t i = 0; i < record.boards.size(); ++i) {
        boards += (i == 0 ? " " : ",") + std::to_string(record.boards[i]);
    }
    return "notice " + (record.id != 0 ? std::to_string(record.id) + " " : std::string()) + "for " + boards + ": \"" + record.notice.textJp + "\" / \"" +
           record.notice.textEn + "\"" + (record.notice.scrolling ? ", scrolling" : ", fixed") + ", colour " +
           colorLetter(record.notice.color) +
           (record.start != 0 ? ", from " + localText(record.start) : std::string()) +
           (record.end != 0 ? ", until " + localText(record.end) : std::string());
}

std::string base64(const std::vector<uint8_t>& bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminator
    return text;
}

// ---------------------------------------------------------------------------
// Route handlers

void onBoards(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, false, &who)) {
        return;
    }
    Json boards = Json::array();
    const int64_t nowMs = monotonicMs();
    for (const BoardConfig& board : runtime->station->boards) {
        std::string document;
        runtime->access.document(board.number, &document);
        Json health;
        int32_t approach = APPROACH_AUTO;
        {
            std::lock_guard<std::mutex> hold(runtime->lock);
            for (const BoardHealth& entry : runtime->health) {
                if (entry.board == board.number) {
                    health = healthJson(entry, nowMs);
                }
            }
            approach = controlOf(board.number).approach;
        }
        boards.push_back({{"number", board.number},
                          {"name", board.name},
                          {"style", board.newStyle ? "new-style" : "classic"},
                          {"has_melody", !board.melody.empty()},
                          {"approach", approachName(approach)},
                          {"health", health},
                          {"document", document}});
    }
    sendJson(response, 200,
             Json{{"now", localText(clockNow(runtime->clock))},
                  {"silent_seconds", runtime->config.silentSeconds},
                  {"boards", boards}});
}

void onPreview(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(request, response, false, &who) || (board = pathBoard(request, response)) == nullptr) {
        return;
    }
    PreviewDots dots;
    if (!renderBoardPreview(board->number, previewClockMs(runtime->clock), dots) || dots.width <= 0 || dots.height <= 0 ||
        dots.dots.size() != static_cast<size_t>(dots.width) * static_cast<size_t>(dots.height)) {
        sendError(response, 503, "no preview of this board");
        return;
    }
    Json palette = Json::array();
    for (uint32_t color : dots.palette) {
        char text[8];
        std::snprintf(text, sizeof text, "#%06X", color & 0xFFFFFF);
        palette.push_back(text);
    }
    std::string document;
    runtime->access.document(board->number, &document);
    sendJson(response, 200,
             Json{{"width", dots.width},
                  {"height", dots.height},
                  {"palette", palette},
                  {"dots", base64(dots.dots)},
                  {"document", document}});
}

void onDepartures(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(request, response, false, &who) || (board = pathBoard(request, response)) == nullptr) {
        return;
    }
    std::vector<Departure> departures;
    runtime->access.departures(board->number, &departures);
    const int64_t now = clockNow(runtime->clock);
    const date::time_zone* zone = runtime->access.zone();
    Json list = Json::array();
    std::lock_guard<std::mutex> hold(runtime->lock);
    for (const Departure& departure : departures) {
        const TrainChange* change = nullptr;
        for (const ChangeRecord& record : runtime->state.changes) {
            if (record.change.tripId == departure.tripId && record.change.serviceDate == departure.serviceDate) {
                change = &record.change;
            }
        }
        const int64_t leaves =
            departure.when + (change != nullptr && !change->cancelled ? int64_t{change->delayMinutes} * 60 : 0);
        // What has left is of no more use; a cancelled train stays listed
        // until its time so that it can be reinstated.
        if (leaves <= now || list.size() >= 40) {
            continue;
        }
        list.push_back({{"trip_id", departure.tripId},
                        {"service_date", departure.serviceDate},
                        {"time", formatClock(zone, departure.when)},
                        {"destination_jp", departure.destinations[0]},
                        {"destination_en", departure.destinations[1]},
                        {"delay_minutes", change != nullptr && !change->cancelled ? change->delayMinutes : 0},
                        {"cancelled", change != nullptr && change->cancelled}});
    }
    sendJson(response, 200, Json{{"board", board->number}, {"departures", list}});
}

void onNotices(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, false, &who)) {
        return;
    }
    Json list = Json::array();
    std::lock_guard<std::mutex> hold(runtime->lock);
    for (const NoticeRecord& record : runtime->state.notices) {
        list.push_back(noticeJson(record));
    }
    sendJson(response, 200, Json{{"notices", list}});
}

// Makes (id 0) or changes a notice from a request.
void saveNotice(const httplib::Request& request, httplib::Response& response, int64_t id) {
    std::string who;
    if (!authorise(request, response, true, &who)) {
        return;
    }
    NoticeInput input;
    std::string error;
    if (!readNoticeInput(request.body, id == 0, &input, &error)) {
        sendError(response, 400, error);
        return;
    }
    for (int32_t board : input.boards) {
        if (findBoard(board) == nullptr) {
            sendError(response, 400, "no board " + std::to_string(board));
            return;
        }
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    NoticeRecord record;
    if (id != 0) {
        bool found = false;
        for (const NoticeRecord& existing : runtime->state.notices) {
            if (existing.id == id) {
                record = existing;
                found = true;
            }
        }
        if (!found) {
            sendError(response, 404, "no notice " + std::to_string(id) + " in force");
            return;
        }
    }
    if (input.hasBoards) {
        record.boards = input.boards;
    }
    if (input.hasTexts) {
        record.notice.textJp = input.textJp;
        record.notice.textEn = input.textEn;
    }
    if (input.hasScrolling) {
        record.notice.scrolling = input.scrolling;
    }
    if (input.hasColor) {
        record.notice.color = input.color;
    }
    if ((input.hasStart && !parseLocal(input.start, &record.start)) ||
        (input.hasEnd && !parseLocal(input.end, &record.end))) {
        sendError(response, 400, "start and end must be real local times");
        return;
    }
    if (record.end != 0 && record.end <= std::max(record.start, clockNow(runtime->clock))) {
        sendError(response, 400, "the end must be later than the start and than now");
        return;
    }
    const int64_t at = clockNow(runtime->clock);
    const bool creating = record.id == 0;
    NoticeRecord saved = record;
    if (!operatorDbSaveNotice(runtime->db, &saved, at, who, (creating ? "new " : "changed ") + describeNotice(record))) {
        sendError(response, 500, "the notice could not be stored");
        return;
    }
    reloadState();
    sendJson(response, creating ? 201 : 200, noticeJson(saved));
}

void onEndNotice(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, true, &who)) {
        return;
    }
    const int64_t id = std::atoll(request.matches[1].str().c_str());
    std::lock_guard<std::mutex> hold(runtime->lock);
    for (const NoticeRecord& existing : runtime->state.notices) {
        if (existing.id == id) {
            NoticeRecord record = existing;
            record.ended = true;
            if (!operatorDbSaveNotice(runtime->db, &record, clockNow(runtime->clock), who,
                                      "ended " + describeNotice(existing))) {
                sendError(response, 500, "the notice could not be stored");
                return;
            }
            reloadState();
            sendJson(response, 200, Json{{"ended", id}});
            return;
        }
    }
    sendError(response, 404, "no notice " + std::to_string(id) + " in force");
}

// Sets a delay (minutes), a cancellation or clears either.
void onTrain(const httplib::Request& request, httplib::Response& response, int kind) {
    enum { DELAY, CANCEL, CLEAR };
    std::string who;
    if (!authorise(request, response, true, &who)) {
        return;
    }
    TrainInput input;
    std::string error;
    if (!readTrainInput(request.body, kind == DELAY, &input, &error)) {
        sendError(response, 400, error);
        return;
    }
    std::string train = "train " + input.tripId + " of " + std::to_string(input.serviceDate);
    if (input.board != 0) {
        const BoardConfig* board = findBoard(input.board);
        if (board == nullptr) {
            sendError(response, 400, "no board " + std::to_string(input.board));
            return;
        }
        // Name the train as the board shows it, when the board has it.
        std::vector<Departure> departures;
        runtime->access.departures(input.board, &departures);
        bool known = false;
        for (const Departure& departure : departures) {
            if (departure.tripId == input.tripId && departure.serviceDate == input.serviceDate) {
                train = formatClock(runtime->access.zone(), departure.when) + " " + departure.destinations[0] + " (" +
                        input.tripId + ", " + std::to_string(input.serviceDate) + ")";
                known = true;
            }
        }
        if (!known && kind != CLEAR) {
            sendError(response, 404, "board " + std::to_string(input.board) + " has no such departure today");
            return;
        }
    }
    ChangeRecord record;
    record.board = input.board;
    record.change.tripId = input.tripId;
    record.change.serviceDate = input.serviceDate;
    record.change.delayMinutes = input.minutes;
    record.change.cancelled = kind == CANCEL;
    const std::string what = kind == DELAY    ? "delay of " + std::to_string(input.minutes) + " min for " + train
                             : kind == CANCEL ? "cancelled " + train
                                              : "cleared delay or cancellation of " + train;
    std::lock_guard<std::mutex> hold(runtime->lock);
    if (!operatorDbSaveChange(runtime->db, record, kind == CLEAR, clockNow(runtime->clock), who, what)) {
        sendError(response, 500, "the change could not be stored");
        return;
    }
    reloadState();
    sendJson(response, 200, Json{{"done", what}});
}

void onApproach(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(request, response, true, &who) || (board = pathBoard(request, response)) == nullptr) {
        return;
    }
    int32_t approach = APPROACH_AUTO;
    std::string error;
    if (!readApproachInput(request.body, &approach, &error)) {
        sendError(response, 400, error);
        return;
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    BoardControl control = controlOf(board->number);
    control.approach = approach;
    const std::string what = "approach warning of board " + std::to_string(board->number) + " set to " +
                             approachName(approach);
    if (!operatorDbSaveControl(runtime->db, control, clockNow(runtime->clock), who, what)) {
        sendError(response, 500, "the change could not be stored");
        return;
    }
    reloadState();
    sendJson(response, 200, Json{{"approach", approachName(approach)}});
}

void onMelody(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(request, response, true, &who) || (board = pathBoard(request, response)) == nullptr) {
        return;
    }
    if (board->melody.empty()) {
        sendError(response, 409, "board " + std::to_string(board->number) + " has no melody");
        return;
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    BoardControl control = controlOf(board->number);
    control.melodyAt = clockNow(runtime->clock);
    // A new key each time, so every board plays it once more.
    control.melodyKey = "hand-" + std::to_string(board->number) + "-" + newSecret().substr(0, 12);
    const std::string what = "melody of board " + std::to_string(board->number) + " played by hand";
    if (!operatorDbSaveControl(runtime->db, control, control.melodyAt, who, what)) {
        sendError(response, 500, "the change could not be stored");
        return;
    }
    reloadState();
    sendJson(response, 200, Json{{"melody", board->melody}, {"key", control.melodyKey}});
}

void onHistory(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, false, &who)) {
        return;
    }
    int32_t limit = HISTORY_SHOWN;
    if (request.has_param("limit")) {
        limit = std::clamp(std::atoi(request.get_param_value("limit").c_str()), 1, 10000);
    }
    Json list = Json::array();
    for (const HistoryRecord& record : operatorDbHistory(runtime->db, limit)) {
        list.push_back({{"id", record.id}, {"at", localText(record.at)}, {"who", record.who}, {"what", record.what}});
    }
    sendJson(response, 200, Json{{"history", list}});
}

// ---------------------------------------------------------------------------
// Login and the page

bool loginAllowed(const std::string& key, int64_t nowMs, int64_t* waitMs) {
    const auto found = runtime->failures.find(key);
    if (found == runtime->failures.end() || found->second.count < FREE_LOGIN_FAILURES) {
        return true;
    }
    const int32_t doublings = std::min(found->second.count - FREE_LOGIN_FAILURES, 6);
    const int64_t wait = std::min<int64_t>(1000LL << doublings, LONGEST_LOGIN_WAIT_MS);
    *waitMs = std::max(*waitMs, found->second.lastMs + wait - nowMs);
    return nowMs >= found->second.lastMs + wait;
}

void onLogin(const httplib::Request& request, httplib::Response& response) {
    pageHeaders(response);
    const Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.value("name", Json()).is_string() ||
        !body.value("password", Json()).is_string()) {
        sendError(response, 400, "name and password are needed");
        return;
    }
    const std::string name = body["name"].get<std::string>();
    const std::string password = body["password"].get<std::string>();
    const std::string formToken = body.value("csrf", Json()).is_string() ? body["csrf"].get<std::string>() : "";
    const std::string nameKey = "name:" + name;
    const std::string addressKey = "address:" + request.remote_addr;
    {
        std::lock_guard<std::mutex> hold(runtime->lock);
        const int64_t nowMs = monotonicMs();
        if (!sameSecret(formToken, cookieValue(request, LOGIN_COOKIE)) ||
            runtime->loginForms.count(formToken) == 0) {
            sendError(response, 403, "the login form's CSRF token is missing or wrong; reload the page");
            return;
        }
        int64_t waitMs = 0;
        // Both are asked, so the wait shown is the longer one.
        const bool nameAllowed = loginAllowed(nameKey, nowMs, &waitMs);
        const bool addressAllowed = loginAllowed(addressKey, nowMs, &waitMs);
        const bool allowed = nameAllowed && addressAllowed;
        if (!allowed) {
            response.set_header("Retry-After", std::to_string((waitMs + 999) / 1000));
            sendError(response, 429,
                      "too many failed logins; try again in " + std::to_string((waitMs + 999) / 1000) + " s");
            return;
        }
    }
    // The hash check is slow on purpose; it runs without the lock.
    std::string hash;
    for (const ConfigUser& user : runtime->config.users) {
        if (user.name == name) {
            hash = user.passwordHash;
        }
    }
    if (hash.empty()) {
        hash = operatorDbUserHash(runtime->db, name);
    }
    const bool good = !name.empty() && passwordMatches(hash, password);
    std::lock_guard<std::mutex> hold(runtime->lock);
    const int64_t nowMs = monotonicMs();
    if (!good) {
        for (const std::string& key : {nameKey, addressKey}) {
            LoginFailures& failures = runtime->failures[key];
            ++failures.count;
            failures.lastMs = nowMs;
        }
        std::fprintf(stderr, "velmorant-server: failed login for \"%s\" from %s\n", name.c_str(),
                     request.remote_addr.c_str());
        sendError(response, 401, "wrong name or password");
        return;
    }
    runtime->failures.erase(nameKey);
    runtime->failures.erase(addressKey);
    runtime->loginForms.erase(formToken);
    if (runtime->sessions.size() >= MOST_SESSIONS) {
        // The session idle the longest makes room.
        auto oldest = runtime->sessions.begin();
        for (auto it = runtime->sessions.begin(); it != runtime->sessions.end(); ++it) {
            oldest = it->second.lastMs < oldest->second.lastMs ? it : oldest;
        }
        runtime->sessions.erase(oldest);
    }
    const std::string id = newSecret();
    runtime->sessions[id] = Session{name, newSecret(), nowMs};
    response.set_header("Set-Cookie", std::string(SESSION_COOKIE) + "=" + id + cookieAttributes());
    sendJson(response, 200, Json{{"user", name}});
}

void onLogout(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, true, &who)) {
        return;
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    runtime->sessions.erase(cookieValue(request, SESSION_COOKIE));
    response.set_header("Set-Cookie", std::string(SESSION_COOKIE) + "=" + cookieAttributes() + "; Max-Age=0");
    sendJson(response, 200, Json{{"user", nullptr}});
}

// Puts a value into a page template at each {{name}} place. Only
// server-made tokens (hex) are ever put in, never a text someone typed.
std::string fillIn(std::string page, const std::string& name, const std::string& value) {
    const std::string mark = "{{" + name + "}}";
    for (size_t at = page.find(mark); at != std::string::npos; at = page.find(mark, at + value.size())) {
        page.replace(at, mark.size(), value);
    }
    return page;
}

void onPage(const httplib::Request& request, httplib::Response& response) {
    pageHeaders(response);
    std::lock_guard<std::mutex> hold(runtime->lock);
    const Session* session = findSession(request);
    if (session != nullptr) {
        response.set_content(fillIn(operatorPageHtml(), "csrf", session->csrf), "text/html; charset=utf-8");
        return;
    }
    // A login form token, also in a cookie: the form must come from this
    // page, not from another site.
    const int64_t nowMs = monotonicMs();
    for (auto it = runtime->loginForms.begin(); it != runtime->loginForms.end();) {
        it = nowMs - it->second > SESSION_IDLE_MS || runtime->loginForms.size() > MOST_SESSIONS
                 ? runtime->loginForms.erase(it)
                 : std::next(it);
    }
    const std::string token = newSecret();
    runtime->loginForms[token] = nowMs;
    response.set_header("Set-Cookie", std::string(LOGIN_COOKIE) + "=" + token + cookieAttributes());
    response.set_content(fillIn(operatorLoginHtml(), "csrf", token), "text/html; charset=utf-8");
}

}  // namespace

bool operatorStart(const std::string& configPath, const StationConfig& station, const ServerClock& clock,
                   std::string* error) {
    if (sodium_init() < 0) {
        *error = "libsodium cannot start";
        return false;
    }
    auto* state = new Runtime;
    std::vector<std::string> problems;
    if (!loadOperatorConfig(configPath, station, &state->config, &problems)) {
        *error = problems.empty() ? "[operator] cannot be read" : problems.front();
        delete state;
        return false;
    }
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "velmorant-server: %s\n", problem.c_str());
    }
    state->db = operatorDbOpen(state->config.database, error);
    if (state->db == nullptr) {
        delete state;
        return false;
    }
    state->station = &station;
    state->clock = clock;
    for (const BoardConfig& board : station.boards) {
        BoardHealth health;
        health.board = board.number;
        state->health.push_back(health);
    }
    runtime = state;
    std::lock_guard<std::mutex> hold(runtime->lock);
    reloadState();
    return true;
}

void operatorStop() {
    if (runtime != nullptr) {
        operatorDbClose(runtime->db);
        delete runtime;
        runtime = nullptr;
    }
}

void operatorOverlay(int32_t board, int64_t now, BoardOverlay* overlay) {
    *overlay = BoardOverlay{};
    if (runtime == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    for (const NoticeRecord& record : runtime->state.notices) {
        const bool forBoard =
            record.boards.empty() || std::find(record.boards.begin(), record.boards.end(), board) != record.boards.end();
        if (forBoard && !record.ended && record.start <= now && (record.end == 0 || now < record.end)) {
            overlay->notices.push_back(record.notice);
        }
    }
    for (const ChangeRecord& record : runtime->state.changes) {
        overlay->changes.push_back(record.change);
    }
    const BoardControl control = controlOf(board);
    overlay->approach = control.approach;
    overlay->manualMelodyKey = control.melodyKey;
    overlay->manualMelodyAt = control.melodyAt;
}

uint64_t operatorGeneration() {
    return runtime != nullptr ? runtime->generation.load() : 0;
}

void noteBoardRequest(int32_t board, const std::string& address) {
    if (runtime == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(runtime->lock);
    for (BoardHealth& health : runtime->health) {
        if (health.board != board) {
            continue;
        }
        const int64_t at = clockNow(runtime->clock);
        if (!health.address.empty() && health.address != address) {
            health.previousAddress = health.address;
            health.addressChangedAt = at;
            std::fprintf(stderr, "velmorant-server: board %d now asks from %s (was %s)\n", board, address.c_str(),
                         health.address.c_str());
        }
        health.address = address;
        health.lastMs = monotonicMs();
        health.lastAt = at;
    }
}

void registerOperatorRoutes(httplib::Server& server, const StationConfig& station, const ServerClock& clock,
                            const BoardAccess& access) {
    (void)station;
    (void)clock;
    runtime->access = access;
    // Only the allowed addresses reach anything but the board API.
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        const std::vector<std::string>& allowed = runtime->config.allowFrom;
        if (allowed.empty() || request.path.rfind("/api/boards/", 0) == 0 || request.path.rfind("/sounds/", 0) == 0 ||
            std::find(allowed.begin(), allowed.end(), request.remote_addr) != allowed.end()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = 403;
        response.set_content("the operator's page is not open to this address\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/", onPage);
    server.Get("/operator.js", [](const httplib::Request&, httplib::Response& response) {
        pageHeaders(response);
        response.set_content(operatorScript(), "text/javascript; charset=utf-8");
    });
    server.Get("/operator.css", [](const httplib::Request&, httplib::Response& response) {
        pageHeaders(response);
        response.set_content(operatorStyle(), "text/css; charset=utf-8");
    });
    server.Post("/login", onLogin);
    server.Post("/logout", onLogout);
    server.Get("/api/v1/boards", onBoards);
    server.Get(R"(/api/v1/boards/(\d{1,9})/preview)", onPreview);
    server.Get(R"(/api/v1/boards/(\d{1,9})/departures)", onDepartures);
    server.Post(R"(/api/v1/boards/(\d{1,9})/approach)", onApproach);
    server.Post(R"(/api/v1/boards/(\d{1,9})/melody)", onMelody);
    server.Get("/api/v1/notices", onNotices);
    server.Post("/api/v1/notices", [](const httplib::Request& q, httplib::Response& r) { saveNotice(q, r, 0); });
    server.Post(R"(/api/v1/notices/(\d{1,18}))", [](const httplib::Request& q, httplib::Response& r) {
        saveNotice(q, r, std::atoll(q.matches[1].str().c_str()));
    });
    server.Post(R"(/api/v1/notices/(\d{1,18})/end)", onEndNotice);
    server.Post("/api/v1/delays", [](const httplib::Request& q, httplib::Response& r) { onTrain(q, r, 0); });
    server.Post("/api/v1/cancellations", [](const httplib::Request& q, httplib::Response& r) { onTrain(q, r, 1); });
    server.Post("/api/v1/trains/clear", [](const httplib::Request& q, httplib::Response& r) { onTrain(q, r, 2); });
    server.Get("/api/v1/history", onHistory);
}
