// The operator's JSON API, served next to the board API (the login and the
// page files are in operatorlogin.cpp): the boards with their health from
// the boards' own requests and their previews, and every change the
// operator makes, stored before it is acknowledged and handed to the
// boards' documents through operatorOverlay.
#include <sodium.h>
#include <unistd.h>

#include <algorithm>

#include "server/operator/operatorruntime.h"

namespace {

constexpr int32_t HISTORY_SHOWN = 200;

// Why the operator's side is off, when it is.
std::string unavailableReason;

// Re-reads what is set after a change; called with the lock held.
void reloadState() {
    operatorDbLoad(operatorRuntime->db, &operatorRuntime->state);
    ++operatorRuntime->generation;
}

// Delays and cancellations of operating days the timetable no longer holds
// (it keeps the current day and the one before, for trains after midnight)
// match no train: they go, so that months of them are not searched on every
// request.
// Called with the lock held.
void dropPastChanges() {
    const date::time_zone* zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
    if (zone == nullptr) {
        return;
    }
    const int64_t now = clockNow(operatorRuntime->clock);
    const int32_t before = addDays(operatingDay(*operatorRuntime->station, zone, now), -1);
    const int32_t dropped = operatorDbDropChangesBefore(operatorRuntime->db, before, now);
    if (dropped > 0) {
        std::fprintf(stderr,
                     "velmorant-server: dropped %d delays or cancellations of service days before %d\n",
                     dropped, before);
        reloadState();
    }
}

const BoardConfig* findBoard(int32_t number) {
    for (const BoardConfig& board : operatorRuntime->station->boards) {
        if (board.number == number) {
            return &board;
        }
    }
    return nullptr;
}

std::string localText(int64_t instant) {
    const date::time_zone* zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
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
    const date::time_zone* zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
    return zone != nullptr && parseLocalTime(text, zone, instant);
}

const char* colorLetter(uint8_t color) {
    static const char* const LETTERS[8] = {"", "G", "O", "R", "Y", "W", "B", "P"};
    return LETTERS[color & 7];
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
    json["polling"] = seen && silentMs < int64_t{operatorRuntime->config.silentSeconds} * 1000;
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
    for (const BoardControl& control : operatorRuntime->state.controls) {
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
    return "notice " + (record.id != 0 ? std::to_string(record.id) + " " : std::string()) + "for " + boards +
           ": \"" + record.notice.textJp + "\" / \"" + record.notice.textEn + "\"" +
           (record.notice.scrolling ? ", scrolling" : ", fixed") + ", colour " +
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
    for (const BoardConfig& board : operatorRuntime->station->boards) {
        std::string document;
        operatorRuntime->access.document(board.number, &document);
        Json health;
        Json unshown;
        int32_t approach = APPROACH_AUTO;
        {
            std::lock_guard<std::mutex> hold(operatorRuntime->lock);
            for (const BoardHealth& entry : operatorRuntime->health) {
                if (entry.board == board.number) {
                    health = healthJson(entry, nowMs);
                }
            }
            approach = controlOf(board.number).approach;
            unshown = unshownNotices(board, document, clockNow(operatorRuntime->clock));
        }
        boards.push_back({{"number", board.number},
                          {"name", board.name},
                          {"style", board.newStyle ? "new-style" : "classic"},
                          {"has_melody", !board.melody.empty()},
                          {"approach", approachName(approach)},
                          {"health", health},
                          {"unshown", unshown},
                          {"document", document}});
    }
    sendJson(response, 200,
             Json{{"now", localText(clockNow(operatorRuntime->clock))},
                  {"silent_seconds", operatorRuntime->config.silentSeconds},
                  {"boards", boards},
                  {"realtime", Json::parse(realtimeStatusJson(clockNow(operatorRuntime->clock)))}});
}

void onPreview(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(request, response, false, &who) || (board = pathBoard(request, response)) == nullptr) {
        return;
    }
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> dots;
    std::vector<uint32_t> colors;
    if (!operatorRuntime->access.preview ||
        !operatorRuntime->access.preview(board->number, &width, &height, &dots, &colors) || width <= 0 ||
        height <= 0 || dots.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) {
        sendError(response, 503, "no preview of this board");
        return;
    }
    Json palette = Json::array();
    for (uint32_t color : colors) {
        char text[8];
        std::snprintf(text, sizeof text, "#%06X", color & 0xFFFFFF);
        palette.push_back(text);
    }
    std::string document;
    operatorRuntime->access.document(board->number, &document);
    sendJson(response, 200,
             Json{{"width", width},
                  {"height", height},
                  {"palette", palette},
                  {"dots", base64(dots)},
                  {"document", document}});
}

void onDepartures(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(request, response, false, &who) || (board = pathBoard(request, response)) == nullptr) {
        return;
    }
    std::vector<Departure> departures;
    operatorRuntime->access.departures(board->number, &departures);
    const int64_t now = clockNow(operatorRuntime->clock);
    const date::time_zone* zone = operatorRuntime->access.zone();
    Json list = Json::array();
    TrainNamer namer = trainNamer();
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (const Departure& departure : departures) {
        const TrainChange* change = nullptr;
        for (const ChangeRecord& record : operatorRuntime->state.changes) {
            if (record.change.tripId == departure.tripId &&
                record.change.serviceDate == departure.serviceDate) {
                change = &record.change;
            }
        }
        const int64_t leaves =
            departure.when +
            (change != nullptr && !change->cancelled ? int64_t{change->delayMinutes} * 60 : 0);
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
                        {"cancelled", change != nullptr && change->cancelled},
                        {"source", change != nullptr ? "staff" : realtimeTrainSource(departure, now)}});
        addTrainNames(&namer, departure, &list.back());
    }
    sendJson(response, 200, Json{{"board", board->number}, {"departures", list}});
}

