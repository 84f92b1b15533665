// "serve": the board API and the operator's page on one event-driven
// front, until SIGTERM or SIGINT.

#include "server/http/http.h"
#include "server/preview/preview.h"

namespace {

// The station's own delays, cancellations and notices as GTFS-realtime, for
// journey planners (protobuf; "?format=json" for people). Who may ask is
// the operator's allow_from.
HttpRoute realtimeRoute(Runtime* operatorSide, const StationConfig& config, const ServerClock& clock) {
    HttpRoute route;
    route.method = "GET";
    route.pattern = R"(/gtfs-rt/(trip-updates|alerts))";
    route.work = RouteWork::OPERATOR;
    route.audience = RouteAudience::OPERATOR;
    route.handler = [operatorSide, &config, &clock](const HttpRequest& request, HttpResponse& response) {
        OperatorState state;
        operatorCurrentState(operatorSide, &state);
        const int64_t now = clockNow(clock);
        const std::string feed = request.matches[1] == "alerts" ? encodeStaffAlerts(state, config, now)
                                                                : encodeStaffTripUpdates(state, now);
        if (request.param("format") == "json") {
            response.setContent(realtimeFeedJson(feed), "application/json");
        } else {
            response.setContent(feed, "application/x-protobuf");
        }
    };
    return route;
}

}  // namespace

int32_t serveBoards(const StationConfig& config, const ServerClock& clock, const std::string& portFile) {
    // Every line of the log carries the time on the server's clock, which
    // --now moves in tests, in the feed's zone from the first line on (the
    // live store keeps it up to date after a new import).
    logUseClock(clock);
    std::string storeError;
    if (const StorePtr store = storeOpen(config.store, &storeError)) {
        logUseZone(findZone(storeMeta(store.get(), "timezone")));
    }
    // A mistake in the address lists is logged and passed over: the boards
    // stay served ("check" refuses it).
    for (const std::string& problem : config.addressProblems) {
        serverLog(problem + " (passed over; \"check\" refuses it)");
    }
    Runtime* operatorSide = operatorStart(config.path, config, clock);
    BoardApi api;
    std::string error;
    if (!boardApiStart(&api, config, clock, operatorSide, &error)) {
        serverLog(error);
        operatorStop(operatorSide);
        return 1;
    }
    std::vector<RealtimeFeedConfig> feeds;
    std::vector<std::string> problems;
    if (!config.path.empty() && !loadRealtimeConfig(config.path, &feeds, &problems)) {
        for (const std::string& problem : problems) {
            serverLog(problem);
        }
        operatorStop(operatorSide);
        return 1;
    }
    // A station serves even with faults (a board shows its state), but the
    // log says at once what check would say.
    logStationFaults(config, clock);

    // Board routes first: they are matched first.
    std::vector<HttpRoute> routes;
    addBoardRoutes(&api, &routes);
    // The operator's page and API see the boards' documents and departures.
    registerOperatorRoutes(operatorSide, boardAccess(&api), &routes);
    routes.push_back(realtimeRoute(operatorSide, config, clock));

    FrontSettings settings;
    settings.boardsFrom = config.boardsFrom;
    settings.operatorAllowed = [operatorSide](const std::string& address) {
        return operatorAddressAllowed(operatorSide, address);
    };
    settings.mostConnections = config.mostConnections;
    settings.mostConnectionsPerAddress = config.mostConnectionsPerAddress;
    // The live preview reads the same cache the boards are served from.
    setPreviewDocumentSource([&api](int32_t number, std::string* body) {
        return withFreshSlot(&api, number, [body](const BoardSlot& slot) { *body = slot.shown.body; }) &&
               !body->empty();
    });
    serverLog(std::to_string(config.boards.size()) + " boards");
    realtimeFetchStart(feeds, clock);
    boardBuilderStart(&api);
    const int32_t status = runFront(settings, std::move(routes), config.listen, config.port, portFile);
    boardBuilderStop(&api);
    realtimeFetchStop();
    realtimeSetStore(nullptr);
    setPreviewDocumentSource(nullptr);
    operatorStop(operatorSide);
    return status;
}
