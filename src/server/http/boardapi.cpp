// The board API: GET /api/boards/N/display.txt answers the board's document
// for this second (built at most once a second per board, then served from
// its cache), GET /sounds/<name> a melody file from the melody folder and
// GET /api/boards/N/preview.png what the board shows as a picture, drawn
// once per document and pitch. Every reply closes its connection, as the
// boards expect. The store is re-opened
// between requests when the import has replaced its file, so a feed update
// never drops a request.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>

#include "server/http/http.h"
#include "server/operator/operator.h"
#include "server/preview/preview.h"

namespace {

// Everything of a board's configuration that its timetable depends on.
std::string selectionKey(const BoardConfig& board) {
    std::string key = board.stopId + '\x1f' + board.station + '\x1f' + board.platformCode + '\x1f' +
                      std::to_string(board.directionId) + '\x1f' + board.platform + '\x1f' + board.lineJp +
                      '\x1f' + board.lineEn + '\x1f' + std::to_string(board.lineColor) + '\x1f' +
                      board.trainTemplate + '\x1f' + (board.showNotInService ? "1" : "0");
    for (const std::string& route : board.routes) {
        key += '\x1e' + route;
    }
    for (const RouteColor& color : board.routeColors) {
        key += '\x1d' + color.routeId + '=' + std::to_string(color.color);
    }
    return key;
}

// The timetable for a selection, built once per store and day. A build
// during which the store failed to read is not kept: `fault` says why, and
// the last good timetable (or nothing) is returned.
std::shared_ptr<const BoardTimetable> sharedTimetable(TimetableCache* cache, const std::string& key,
                                                      const StationConfig& config, const BoardConfig& board,
                                                      const StoreView& view, ServiceDay day,
                                                      std::string* fault) {
    std::lock_guard<std::mutex> hold(cache->lock);
    SharedTimetable& entry = cache->entries[key];
    if (entry.timetable == nullptr || entry.generation != view.generation ||
        entry.timetable->operatingDay != day) {
        std::string last;
        const uint64_t faultsBefore = storeFaults(view.store.get(), &last);
        auto timetable = std::make_shared<BoardTimetable>();
        buildTimetable(view.store.get(), view.zone, config, board, day, timetable.get(), &cache->texts);
        if (storeFaults(view.store.get(), &last) != faultsBefore) {
            *fault = "the timetable store cannot be read (" + last + ")";
            return entry.timetable;
        }
        entry.timetable = std::move(timetable);
        entry.generation = view.generation;
    }
    return entry.timetable;
}

constexpr int64_t FAULT_RETRY_MS = 5000;

// Brings the slot's timetable up to the store and the day. On a store
// fault the last good departures stay in use, the fault is logged loudly
// (once while it lasts) and shown on the operator's page, and the store is
// tried again a few seconds later; false when there is no good timetable.
bool refreshTimetable(BoardSlot* slot, TimetableCache* cache, const StationConfig& config,
                      const StoreView& view, ServiceDay day, Runtime* operatorSide) {
    const bool retry = !slot->storeFault.empty() && monotonicMs() - slot->faultMs >= FAULT_RETRY_MS;
    if (slot->timetable != nullptr && slot->timetableGeneration == view.generation &&
        slot->timetable->operatingDay == day && !retry) {
        return true;
    }
    std::string fault;
    auto timetable = sharedTimetable(cache, slot->selection, config, *slot->board, view, day, &fault);
    if (fault.empty()) {
        if (!slot->storeFault.empty()) {
            serverLog("board " + std::to_string(slot->board->number) + ": the timetable store reads again");
            operatorNoteStoreFault(operatorSide, std::string());
        }
        slot->storeFault.clear();
        slot->timetable = std::move(timetable);
        slot->timetableGeneration = view.generation;
        return true;
    }
    slot->faultMs = monotonicMs();
    if (fault != slot->storeFault) {
        serverLog("FAULT: board " + std::to_string(slot->board->number) + ": " + fault + "; " +
                  (slot->timetable != nullptr ? "the last good departures stay shown" : "answering 503"));
        operatorNoteStoreFault(operatorSide, fault);
        slot->storeFault = fault;
    }
    if (slot->timetable == nullptr) {
        slot->timetable = std::move(timetable);
    }
    // The last good timetable is kept for this store until the next try.
    slot->timetableGeneration = view.generation;
    return slot->timetable != nullptr;
}

// What a board's document is built from at a moment.
struct Sources {
    uint64_t generation;       // the store opening
    uint64_t operatorChanges;  // what the operator has set
    uint64_t feedChanges;      // the live feeds' content
    bool operator==(const Sources&) const = default;
};

Sources currentSources(const StoreView& view, const Runtime* operatorSide) {
    // What the operator sets, and a new content of the live feeds, show in
    // the next document, not a second later.
    return {view.generation, operatorGeneration(operatorSide), realtimeGeneration()};
}

bool builtFrom(const SlotDocument& document, int64_t second, const Sources& sources) {
    return document.builtFor == second && document.generation == sources.generation &&
           document.operatorGeneration == sources.operatorChanges &&
           document.realtimeGeneration == sources.feedChanges;
}

// Builds the slot's document for `second` into `into` (the one shown or
// the one ahead); called with the slot locked.
void buildInto(BoardSlot* slot, TimetableCache* cache, const StationConfig& config, const StoreView& view,
               int64_t second, const Sources& sources, Runtime* operatorSide, SlotDocument* into) {
    const ServiceDay day = operatingDay(config, view.zone, instantFromUnix(second));
    if (!refreshTimetable(slot, cache, config, view, day, operatorSide)) {
        // Never a wrong document: without a good timetable the board gets 503.
        into->accepted = false;
        into->builtFor = INT64_MIN;
        return;
    }
    BoardOverlay overlay;
    operatorOverlay(operatorSide, slot->board->number, second, &overlay);
    BuiltDocument document;
    if (slot->feedCache.timetable != slot->timetable) {
        slot->feedCache = RealtimeBoardCache();
        slot->feedCache.timetable = slot->timetable;
    }
    buildDocument(config, *slot->board, *slot->timetable, view.zone, second, &document, &overlay,
                  &slot->feedCache, slot->shown.body.empty() ? nullptr : &slot->shown.body);
    into->builtFor = second;
    into->generation = sources.generation;
    into->operatorGeneration = sources.operatorChanges;
    into->realtimeGeneration = sources.feedChanges;
    into->accepted = document.accepted;
    if (document.accepted) {
        into->body = std::move(document.text);
    }
    // Problems go to the log when they change, not every second.
    std::string problems;
    for (const std::string& problem : document.problems) {
        problems += problem + "\n";
    }
    if (problems != slot->lastProblems) {
        for (const std::string& problem : document.problems) {
            serverLog("board " + std::to_string(slot->board->number) + ": " + problem);
        }
        slot->lastProblems = problems;
    }
}

// Whether a document may be served in the second now: built for it from
// what is current, or, while the builder is at work on a new content of
// the live feeds (`builderBehind`), from the feeds' content before it (that
// content reaches a board within seconds anyway, never all boards in the
// same second).
bool servable(const SlotDocument& document, int64_t now, const Sources& sources, bool builderBehind) {
    return builtFrom(document, now, sources) ||
           (builderBehind &&
            builtFrom(document, now,
                      {sources.generation, sources.operatorChanges, document.realtimeGeneration}));
}

// Brings the slot up to the second now: the document built ahead for it
// when nothing has changed since, else one built here; `builderBehind` as
// for servable. Called with the slot locked.
void refreshSlot(BoardSlot* slot, TimetableCache* cache, const StationConfig& config, const StoreView& view,
                 int64_t now, Runtime* operatorSide, bool builderBehind = false) {
    const Sources sources = currentSources(view, operatorSide);
    if (servable(slot->shown, now, sources, builderBehind)) {
        return;
    }
    if (builtFrom(slot->ahead, now, sources)) {
        std::swap(slot->shown, slot->ahead);
        if (!slot->shown.accepted) {
            slot->shown.body = slot->ahead.body;  // the body stays the last accepted document
        }
        slot->ahead.builtFor = INT64_MIN;
    } else {
        buildInto(slot, cache, config, view, now, sources, operatorSide, &slot->shown);
    }
    slot->published.store(std::make_shared<const SlotDocument>(slot->shown));
}

const char* soundType(const std::string& name) {
    std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : name;
    for (char& c : tail) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    return tail == ".wav" ? "audio/wav" : "audio/mpeg";
}

// The board's slot, or nothing for a board the station does not have.
BoardSlot* findSlot(BoardApi* api, int32_t number) {
    const auto found = api->slotByNumber.find(number);
    return found == api->slotByNumber.end() ? nullptr : found->second;
}

const char* const PLAIN_TEXT = "text/plain; charset=utf-8";

// A board route: no body accepted, answered on the network thread unless
// it draws.
HttpRoute boardRoute(const char* pattern, RouteWork work, HttpHandler handler) {
    HttpRoute route;
    route.method = "GET";
    route.pattern = pattern;
    route.mostBody = 0;
    route.work = work;
    route.audience = RouteAudience::BOARDS;
    route.handler = std::move(handler);
    return route;
}

// Each board's document, brought up to date from the store when it asks.
HttpRoute displayRoute(BoardApi* api) {
    return boardRoute(
        R"(/api/boards/(\d{1,9})/display\.txt)", RouteWork::NETWORK,
        [api](const HttpRequest& request, HttpResponse& response) {
            const int32_t number = std::atoi(request.matches[1].c_str());
            BoardSlot* slot = findSlot(api, number);
            if (slot == nullptr) {
                response.status = 404;
                response.setContent("no such board\n", PLAIN_TEXT);
                return;
            }
            noteBoardRequest(api->operatorSide, number, request.remoteAddress);
            const int64_t now = clockNow(*api->clock);
            slot->askedAt.store(now, std::memory_order_relaxed);
            // Most polls find the document the builder made ready; the rest
            // bring the slot up to date under its lock.
            std::shared_ptr<const SlotDocument> document = slot->published.load();
            if (document == nullptr ||
                !servable(*document, now, currentSources(liveStoreCurrent(&api->store), api->operatorSide),
                          api->builderOnFeeds.load(std::memory_order_relaxed))) {
                withFreshSlot(api, number,
                              [&](const BoardSlot& fresh) { document = fresh.published.load(); });
            }
            const bool accepted = document != nullptr && document->accepted;
            std::string body = document != nullptr ? document->body : std::string();
            if (!accepted) {
                response.status = 503;
                response.setContent("document not accepted by the board's reader\n", PLAIN_TEXT);
                return;
            }
            response.setContent(std::move(body), PLAIN_TEXT);
        });
}

// The melody files, by name, for the boards to play.
HttpRoute soundRoute(const StationConfig& config) {
    return boardRoute(R"(/sounds/(.+))", RouteWork::NETWORK,
                      [&config](const HttpRequest& request, HttpResponse& response) {
                          std::string path;
                          const std::string& name = request.matches[1];
                          const int64_t size = melodyFileSize(config, name, &path);
                          std::string bytes;
                          FILE* file = size >= 0 ? std::fopen(path.c_str(), "rb") : nullptr;
                          if (file == nullptr) {
                              response.status = 404;
                              response.setContent("no such melody\n", PLAIN_TEXT);
                              return;
                          }
                          bytes.resize(static_cast<size_t>(size));
                          const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
                          std::fclose(file);
                          bytes.resize(got);
                          response.setContent(bytes, soundType(name));
                      });
}

constexpr int32_t DEFAULT_PITCH = 4;
constexpr int32_t PREVIEWS_PER_SECOND = 8;

// The picture of a board's document at a pitch: drawn once, then taken
// from the cache until the document changes. 404 for an unknown board.
int32_t previewPicture(BoardApi* api, int32_t number, int32_t pitch, std::string* png) {
    std::string document;
    if (!withFreshSlot(api, number, [&document](const BoardSlot& slot) { document = slot.shown.body; })) {
        return 404;
    }
    {
        std::lock_guard<std::mutex> hold(api->previews.lock);
        for (const PreviewPicture& picture : api->previews.pictures) {
            if (picture.board == number && picture.pitch == pitch && picture.document == document) {
                *png = picture.png;
                return 200;
            }
        }
    }
    PreviewDots dots;
    if (!renderBoardPreview(number, previewClockMs(*api->clock), dots)) {
        return 404;
    }
    if (!encodePreviewPng(dots, pitch, png)) {
        return 500;
    }
    std::lock_guard<std::mutex> hold(api->previews.lock);
    auto& pictures = api->previews.pictures;
    std::erase_if(pictures,
                  [&](const PreviewPicture& old) { return old.board == number && old.pitch == pitch; });
    pictures.push_back({number, document, pitch, *png});
    return 200;
}

// What a board shows now as a PNG picture of round LEDs.
HttpRoute previewRoute(BoardApi* api) {
    HttpRoute route = boardRoute(R"(/api/boards/(\d{1,9})/preview\.png)", RouteWork::HEAVY,
                                 [api](const HttpRequest& request, HttpResponse& response) {
                                     const int32_t number = std::atoi(request.matches[1].c_str());
                                     int32_t pitch = DEFAULT_PITCH;
                                     if (request.hasParam("pitch")) {
                                         pitch = std::atoi(request.param("pitch").c_str());
                                     }
                                     if (pitch < 1 || pitch > PREVIEW_MOST_PITCH) {
                                         response.status = 400;
                                         response.setContent("pitch is 1 to 16\n", PLAIN_TEXT);
                                         return;
                                     }
                                     std::string png;
                                     response.status = previewPicture(api, number, pitch, &png);
                                     if (response.status == 404) {
                                         response.setContent("no such board\n", PLAIN_TEXT);
                                     } else if (response.status != 200) {
                                         response.setContent("preview picture failed\n", PLAIN_TEXT);
                                     } else {
                                         response.setHeader("Cache-Control", "no-store");
                                         response.setContent(std::move(png), "image/png");
                                     }
                                 });
    // Pictures are for people (and pages) looking now and then, not for a
    // loop: past this a second, one address waits.
    route.mostPerSecond = PREVIEWS_PER_SECOND;
    return route;
}

// Boards that polled within this many seconds get documents built ahead.
constexpr int64_t POLLED_LATELY_SECONDS = 10;
// How often the builder looks for a change made within the second.
constexpr int64_t BUILDER_LOOK_MS = 50;
// The builder's nice value where the idle class is refused: below the
// network threads, above the pool for hashes and pictures.
constexpr int32_t BUILDER_NICENESS = 5;

// Milliseconds until the server clock's next second; -1 when the clock
// stands still.
int64_t msToNextSecond(const ServerClock& clock) {
    if (clock.startInstant != 0 && clock.frozen) {
        return -1;
    }
    const int64_t ms = clock.startInstant == 0 ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     std::chrono::system_clock::now().time_since_epoch())
                                                     .count()
                                               : monotonicMs() - clock.startMonotonicMs;
    return 1000 - ms % 1000;
}

