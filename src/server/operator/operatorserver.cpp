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

// What a train request asks for.

// Re-reads what is set after a change; called with the lock held.
// What the boards use is published as a copy, under a lock held only for
// the exchange.
void reloadState(Runtime* operatorRuntime) {
    operatorDbLoad(operatorRuntime->db, &operatorRuntime->state);
    auto published = std::make_shared<const OperatorState>(operatorRuntime->state);
    {
        std::lock_guard<std::mutex> hold(operatorRuntime->publishLock);
        operatorRuntime->published = std::move(published);
    }
    ++operatorRuntime->generation;
}

// Delays and cancellations of operating days the timetable no longer holds
// (it keeps the current day and the one before, for trains after midnight)
// match no train: they go, so that months of them are not searched on every
// request.
// Called with the lock held.
void dropPastChanges(Runtime* operatorRuntime) {
    const date::time_zone* zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
    if (zone == nullptr) {
        return;
    }
    const int64_t now = clockNow(operatorRuntime->clock);
    const ServiceDay before =
        operatingDay(*operatorRuntime->station, zone, instantFromUnix(now)) - date::days{1};
    const int32_t dropped = operatorDbDropChangesBefore(operatorRuntime->db, before, now);
    if (dropped > 0) {
        serverLog("dropped " + std::to_string(dropped) + " delays or cancellations of service days before " +
                  formatServiceDay(before));
        reloadState(operatorRuntime);
    }
}

// The change in force for a departure: the one of its own run before one
// of every run of its trip that day; nullptr when none.
const TrainChange* changeOf(const std::vector<ChangeRecord>& changes, const Departure& departure) {
    const TrainChange* change = nullptr;
    int32_t closest = CHANGE_NAMES_NOT;
    for (const ChangeRecord& record : changes) {
        const int32_t names = changeNames(record.change, departure);
        if (names != CHANGE_NAMES_NOT && names >= closest) {
            change = &record.change;
            closest = names;
        }
    }
    return change;
}

const BoardConfig* findBoard(Runtime* operatorRuntime, int32_t number) {
    for (const BoardConfig& board : operatorRuntime->station->boards) {
        if (board.number == number) {
            return &board;
        }
    }
    return nullptr;
}

std::string localText(Runtime* operatorRuntime, int64_t instant) {
    const date::time_zone* zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
    if (zone == nullptr || instant == 0) {
        return std::string();
    }
    return formatLocalTime(zone, instantFromUnix(instant));
}

bool parseLocal(Runtime* operatorRuntime, const std::string& text, int64_t* instant) {
    *instant = 0;
    if (text.empty()) {
        return true;
    }
    const date::time_zone* zone = operatorRuntime->access.zone ? operatorRuntime->access.zone() : nullptr;
    return zone != nullptr && parseLocalTime(text, zone, instant);
}

std::string colorLetter(uint8_t color) {
    const char letter = COLOR_LETTERS[color & 7];
    return letter != 0 ? std::string(1, letter) : std::string();
}

// The board-number path part of a request, answering 404 when unknown.
const BoardConfig* pathBoard(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    const BoardConfig* board = findBoard(operatorRuntime, std::atoi(request.matches[1].c_str()));
    if (board == nullptr) {
        sendError(response, 404, "no such board");
    }
    return board;
}

Json healthJson(Runtime* operatorRuntime, const BoardHealth& health, int64_t nowMs) {
    Json json;
    const bool seen = health.lastMs >= 0;
    const int64_t silentMs = seen ? nowMs - health.lastMs : -1;
    json["last_request"] = seen ? Json(localText(operatorRuntime, health.lastAt)) : Json();
    json["seconds_since"] = seen ? Json(silentMs / 1000) : Json();
    json["address"] = health.address;
    json["polling"] = seen && silentMs < int64_t{operatorRuntime->config.silentSeconds} * 1000;
    if (!health.unexpectedAddress.empty()) {
        json["unexpected_address"] = "polled from an unexpected address: " + health.unexpectedAddress;
    }
    if (!health.previousAddress.empty()) {
        json["new_address"] = {{"address", health.address},
                               {"previous", health.previousAddress},
                               {"since", localText(operatorRuntime, health.addressChangedAt)}};
    }
    return json;
}

