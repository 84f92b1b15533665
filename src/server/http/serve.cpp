// "serve": the board API and the operator's page on one event-driven
// front, until SIGTERM or SIGINT.
#include <cstdio>

#include "server/http/http.h"
#include "server/preview/preview.h"

int32_t serveBoards(const StationConfig& config, const ServerClock& clock, const std::string& portFile) {
    // A mistake in the address lists is logged and passed over: the boards
    // stay served ("check" refuses it).
    for (const std::string& problem : config.addressProblems) {
        std::fprintf(stderr, "velmorant-server: %s (passed over; \"check\" refuses it)\n", problem.c_str());
    }
    Runtime* operatorSide = operatorStart(config.path, config, clock);
    BoardApi api;
    std::string error;
    if (!boardApiStart(&api, config, clock, operatorSide, &error)) {
        std::fprintf(stderr, "velmorant-server: %s\n", error.c_str());
        operatorStop(operatorSide);
        return 1;
    }
    // Board routes first: they are matched first.
    std::vector<HttpRoute> routes;
    addBoardRoutes(&api, &routes);
    // The operator's page and API see the boards' documents and departures.
    registerOperatorRoutes(operatorSide, boardAccess(&api), &routes);

    FrontSettings settings;
    settings.boardsFrom = config.boardsFrom;
    settings.operatorAllowed = [operatorSide](const std::string& address) {
        return operatorAddressAllowed(operatorSide, address);
    };
    settings.mostConnections = config.mostConnections;
    settings.mostConnectionsPerAddress = config.mostConnectionsPerAddress;
    // The live preview reads the same cache the boards are served from.
    setPreviewDocumentSource([&api](int32_t number, std::string* body) {
        return withFreshSlot(&api, number, [body](const BoardSlot& slot) { *body = slot.body; }) &&
               !body->empty();
    });
    std::fprintf(stderr, "velmorant-server: %zu boards\n", config.boards.size());
    const int32_t status = runFront(settings, std::move(routes), config.listen, config.port, portFile);
    setPreviewDocumentSource(nullptr);
    operatorStop(operatorSide);
    return status;
}