// One pass of the builder: each board that polled lately gets its document
// for this second (taken from the one ahead, or built after a change) and
// the one for the next second. A board asking meanwhile waits at most for
// its own document.
void buildAhead(BoardApi* api, int64_t now) {
    const StoreView view = liveStoreCurrent(&api->store);
    for (const std::unique_ptr<BoardSlot>& slot : api->slots) {
        if (slot->askedAt.load(std::memory_order_relaxed) < now - POLLED_LATELY_SECONDS) {
            continue;
        }
        {
            std::lock_guard<std::mutex> stop(api->builderLock);
            if (api->builderStopping) {
                return;
            }
        }
        std::lock_guard<std::mutex> hold(slot->lock);
        refreshSlot(slot.get(), &api->timetables, *api->config, view, now, api->operatorSide);
        const Sources sources = currentSources(view, api->operatorSide);
        if (!builtFrom(slot->ahead, now + 1, sources)) {
            buildInto(slot.get(), &api->timetables, *api->config, view, now + 1, sources, api->operatorSide,
                      &slot->ahead);
        }
    }
}

// Runs a pass at the start of every second of the server clock, and again
// when the store, the operator's changes or the live feeds change.
void builderLoop(BoardApi* api) {
    // The builder runs only on a core nothing else wants: a poll woken on
    // its core takes the core at once, where a lowered nice value would let
    // the builder run on for a while first. Polls do not wait for its lock
    // either (they read the published document). Where the idle class is
    // refused, a lowered nice value.
    sched_param none{};
    if (sched_setscheduler(0, SCHED_IDLE, &none) != 0 &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), BUILDER_NICENESS) != 0) {
        serverLog("cannot lower the document builder's priority");
    }
    int64_t passSecond = INT64_MIN;
    Sources passSources{};
    std::unique_lock<std::mutex> hold(api->builderLock);
    while (!api->builderStopping) {
        hold.unlock();
        const int64_t untilNext = msToNextSecond(*api->clock);
        const int64_t now = clockNow(*api->clock);
        const Sources sources = currentSources(liveStoreCurrent(&api->store), api->operatorSide);
        if (untilNext >= 0 && (now != passSecond || sources != passSources)) {
            // While this pass rebuilds for a new content of the feeds alone,
            // the boards may be served what was built before it.
            api->builderOnFeeds.store(now == passSecond && sources.generation == passSources.generation &&
                                          sources.operatorChanges == passSources.operatorChanges,
                                      std::memory_order_relaxed);
            buildAhead(api, now);
            api->builderOnFeeds.store(false, std::memory_order_relaxed);
            passSecond = now;
            passSources = sources;
        }
        const int64_t waitMs =
            untilNext < 0 ? 1000 : std::min(BUILDER_LOOK_MS, msToNextSecond(*api->clock) + 5);
        hold.lock();
        api->builderWake.wait_for(hold, std::chrono::milliseconds(waitMs),
                                  [api] { return api->builderStopping; });
    }
}

}  // namespace