Json noticeJson(Runtime* operatorRuntime, const NoticeRecord& record) {
    return Json{{"id", record.id},
                {"boards", record.boards.empty() ? Json("all") : Json(record.boards)},
                {"text_jp", record.notice.textJp},
                {"text_en", record.notice.textEn},
                {"scrolling", record.notice.scrolling},
                {"color", colorLetter(record.notice.color)},
                {"start", localText(operatorRuntime, record.start)},
                {"end", localText(operatorRuntime, record.end)}};
}

const char* approachName(int32_t approach) {
    return approach == APPROACH_ON ? "on" : approach == APPROACH_OFF ? "off" : "auto";
}

BoardControl controlOf(Runtime* operatorRuntime, int32_t board) {
    for (const BoardControl& control : operatorRuntime->state.controls) {
        if (control.board == board) {
            return control;
        }
    }
    BoardControl control;
    control.board = board;
    return control;
}

// A notice in the history, in staff's words in both languages: what was
// done, its texts, which boards and when it shows.
std::string describeNotice(Runtime* operatorRuntime, const char* doneJp, const char* doneEn,
                           const NoticeRecord& record) {
    std::string boardsJp = record.boards.empty() ? "全発車標" : "";
    std::string boardsEn = record.boards.empty() ? "all boards" : "board";
    for (size_t i = 0; i < record.boards.size(); ++i) {
        boardsJp += (i == 0 ? "" : "・") + std::to_string(record.boards[i]) + "番";
        boardsEn +=
            (i == 0 ? (record.boards.size() > 1 ? "s " : " ") : ", ") + std::to_string(record.boards[i]);
    }
    const std::string from = record.start != 0 ? localText(operatorRuntime, record.start) : std::string();
    const std::string until = record.end != 0 ? localText(operatorRuntime, record.end) : std::string();
    std::string whenJp = "常時";
    std::string whenEn = "always";
    if (!from.empty() || !until.empty()) {
        whenJp =
            (from.empty() ? std::string() : from + "から") + (until.empty() ? std::string() : until + "まで");
        whenEn = (from.empty() ? std::string() : "from " + from) +
                 (from.empty() || until.empty() ? "" : " ") +
                 (until.empty() ? std::string() : "until " + until);
    }
    return std::string(doneJp) + "「" + record.notice.textJp + "」（" + boardsJp + "、" + whenJp + "） / " +
           doneEn + " \"" + record.notice.textEn + "\" (" + boardsEn + ", " + whenEn + ")";
}

std::string base64(const std::vector<uint8_t>& bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminator
    return text;
}

// ---------------------------------------------------------------------------
// Route handlers

void onBoards(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, false, &who)) {
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
            std::lock_guard<std::mutex> hold(operatorRuntime->healthLock);
            for (const BoardHealth& entry : operatorRuntime->health) {
                if (entry.board == board.number) {
                    health = healthJson(operatorRuntime, entry, nowMs);
                }
            }
        }
        {
            std::lock_guard<std::mutex> hold(operatorRuntime->lock);
            approach = controlOf(operatorRuntime, board.number).approach;
            unshown = unshownNotices(operatorRuntime, board, document, clockNow(operatorRuntime->clock));
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
    std::string storeFault;
    {
        std::lock_guard<std::mutex> hold(operatorRuntime->healthLock);
        storeFault = operatorRuntime->storeFault;
    }
    sendJson(response, 200,
             Json{{"now", localText(operatorRuntime, clockNow(operatorRuntime->clock))},
                  {"store_fault", storeFault.empty() ? Json() : Json(storeFault)},
                  {"silent_seconds", operatorRuntime->config.silentSeconds},
                  {"boards", boards},
                  {"realtime", Json::parse(realtimeStatusJson(clockNow(operatorRuntime->clock)))}});
}

