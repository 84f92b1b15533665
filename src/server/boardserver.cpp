// The board API: GET /api/boards/N/display.txt answers the board's document
// for this second (built at most once a second per board, then served from
// its cache) and GET /sounds/<name> a melody file from the melody folder.
// Every reply closes its connection, as the boards expect. The store is
// re-opened between requests when the import has replaced its file, so a
// feed update never drops a request.
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "documents/documents.h"
#include "server/operator.h"
#include "server/preview.h"
#include "server/server.h"

namespace {

constexpr size_t SERVER_THREADS = 32;

// The open store and the file it was opened from.
struct StoreState {
    std::mutex lock;
    std::string path;
    std::shared_ptr<Store> store;
    const date::time_zone* zone = nullptr;
    uint64_t generation = 0;
    struct stat file = {};
    int64_t lastCheckMs = 0;
};

struct StoreView {
    std::shared_ptr<Store> store;
    const date::time_zone* zone;
    uint64_t generation;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool openStore(StoreState* state, std::string* error) {
    struct stat file;
    if (stat(state->path.c_str(), &file) != 0) {
        *error = state->path + ": no timetable store (run the import)";
        return false;
    }
    Store* store = storeOpen(state->path, error);
    if (store == nullptr) {
        return false;
    }
    const date::time_zone* zone = findZone(storeMeta(store, "timezone"));
    if (zone == nullptr) {
        *error = state->path + ": unknown time zone";
        storeClose(store);
        return false;
    }
    // Readers still holding the old store finish with it; it closes when the
    // last of them lets go.
    state->store = std::shared_ptr<Store>(store, storeClose);
    state->zone = zone;
    state->file = file;
    ++state->generation;
    return true;
}

// The store to answer from, re-opened at most once a second when its file
// has been replaced.
StoreView currentStore(StoreState* state) {
    std::lock_guard<std::mutex> hold(state->lock);
    const int64_t nowMs = monotonicMs();
    if (nowMs - state->lastCheckMs >= 1000) {
        state->lastCheckMs = nowMs;
        struct stat file;
        if (stat(state->path.c_str(), &file) == 0 && !sameFile(file, state->file)) {
            std::string error;
            if (openStore(state, &error)) {
                std::fprintf(stderr, "velmorant-server: timetable store re-opened\n");
            } else {
                std::fprintf(stderr, "velmorant-server: %s (keeping the store in use)\n", error.c_str());
            }
        }
    }
    return {state->store, state->zone, state->generation};
}

// Timetables shared by the boards that show the same departures (several
// boards per platform are usual), built once per store and operating day.
struct SharedTimetable {
    uint64_t generation = 0;
    std::shared_ptr<const BoardTimetable> timetable;
};

struct TimetableCache {
    std::mutex lock;
    std::map<std::string, SharedTimetable> entries;
};

// Everything of a board's configuration that its timetable depends on.
std::string selectionKey(const BoardConfig& board) {
    std::string key = board.stopId + '\x1f' + board.station + '\x1f' + board.platformCode + '\x1f' +
                      std::to_string(board.directionId) + '\x1f' + board.platform + '\x1f' + board.lineJp +
                      '\x1f' + board.lineEn + '\x1f' + std::to_string(board.lineColor);
    for (const std::string& route : board.routes) {
        key += '\x1e' + route;
    }
    for (const RouteColor& color : board.routeColors) {
        key += '\x1d' + color.routeId + '=' + std::to_string(color.color);
    }
    return key;
}

std::shared_ptr<const BoardTimetable> sharedTimetable(TimetableCache* cache, const std::string& key,
                                                      const StationConfig& config, const BoardConfig& board,
                                                      const StoreView& view, int32_t day) {
    std::lock_guard<std::mutex> hold(cache->lock);
    SharedTimetable& entry = cache->entries[key];
    if (entry.timetable == nullptr || entry.generation != view.generation ||
        entry.timetable->operatingDay != day) {
        auto timetable = std::make_shared<BoardTimetable>();
        buildTimetable(view.store.get(), view.zone, config, board, day, timetable.get());
        entry.timetable = std::move(timetable);
        entry.generation = view.generation;
    }
    return entry.timetable;
}

// One board's cached document.
struct BoardSlot {
    const BoardConfig* board = nullptr;
    std::string selection;
    std::mutex lock;
    int64_t builtFor = INT64_MIN;
    uint64_t generation = 0;
    uint64_t operatorGeneration = 0;
    std::shared_ptr<const BoardTimetable> timetable;
    std::string body;
    bool accepted = false;
    std::string lastProblems;
};

// Brings the slot up to the second now; called with the slot locked.
void refreshSlot(BoardSlot* slot, TimetableCache* cache, const StationConfig& config, const StoreView& view,
                 int64_t now) {
    // What the operator sets shows in the next document, not a second later.
    const uint64_t operatorChanges = operatorGeneration();
    if (slot->builtFor == now && slot->generation == view.generation &&
        slot->operatorGeneration == operatorChanges) {
        return;
    }
    const int32_t day = operatingDay(config, view.zone, now);
    if (slot->timetable == nullptr || slot->generation != view.generation ||
        slot->timetable->operatingDay != day) {
        slot->timetable = sharedTimetable(cache, slot->selection, config, *slot->board, view, day);
    }
    BoardOverlay overlay;
    operatorOverlay(slot->board->number, now, &overlay);
    BuiltDocument document;
    buildDocument(config, *slot->board, *slot->timetable, view.zone, now, &document, &overlay);
    slot->builtFor = now;
    slot->operatorGeneration = operatorChanges;
    slot->generation = view.generation;
    slot->accepted = document.accepted;
    if (document.accepted) {
        slot->body = std::move(document.text);
    }
    // Problems go to the log when they change, not every second.
    std::string problems;
    for (const std::string& problem : document.problems) {
        problems += problem + "\n";
    }
    if (problems != slot->lastProblems) {
        for (const std::string& problem : document.problems) {
            std::fprintf(stderr, "velmorant-server: board %d: %s\n", slot->board->number, problem.c_str());
        }
        slot->lastProblems = problems;
    }
}

const char* soundType(const std::string& name) {
    std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : name;
    for (char& c : tail) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    return tail == ".wav" ? "audio/wav" : "audio/mpeg";
}

}  // namespace

int64_t melodyFileSize(const StationConfig& config, const std::string& name, std::string* path) {
    *path = config.sounds + "/" + name;
    if (name.empty() || name.size() > 1024 || name.find('\0') != std::string::npos) {
        return -1;
    }
    // The board's own name check: what a board would refuse to fetch is
    // refused here too, and it keeps every name inside the folder.
    char16_t wide[MELODY_NAME_CAPACITY + 2];
    decodeUtf8(reinterpret_cast<const unsigned char*>(name.data()), static_cast<int32_t>(name.size()), wide,
               MELODY_NAME_CAPACITY + 2);
    for (const char16_t* c = wide; *c != 0; ++c) {
        if (*c == 0xFFFD) {
            return -1;  // not UTF-8
        }
    }
    if (!melodyNameIsValid(wide)) {
        return -1;
    }
    // No link may lead out of the folder either.
    char folder[PATH_MAX];
    char file[PATH_MAX];
    if (realpath(config.sounds.c_str(), folder) == nullptr || realpath(path->c_str(), file) == nullptr) {
        return -1;
    }
    const size_t folderLength = std::strlen(folder);
    if (std::strncmp(file, folder, folderLength) != 0 || file[folderLength] != '/') {
        return -1;
    }
    struct stat info;
    if (stat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    *path = file;
    return info.st_size;
}

namespace {

// Each board's document, brought up to date from the store when it asks.
void addDisplayRoute(httplib::Server* server, const std::vector<std::unique_ptr<BoardSlot>>& slots,
                     StoreState* storeState, TimetableCache* timetables, const StationConfig& config,
                     const ServerClock& clock) {
    server->Get(R"(/api/boards/(\d{1,9})/display\.txt)",
                [&slots, storeState, timetables, &config, &clock](const httplib::Request& request,
                                                                  httplib::Response& response) {
                    const int32_t number = std::atoi(request.matches[1].str().c_str());
                    BoardSlot* slot = nullptr;
                    for (const auto& candidate : slots) {
                        if (candidate->board->number == number) {
                            slot = candidate.get();
                        }
                    }
                    if (slot == nullptr) {
                        response.status = 404;
                        response.set_content("no such board\n", "text/plain; charset=utf-8");
                        return;
                    }
                    noteBoardRequest(number, request.remote_addr);
                    const StoreView view = currentStore(storeState);
                    const int64_t now = clockNow(clock);
                    std::lock_guard<std::mutex> hold(slot->lock);
                    refreshSlot(slot, timetables, config, view, now);
                    if (!slot->accepted) {
                        response.status = 503;
                        response.set_content("document not accepted by the board's reader\n",
                                             "text/plain; charset=utf-8");
                        return;
                    }
                    response.set_content(slot->body, "text/plain; charset=utf-8");
                });
}

// The melody files, by name, for the boards to play.
void addSoundRoute(httplib::Server* server, const StationConfig& config) {
    server->Get(R"(/sounds/(.+))", [&config](const httplib::Request& request, httplib::Response& response) {
        std::string path;
        const std::string name = request.matches[1].str();
        const int64_t size = melodyFileSize(config, name, &path);
        std::string bytes;
        FILE* file = size >= 0 ? std::fopen(path.c_str(), "rb") : nullptr;
        if (file == nullptr) {
            response.status = 404;
            response.set_content("no such melody\n", "text/plain; charset=utf-8");
            return;
        }
        bytes.resize(static_cast<size_t>(size));
        const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        bytes.resize(got);
        response.set_content(bytes, soundType(name));
    });
}

// How the operator's page reaches the boards' documents and departures: each
// brought up to date from the store as a board would get it.
BoardAccess boardAccess(const std::vector<std::unique_ptr<BoardSlot>>& slots, StoreState* storeState,
                        TimetableCache* timetables, const StationConfig& config, const ServerClock& clock) {
    auto findSlot = [&slots](int32_t number) -> BoardSlot* {
        for (const auto& candidate : slots) {
            if (candidate->board->number == number) {
                return candidate.get();
            }
        }
        return nullptr;
    };
    // Runs `use` on a board's slot brought up to date, under its lock.
    const auto withFreshSlot = [findSlot, storeState, timetables, &config, &clock](int32_t number,
                                                                                   const auto& use) {
        BoardSlot* slot = findSlot(number);
        if (slot == nullptr) {
            return false;
        }
        const StoreView view = currentStore(storeState);
        std::lock_guard<std::mutex> hold(slot->lock);
        refreshSlot(slot, timetables, config, view, clockNow(clock));
        use(*slot);
        return true;
    };
    BoardAccess access;
    access.document = [withFreshSlot](int32_t number, std::string* body) {
        return withFreshSlot(number, [body](const BoardSlot& slot) { *body = slot.body; });
    };
    access.departures = [withFreshSlot](int32_t number, std::vector<Departure>* departures) {
        return withFreshSlot(
            number, [departures](const BoardSlot& slot) { *departures = slot.timetable->departures; });
    };
    access.zone = [storeState] { return currentStore(storeState).zone; };
    return access;
}

// The port the server listens on, written whole (through a temporary file
// renamed into place) for whoever started it without a fixed port.
bool writePortFile(const std::string& portFile, int port) {
    const std::string temporary = portFile + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr || std::fprintf(file, "%d\n", port) < 0 || std::fclose(file) != 0 ||
        std::rename(temporary.c_str(), portFile.c_str()) != 0) {
        std::fprintf(stderr, "velmorant-server: cannot write %s\n", portFile.c_str());
        return false;
    }
    return true;
}

// The signal thread: SIGTERM and SIGINT are blocked in every thread, so they
// wait as pending signals. While the server listens it looks every tenth of
// a second for one of them (and whether listening has ended for another
// reason). Once signalled it stops the server, again until listening has
// ended, so that a signal taken before listening began still ends it.
void stopOnSignal(const sigset_t& stopSignals, const std::atomic<bool>& listening,
                  std::atomic<bool>* signalled, httplib::Server* server) {
    const auto pause = std::chrono::milliseconds(100);
    while (listening) {
        if (!*signalled) {
            sigset_t pending;
            sigemptyset(&pending);
            int taken = 0;
            if (sigpending(&pending) == 0 &&
                (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1) &&
                sigwait(&stopSignals, &taken) == 0) {
                *signalled = true;
            }
        }
        if (*signalled) {
            server->stop();
        }
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace

int32_t serveBoards(const StationConfig& config, const ServerClock& clock, const std::string& portFile) {
    StoreState storeState;
    storeState.path = config.store;
    std::string error;
    if (!openStore(&storeState, &error)) {
        std::fprintf(stderr, "velmorant-server: %s\n", error.c_str());
        return 1;
    }
    if (!operatorStart(config.path, config, clock, &error)) {
        std::fprintf(stderr, "velmorant-server: operator: %s\n", error.c_str());
        return 1;
    }
    TimetableCache timetables;
    std::vector<std::unique_ptr<BoardSlot>> slots;
    for (const BoardConfig& board : config.boards) {
        slots.push_back(std::make_unique<BoardSlot>());
        slots.back()->board = &board;
        slots.back()->selection = selectionKey(board);
    }

    // Every board's timetable is read before the first board asks, so that
    // a station's boards starting together do not all wait for the store.
    {
        const StoreView view = currentStore(&storeState);
        const int64_t now = clockNow(clock);
        for (const auto& slot : slots) {
            std::lock_guard<std::mutex> hold(slot->lock);
            refreshSlot(slot.get(), &timetables, config, view, now);
        }
    }

    // SIGTERM and SIGINT are taken by one thread that stops the server; every
    // other thread has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    // One request per connection: httplib then answers "Connection: close"
    // and closes, which is what a board expects.
    server.set_keep_alive_max_count(1);
    // Enough workers that a few slow or silent connections (each held up to
    // the 5 s read time-out) cannot keep the boards of a station waiting.
    server.new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    addDisplayRoute(&server, slots, &storeState, &timetables, config, clock);
    addPreviewRoutes(server, clock);
    addSoundRoute(&server, config);
    // The operator's page and API see the boards' documents and departures.
    const BoardAccess access = boardAccess(slots, &storeState, &timetables, config, clock);
    registerOperatorRoutes(server, config, clock, access);
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            response.set_content(std::to_string(response.status) + "\n", "text/plain; charset=utf-8");
        }
    });

    // httplib listens with a backlog of 5, which drops the connections of a
    // station's boards polling together; the listening socket is noted
    // here and given a full backlog once bound.
    int listeningSocket = -1;
    server.set_socket_options([&listeningSocket](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listeningSocket = socket;
    });

    int port = config.port;
    if (port == 0) {
        port = server.bind_to_any_port(config.listen.c_str());
    } else if (!server.bind_to_port(config.listen.c_str(), port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "velmorant-server: cannot listen on %s port %d\n", config.listen.c_str(),
                     config.port);
        return 1;
    }
    if (listeningSocket >= 0 && listen(listeningSocket, SOMAXCONN) != 0) {
        std::fprintf(stderr, "velmorant-server: cannot widen the listening backlog\n");
    }
    if (!portFile.empty() && !writePortFile(portFile, port)) {
        return 1;
    }
    std::fprintf(stderr, "velmorant-server: serving %zu boards on %s port %d\n", config.boards.size(),
                 config.listen.c_str(), port);
    std::atomic<bool> listening{true};
    std::atomic<bool> signalled{false};
    std::thread stopper(stopOnSignal, std::cref(stopSignals), std::cref(listening), &signalled, &server);
    // The live preview reads the same cache the boards are served from.
    setPreviewDocumentSource([&](int32_t number, std::string* body) {
        for (const auto& candidate : slots) {
            if (candidate->board->number == number) {
                const StoreView view = currentStore(&storeState);
                std::lock_guard<std::mutex> hold(candidate->lock);
                refreshSlot(candidate.get(), &timetables, config, view, clockNow(clock));
                *body = candidate->body;
                return !body->empty();
            }
        }
        return false;
    });
    const bool ok = server.listen_after_bind();
    // Listening may also end for another reason; the signal thread sees it.
    listening = false;
    stopper.join();
    operatorStop();
    setPreviewDocumentSource(nullptr);
    return ok || signalled ? 0 : 1;
}

int32_t checkBoards(const StationConfig& config, const ServerClock& clock) {
    StoreState storeState;
    storeState.path = config.store;
    std::string error;
    if (!openStore(&storeState, &error)) {
        std::printf("problem: %s\n", error.c_str());
        return 1;
    }
    const int64_t now = clockNow(clock);
    int32_t status = 0;
    // What the operator has set is part of what a board gets.
    OperatorState operatorState;
    if (!operatorReadState(config, &operatorState, &error)) {
        std::printf("problem: operator: %s\n", error.c_str());
        status = 1;
    }
    for (const BoardConfig& board : config.boards) {
        BoardOverlay overlay;
        overlayFromState(operatorState, board.number, now, &overlay);
        BoardTimetable timetable;
        buildTimetable(storeState.store.get(), storeState.zone, config, board,
                       operatingDay(config, storeState.zone, now), &timetable);
        BuiltDocument document;
        buildDocument(config, board, timetable, storeState.zone, now, &document, &overlay);
        std::printf("== board %d (%s) ==\n%s", board.number, board.name.c_str(), document.text.c_str());
        for (const std::string& problem : document.problems) {
            std::printf("problem: %s\n", problem.c_str());
        }
        if (!document.accepted) {
            status = 1;
        }
    }
    return status;
}