bool withFreshSlot(BoardApi* api, int32_t number, const std::function<void(const BoardSlot&)>& use) {
    BoardSlot* slot = findSlot(api, number);
    if (slot == nullptr) {
        return false;
    }
    const StoreView view = liveStoreCurrent(&api->store);
    std::lock_guard<std::mutex> hold(slot->lock);
    refreshSlot(slot, &api->timetables, *api->config, view, clockNow(*api->clock), api->operatorSide,
                api->builderOnFeeds.load(std::memory_order_relaxed));
    use(*slot);
    return true;
}

bool boardApiStart(BoardApi* api, const StationConfig& config, const ServerClock& clock,
                   Runtime* operatorSide, std::string* error) {
    api->config = &config;
    api->operatorSide = operatorSide;
    api->clock = &clock;
    api->store.path = config.store;
    if (!liveStoreOpen(&api->store, error)) {
        return false;
    }
    // The live position diagrams name the stations of the store served.
    realtimeSetStore([api] { return liveStoreCurrent(&api->store); });
    for (const BoardConfig& board : config.boards) {
        api->slots.push_back(std::make_unique<BoardSlot>());
        api->slots.back()->board = &board;
        api->slots.back()->selection = selectionKey(board);
        api->slotByNumber[board.number] = api->slots.back().get();
    }
    // Every board's timetable is read before the first board asks, so that
    // a station's boards starting together do not all wait for the store.
    for (const BoardConfig& board : config.boards) {
        withFreshSlot(api, board.number, [](const BoardSlot&) {});
    }
    return true;
}