void onPreview(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(operatorRuntime, request, response, false, &who) ||
        (board = pathBoard(operatorRuntime, request, response)) == nullptr) {
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

void onDepartures(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(operatorRuntime, request, response, false, &who) ||
        (board = pathBoard(operatorRuntime, request, response)) == nullptr) {
        return;
    }
    std::vector<Departure> departures;
    operatorRuntime->access.departures(board->number, &departures);
    const int64_t now = clockNow(operatorRuntime->clock);
    const date::time_zone* zone = operatorRuntime->access.zone();
    Json list = Json::array();
    TrainNamer namer = trainNamer(operatorRuntime);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (const Departure& departure : departures) {
        const TrainChange* change = changeOf(operatorRuntime->state.changes, departure);
        const std::chrono::sys_seconds leaves =
            departure.when +
            std::chrono::minutes{change != nullptr && !change->cancelled ? change->delayMinutes : 0};
        // What has left is of no more use; a cancelled train stays listed
        // until its time so that it can be reinstated.
        if (leaves <= instantFromUnix(now) || list.size() >= 40) {
            continue;
        }
        // A run of a trip run by frequency is named by its start, which
        // the page sends back with a change of that run alone.
        const bool run = departure.byFrequency && departure.firstDeparture >= 0;
        list.push_back({{"trip_id", departure.tripId},
                        {"service_date", serviceDayNumber(departure.serviceDay)},
                        {"run_start", run ? Json(departure.firstDeparture) : Json()},
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

void onNotices(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, false, &who)) {
        return;
    }
    Json list = Json::array();
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (const NoticeRecord& record : operatorRuntime->state.notices) {
        list.push_back(noticeJson(operatorRuntime, record));
    }
    sendJson(response, 200, Json{{"notices", list}});
}

// Makes (id 0) or changes a notice from a request.
void saveNotice(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response, int64_t id) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, true, &who)) {
        return;
    }
    NoticeInput input;
    std::string error;
    if (!readNoticeInput(request.body, id == 0, &input, &error)) {
        sendError(response, 400, error);
        return;
    }
    for (int32_t board : input.boards) {
        if (findBoard(operatorRuntime, board) == nullptr) {
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
    if ((input.hasStart && !parseLocal(operatorRuntime, input.start, &record.start)) ||
        (input.hasEnd && !parseLocal(operatorRuntime, input.end, &record.end))) {
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
    if (!operatorDbSaveNotice(
            operatorRuntime->db, &saved, at, who,
            creating ? describeNotice(operatorRuntime, "お知らせを掲示", "Notice posted:", record)
                     : describeNotice(operatorRuntime, "お知らせを変更", "Notice changed:", record))) {
        sendError(response, 500, "the notice could not be stored");
        return;
    }
    reloadState(operatorRuntime);
    sendJson(response, creating ? 201 : 200, noticeJson(operatorRuntime, saved));
}

void onEndNotice(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, true, &who)) {
        return;
    }
    const int64_t id = std::atoll(request.matches[1].c_str());
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    for (const NoticeRecord& existing : operatorRuntime->state.notices) {
        if (existing.id == id) {
            NoticeRecord record = existing;
            record.ended = true;
            if (!operatorDbSaveNotice(
                    operatorRuntime->db, &record, clockNow(operatorRuntime->clock), who,
                    describeNotice(operatorRuntime, "お知らせを終了", "Notice ended:", existing))) {
                sendError(response, 500, "the notice could not be stored");
                return;
            }
            reloadState(operatorRuntime);
            sendJson(response, 200, Json{{"ended", id}});
            return;
        }
    }
    sendError(response, 404, "no notice " + std::to_string(id) + " in force");
}