void onNotices(const httplib::Request& request, httplib::Response& response) {
    std::string who;
    if (!authorise(request, response, false, &who)) {
        return;
    }
    Json list = Json::array();
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (const NoticeRecord& record : operatorRuntime->state.notices) {
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
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    NoticeRecord record;
    if (id != 0) {
        bool found = false;
        for (const NoticeRecord& existing : operatorRuntime->state.notices) {
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
    if (record.end != 0 && record.end <= std::max(record.start, clockNow(operatorRuntime->clock))) {
        sendError(response, 400, "the end must be later than the start and than now");
        return;
    }
    const int64_t at = clockNow(operatorRuntime->clock);
    const bool creating = record.id == 0;
    NoticeRecord saved = record;
    if (!operatorDbSaveNotice(operatorRuntime->db, &saved, at, who,
                              (creating ? "new " : "changed ") + describeNotice(record))) {
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
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (const NoticeRecord& existing : operatorRuntime->state.notices) {
        if (existing.id == id) {
            NoticeRecord record = existing;
            record.ended = true;
            if (!operatorDbSaveNotice(operatorRuntime->db, &record, clockNow(operatorRuntime->clock), who,
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
    enum { DELAY = TRAIN_DELAY, CANCEL = TRAIN_CANCEL, CLEAR = TRAIN_CLEAR };
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
    Departure named{};
    bool known = false;
    if (input.board != 0) {
        const BoardConfig* board = findBoard(input.board);
        if (board == nullptr) {
            sendError(response, 400, "no board " + std::to_string(input.board));
            return;
        }
        // Name the train as the board shows it, when the board has it.
        std::vector<Departure> departures;
        operatorRuntime->access.departures(input.board, &departures);
        for (const Departure& departure : departures) {
            if (departure.tripId == input.tripId && departure.serviceDate == input.serviceDate) {
                named = departure;
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
    const std::string what = trainChangeText(known ? &named : nullptr, kind, input);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    dropPastChanges();
    if (!operatorDbSaveChange(operatorRuntime->db, record, kind == CLEAR, clockNow(operatorRuntime->clock),
                              who, what)) {
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
    if (!board->newStyle) {
        sendError(response, 409,
                  "board " + std::to_string(board->number) + " is classic and has no approach warning");
        return;
    }
    int32_t approach = APPROACH_AUTO;
    std::string error;
    if (!readApproachInput(request.body, &approach, &error)) {
        sendError(response, 400, error);
        return;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    BoardControl control = controlOf(board->number);
    control.approach = approach;
    const std::string what =
        "approach warning of board " + std::to_string(board->number) + " set to " + approachName(approach);
    if (!operatorDbSaveControl(operatorRuntime->db, control, clockNow(operatorRuntime->clock), who, what)) {
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
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    BoardControl control = controlOf(board->number);
    control.melodyAt = clockNow(operatorRuntime->clock);
    // A new key each time, so every board plays it once more.
    control.melodyKey = "hand-" + std::to_string(board->number) + "-" + newSecret().substr(0, 12);
    const std::string what = "melody of board " + std::to_string(board->number) + " played by hand";
    if (!operatorDbSaveControl(operatorRuntime->db, control, control.melodyAt, who, what)) {
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
    for (const HistoryRecord& record : operatorDbHistory(operatorRuntime->db, limit)) {
        list.push_back(
            {{"id", record.id}, {"at", localText(record.at)}, {"who", record.who}, {"what", record.what}});
    }
    sendJson(response, 200, Json{{"history", list}});
}

}  // namespace

Runtime* operatorRuntime = nullptr;

void sendJson(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                         "application/json; charset=utf-8");
}

void sendError(httplib::Response& response, int status, const std::string& message) {
    sendJson(response, status, Json{{"error", message}});
}

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
    // Without its database the operator's side is off, but the boards are
    // still served: a dark platform is worse than a missing page.
    std::string problem;
    state->db = operatorDbOpen(state->config.database, &problem);
    if (state->db == nullptr) {
        unavailableReason = "the operator database cannot be opened: " + problem;
        std::fprintf(stderr, "velmorant-server: %s; the operator's page is off\n", unavailableReason.c_str());
        delete state;
        return true;
    }
    state->station = &station;
    state->clock = clock;
    for (const BoardConfig& board : station.boards) {
        BoardHealth health;
        health.board = board.number;
        state->health.push_back(health);
    }
    operatorRuntime = state;
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    reloadState();
    return true;
}

void operatorStop() {
    if (operatorRuntime != nullptr) {
        operatorDbClose(operatorRuntime->db);
        delete operatorRuntime;
        operatorRuntime = nullptr;
    }
}

void operatorOverlay(int32_t board, int64_t now, BoardOverlay* overlay) {
    *overlay = BoardOverlay{};
    if (operatorRuntime == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    overlayFromState(operatorRuntime->state, board, now, overlay);
}

void operatorCurrentState(OperatorState* state) {
    *state = OperatorState{};
    if (operatorRuntime != nullptr) {
        std::lock_guard<std::mutex> hold(operatorRuntime->lock);
        *state = operatorRuntime->state;
    }
}

uint64_t operatorGeneration() {
    return operatorRuntime != nullptr ? operatorRuntime->generation.load() : 0;
}

void noteBoardRequest(int32_t board, const std::string& address) {
    if (operatorRuntime == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (BoardHealth& health : operatorRuntime->health) {
        if (health.board != board) {
            continue;
        }
        const int64_t at = clockNow(operatorRuntime->clock);
        if (!health.address.empty() && health.address != address) {
            health.previousAddress = health.address;
            health.addressChangedAt = at;
            std::fprintf(stderr, "velmorant-server: board %d now asks from %s (was %s)\n", board,
                         address.c_str(), health.address.c_str());
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
    if (operatorRuntime == nullptr) {
        server.Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.status = 503;
            response.set_content("velmorant-server: " + unavailableReason + "\n",
                                 "text/plain; charset=utf-8");
        });
        return;
    }
    operatorRuntime->access = access;
    {
        std::lock_guard<std::mutex> hold(operatorRuntime->lock);
        dropPastChanges();
    }
    registerLoginRoutes(server);
    server.Get("/api/v1/boards", onBoards);
    server.Get(R"(/api/v1/boards/(\d{1,9})/preview)", onPreview);
    server.Get(R"(/api/v1/boards/(\d{1,9})/departures)", onDepartures);
    server.Post(R"(/api/v1/boards/(\d{1,9})/approach)", onApproach);
    server.Post(R"(/api/v1/boards/(\d{1,9})/melody)", onMelody);
    server.Get("/api/v1/notices", onNotices);
    server.Post("/api/v1/notices",
                [](const httplib::Request& q, httplib::Response& r) { saveNotice(q, r, 0); });
    server.Post(R"(/api/v1/notices/(\d{1,18}))", [](const httplib::Request& q, httplib::Response& r) {
        saveNotice(q, r, std::atoll(q.matches[1].str().c_str()));
    });
    server.Post(R"(/api/v1/notices/(\d{1,18})/end)", onEndNotice);
    server.Post("/api/v1/delays", [](const httplib::Request& q, httplib::Response& r) { onTrain(q, r, 0); });
    server.Post("/api/v1/cancellations",
                [](const httplib::Request& q, httplib::Response& r) { onTrain(q, r, 1); });
    server.Post("/api/v1/trains/clear",
                [](const httplib::Request& q, httplib::Response& r) { onTrain(q, r, 2); });
    server.Get("/api/v1/history", onHistory);
}