void addBoardRoutes(BoardApi* api, std::vector<HttpRoute>* routes) {
    routes->push_back(displayRoute(api));
    routes->push_back(previewRoute(api));
    routes->push_back(soundRoute(*api->config));
}

BoardAccess boardAccess(BoardApi* api) {
    BoardAccess access;
    access.document = [api](int32_t number, std::string* body) {
        return withFreshSlot(api, number, [body](const BoardSlot& slot) { *body = slot.shown.body; });
    };
    access.departures = [api](int32_t number, std::vector<Departure>* departures) {
        return withFreshSlot(api, number, [departures](const BoardSlot& slot) {
            if (slot.timetable != nullptr) {
                *departures = slot.timetable->departures;
            }
        });
    };
    access.zone = [api] { return liveStoreCurrent(&api->store).zone; };
    access.store = [api] { return liveStoreCurrent(&api->store); };
    access.preview = [api](int32_t number, int32_t* width, int32_t* height, std::vector<uint8_t>* dots,
                           std::vector<uint32_t>* palette) {
        PreviewDots shown;
        if (!renderBoardPreview(number, previewClockMs(*api->clock), shown)) {
            return false;
        }
        *width = shown.width;
        *height = shown.height;
        *dots = std::move(shown.dots);
        palette->assign(std::begin(shown.palette), std::end(shown.palette));
        return true;
    };
    return access;
}

void boardBuilderStart(BoardApi* api) {
    api->builder = std::thread([api] { builderLoop(api); });
}

void boardBuilderStop(BoardApi* api) {
    if (!api->builder.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(api->builderLock);
        api->builderStopping = true;
    }
    api->builderWake.notify_all();
    api->builder.join();
}