// Sets a delay (minutes), a cancellation or clears either.
void onTrain(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response,
             TrainChangeKind kind) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, true, &who)) {
        return;
    }
    TrainInput input;
    std::string error;
    if (!readTrainInput(request.body, kind == TRAIN_DELAY, &input, &error)) {
        sendError(response, 400, error);
        return;
    }
    Departure named{};
    bool known = false;
    if (input.board != 0) {
        const BoardConfig* board = findBoard(operatorRuntime, input.board);
        if (board == nullptr) {
            sendError(response, 400, "no board " + std::to_string(input.board));
            return;
        }
        // Name the train as the board shows it, when the board has it.
        std::vector<Departure> departures;
        operatorRuntime->access.departures(input.board, &departures);
        for (const Departure& departure : departures) {
            if (departure.tripId == input.tripId && departure.serviceDay == input.serviceDay &&
                (input.runStart == RUN_EVERY || departure.firstDeparture == input.runStart)) {
                named = departure;
                known = true;
            }
        }
        if (!known && kind != TRAIN_CLEAR) {
            sendError(response, 404, "board " + std::to_string(input.board) + " has no such departure today");
            return;
        }
    }
    ChangeRecord record;
    record.board = input.board;
    record.change.tripId = input.tripId;
    record.change.serviceDay = input.serviceDay;
    record.change.delayMinutes = input.minutes;
    record.change.cancelled = kind == TRAIN_CANCEL;
    // An ordinary trip runs once a day: its change is the trip's, as it
    // always was, whatever run a caller named.
    record.change.runStart = known && !named.byFrequency ? RUN_EVERY : input.runStart;
    const std::string what = trainChangeText(operatorRuntime, known ? &named : nullptr, kind, input);
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    dropPastChanges(operatorRuntime);
    if (!operatorDbSaveChange(operatorRuntime->db, record, kind == TRAIN_CLEAR,
                              clockNow(operatorRuntime->clock), who, what)) {
        sendError(response, 500, "the change could not be stored");
        return;
    }
    reloadState(operatorRuntime);
    sendJson(response, 200, Json{{"done", what}});
}

void onApproach(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(operatorRuntime, request, response, true, &who) ||
        (board = pathBoard(operatorRuntime, request, response)) == nullptr) {
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
    BoardControl control = controlOf(operatorRuntime, board->number);
    control.approach = approach;
    const std::string what =
        "approach warning of board " + std::to_string(board->number) + " set to " + approachName(approach);
    if (!operatorDbSaveControl(operatorRuntime->db, control, clockNow(operatorRuntime->clock), who, what)) {
        sendError(response, 500, "the change could not be stored");
        return;
    }
    reloadState(operatorRuntime);
    sendJson(response, 200, Json{{"approach", approachName(approach)}});
}

void onMelody(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    const BoardConfig* board = nullptr;
    if (!authorise(operatorRuntime, request, response, true, &who) ||
        (board = pathBoard(operatorRuntime, request, response)) == nullptr) {
        return;
    }
    if (board->melody.empty()) {
        sendError(response, 409, "board " + std::to_string(board->number) + " has no melody");
        return;
    }
    std::lock_guard<std::mutex> hold(operatorRuntime->lock);
    BoardControl control = controlOf(operatorRuntime, board->number);
    control.melodyAt = clockNow(operatorRuntime->clock);
    // A new key each time, so every board plays it once more.
    control.melodyKey = "hand-" + std::to_string(board->number) + "-" + newSecret().substr(0, 12);
    const std::string what = "melody of board " + std::to_string(board->number) + " played by hand";
    if (!operatorDbSaveControl(operatorRuntime->db, control, control.melodyAt, who, what)) {
        sendError(response, 500, "the change could not be stored");
        return;
    }
    reloadState(operatorRuntime);
    sendJson(response, 200, Json{{"melody", board->melody}, {"key", control.melodyKey}});
}

void onHistory(Runtime* operatorRuntime, const HttpRequest& request, HttpResponse& response) {
    std::string who;
    if (!authorise(operatorRuntime, request, response, false, &who)) {
        return;
    }
    int32_t limit = HISTORY_SHOWN;
    if (request.hasParam("limit")) {
        limit = std::clamp(std::atoi(request.param("limit").c_str()), 1, 10000);
    }
    Json list = Json::array();
    for (const HistoryRecord& record : operatorDbHistory(operatorRuntime->db, limit)) {
        list.push_back({{"id", record.id},
                        {"at", localText(operatorRuntime, record.at)},
                        {"who", record.who},
                        {"what", record.what}});
    }
    sendJson(response, 200, Json{{"history", list}});
}

}  // namespace

