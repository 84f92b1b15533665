// "serve": one listening socket for the board API and the operator's page,
// a signal thread that stops it on SIGTERM or SIGINT, and the port file for
// whoever started the server without a fixed port.
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "server/http/http.h"
#include "server/preview/preview.h"

namespace {

constexpr size_t SERVER_THREADS = 32;

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

// The station's own delays, cancellations and notices as GTFS-realtime, for
// journey planners (protobuf; "?format=json" for people).
void addRealtimeRoutes(httplib::Server* server, const StationConfig& config, const ServerClock& clock) {
    server->Get(R"(/gtfs-rt/(trip-updates|alerts))", [&config, &clock](const httplib::Request& request,
                                                                       httplib::Response& response) {
        OperatorState state;
        operatorCurrentState(&state);
        const int64_t now = clockNow(clock);
        const std::string feed = request.matches[1].str() == "alerts" ? encodeStaffAlerts(state, config, now)
                                                                      : encodeStaffTripUpdates(state, now);
        if (request.get_param_value("format") == "json") {
            response.set_content(realtimeFeedJson(feed), "application/json");
        } else {
            response.set_content(feed, "application/x-protobuf");
        }
    });
}

}  // namespace

int32_t serveBoards(const StationConfig& config, const ServerClock& clock, const std::string& portFile) {
    BoardApi api;
    std::string error;
    if (!boardApiStart(&api, config, clock, &error)) {
        std::fprintf(stderr, "velmorant-server: %s\n", error.c_str());
        return 1;
    }
    if (!operatorStart(config.path, config, clock, &error)) {
        std::fprintf(stderr, "velmorant-server: operator: %s\n", error.c_str());
        return 1;
    }
    std::vector<RealtimeFeedConfig> feeds;
    std::vector<std::string> problems;
    if (!config.path.empty() && !loadRealtimeConfig(config.path, &feeds, &problems)) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "velmorant-server: %s\n", problem.c_str());
        }
        return 1;
    }
    // A station serves even with faults (a board shows its state), but the
    // log says at once what check would say.
    logStationFaults(config, clock);

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
    addBoardRoutes(&server, &api);
    // The operator's page and API see the boards' documents and departures.
    registerOperatorRoutes(server, config, clock, boardAccess(&api));
    addRealtimeRoutes(&server, config, clock);
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
    setPreviewDocumentSource([&api](int32_t number, std::string* body) {
        return withFreshSlot(&api, number, [body](const BoardSlot& slot) { *body = slot.body; }) &&
               !body->empty();
    });
    realtimeFetchStart(feeds, clock);
    const bool ok = server.listen_after_bind();
    realtimeFetchStop();
    realtimeSetStore(nullptr);
    // Listening may also end for another reason; the signal thread sees it.
    listening = false;
    stopper.join();
    operatorStop();
    setPreviewDocumentSource(nullptr);
    return ok || signalled ? 0 : 1;
}