void sendJson(HttpResponse& response, int status, const Json& body) {
    response.status = status;
    response.setHeader("Cache-Control", "no-store");
    response.setContent(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                        "application/json; charset=utf-8");
}

void sendError(HttpResponse& response, int status, const std::string& message) {
    sendJson(response, status, Json{{"error", message}});
}

namespace {

// A change is refused at once, with the reason, when the operator database
// can no longer keep it (removed, replaced or read-only), rather than
// acknowledged and lost.
HttpHandler storedChange(Runtime* operatorRuntime, HttpHandler handler) {
    return [operatorRuntime, handler](const HttpRequest& request, HttpResponse& response) {
        const std::string fault = operatorDbFault(operatorRuntime->db);
        if (!fault.empty()) {
            serverLog(fault);
            sendError(response, 503, fault);
            return;
        }
        handler(request, response);
    };
}

}  // namespace

void registerOperatorRoutes(Runtime* runtime, const BoardAccess& access, std::vector<HttpRoute>* routes) {
    if (!runtime->unavailable.empty()) {
        routes->push_back(operatorRoute(
            "GET", "/", RouteWork::NETWORK, [runtime](const HttpRequest&, HttpResponse& response) {
                response.status = 503;
                response.setContent("velmorant-server: " + runtime->unavailable + "\n",
                                    "text/plain; charset=utf-8");
            }));
        return;
    }
    runtime->access = access;
    {
        std::lock_guard<std::mutex> hold(runtime->lock);
        dropPastChanges(runtime);
    }
    registerLoginRoutes(runtime, routes);
    // Each handler gets the runtime it serves.
    auto with = [runtime](void (*handler)(Runtime*, const HttpRequest&, HttpResponse&)) {
        return [runtime, handler](const HttpRequest& q, HttpResponse& r) { handler(runtime, q, r); };
    };
    auto train = [runtime](TrainChangeKind kind) {
        return storedChange(runtime, [runtime, kind](const HttpRequest& q, HttpResponse& r) {
            onTrain(runtime, q, r, kind);
        });
    };
    const RouteWork work = RouteWork::OPERATOR;
    routes->push_back(operatorRoute("GET", "/api/v1/boards", work, with(onBoards)));
    routes->push_back(
        operatorRoute("GET", R"(/api/v1/boards/(\d{1,9})/preview)", RouteWork::HEAVY, with(onPreview)));
    routes->push_back(
        operatorRoute("GET", R"(/api/v1/boards/(\d{1,9})/departures)", work, with(onDepartures)));
    routes->push_back(operatorRoute("POST", R"(/api/v1/boards/(\d{1,9})/approach)", work,
                                    storedChange(runtime, with(onApproach))));
    routes->push_back(operatorRoute("POST", R"(/api/v1/boards/(\d{1,9})/melody)", work,
                                    storedChange(runtime, with(onMelody))));
    routes->push_back(operatorRoute("GET", "/api/v1/notices", work, with(onNotices)));
    routes->push_back(operatorRoute("POST", "/api/v1/notices", work,
                                    storedChange(runtime, [runtime](const HttpRequest& q, HttpResponse& r) {
                                        saveNotice(runtime, q, r, 0);
                                    })));
    routes->push_back(operatorRoute("POST", R"(/api/v1/notices/(\d{1,18}))", work,
                                    storedChange(runtime, [runtime](const HttpRequest& q, HttpResponse& r) {
                                        saveNotice(runtime, q, r, std::atoll(q.matches[1].c_str()));
                                    })));
    routes->push_back(operatorRoute("POST", R"(/api/v1/notices/(\d{1,18})/end)", work,
                                    storedChange(runtime, with(onEndNotice))));
    routes->push_back(operatorRoute("POST", "/api/v1/delays", work, train(TRAIN_DELAY)));
    routes->push_back(operatorRoute("POST", "/api/v1/cancellations", work, train(TRAIN_CANCEL)));
    routes->push_back(operatorRoute("POST", "/api/v1/trains/clear", work, train(TRAIN_CLEAR)));
    routes->push_back(operatorRoute("GET", "/api/v1/history", work, with(onHistory)));
}

Runtime* operatorStart(const std::string& configPath, const StationConfig& station,
                       const ServerClock& clock) {
    auto* state = new Runtime;
    state->station = &station;
    state->clock = clock;
    for (const BoardConfig& board : station.boards) {
        BoardHealth health;
        health.board = board.number;
        health.boundAddress = board.address.empty() ? std::string() : plainAddress(board.address);
        state->healthIndex[board.number] = state->health.size();
        state->health.push_back(health);
    }
    std::vector<std::string> problems;
    const bool configured = loadOperatorConfig(configPath, station, &state->config, &problems);
    for (const std::string& problem : problems) {
        serverLog(problem);
    }
    // Without its configuration or database the operator's side is off,
    // but the boards are still served: a dark platform is worse than a
    // missing page.
    std::string problem;
    if (sodium_init() < 0) {
        state->unavailable = "libsodium cannot start";
    } else if (!configured) {
        state->unavailable = "[operator] in " + configPath + " is wrong (see the log)";
    } else if ((state->db = operatorDbOpen(state->config.database, &problem)) == nullptr) {
        state->unavailable = "the operator database cannot be opened: " + problem;
    } else if (!(problem = operatorDbFault(state->db)).empty()) {
        serverLog(problem);
    }
    if (!state->unavailable.empty()) {
        serverLog(state->unavailable + "; the operator's page is off");
        return state;
    }
    state->dummyHash = hashPassword(newSecret());
    std::lock_guard<std::mutex> hold(state->lock);
    reloadState(state);
    return state;
}

void operatorStop(Runtime* runtime) {
    if (runtime != nullptr) {
        operatorDbClose(runtime->db);
        delete runtime;
    }
}

void operatorOverlay(Runtime* runtime, int32_t board, int64_t now, BoardOverlay* overlay) {
    *overlay = BoardOverlay{};
    std::shared_ptr<const OperatorState> state;
    {
        std::lock_guard<std::mutex> hold(runtime->publishLock);
        state = runtime->published;
    }
    if (state != nullptr) {
        overlayFromState(*state, board, now, overlay);
    }
}

void operatorCurrentState(Runtime* runtime, OperatorState* state) {
    *state = OperatorState{};
    if (runtime == nullptr) {
        return;
    }
    std::shared_ptr<const OperatorState> published;
    {
        std::lock_guard<std::mutex> hold(runtime->publishLock);
        published = runtime->published;
    }
    if (published != nullptr) {
        *state = *published;
    }
}

uint64_t operatorGeneration(const Runtime* runtime) {
    return runtime->generation.load();
}

void operatorNoteStoreFault(Runtime* runtime, const std::string& fault) {
    std::lock_guard<std::mutex> hold(runtime->healthLock);
    runtime->storeFault = fault;
}

void noteBoardRequest(Runtime* runtime, int32_t board, const std::string& address) {
    const auto index = runtime->healthIndex.find(board);
    if (index == runtime->healthIndex.end()) {
        return;
    }
    std::lock_guard<std::mutex> hold(runtime->healthLock);
    BoardHealth& health = runtime->health[index->second];
    // A board bound to its address is healthy only when polled from it; any
    // other host asking for its document is shown, not counted.
    if (!health.boundAddress.empty() && health.boundAddress != address) {
        if (health.unexpectedAddress != address) {
            serverLog("board " + std::to_string(board) + " polled from an unexpected address " + address);
        }
        health.unexpectedAddress = address;
        return;
    }
    const int64_t at = clockNow(runtime->clock);
    if (!health.address.empty() && health.address != address) {
        health.previousAddress = health.address;
        health.addressChangedAt = at;
        serverLog("board " + std::to_string(board) + " now asks from " + address + " (was " + health.address +
                  ")");
    }
    health.address = address;
    health.lastMs = monotonicMs();
    health.lastAt = at;
}

bool operatorAddressAllowed(const Runtime* runtime, const std::string& address) {
    return !runtime->config.allowFromBroken && addressAllowed(address, runtime->config.allowFrom);
}
