// "check": what every board would get now, printed with its problems, so a
// station's configuration and timetable can be tried before serving.
#include <cstdio>

#include "server/signs/signs.h"

namespace {

// The faults of one board's place in the timetable and its melody.
void boardFaults(const StationConfig& config, Store* store, const BoardConfig& board,
                 std::vector<std::string>* faults) {
    const std::string name = "board " + std::to_string(board.number) + ": ";
    StopRecord stop;
    if (!board.stopId.empty() && !storeStop(store, board.stopId, &stop)) {
        faults->push_back(name + "stop_id \"" + board.stopId + "\" is not in the timetable");
    }
    if (board.stopId.empty() && storePlatformStops(store, board.station, board.platformCode).empty()) {
        faults->push_back(name + "station \"" + board.station + "\" has no platform \"" + board.platformCode +
                          "\" in the timetable");
    }
    for (const std::string& routeId : board.routes) {
        RouteRecord route;
        if (!storeRoute(store, routeId, &route)) {
            faults->push_back(name + "route_id \"" + routeId + "\" is not in the timetable");
        }
    }
    std::string path;
    if (!board.melody.empty() && melodyFileSize(config, board.melody, &path) <= 0) {
        faults->push_back(name + "melody file " + (path.empty() ? board.melody : path) +
                          " is missing, empty or outside the melody folder");
    }
}

}  // namespace

std::vector<std::string> stationFaults(const StationConfig& config, Store* store, const date::time_zone* zone,
                                       int64_t now) {
    std::vector<std::string> faults;
    for (const BoardConfig& board : config.boards) {
        boardFaults(config, store, board, &faults);
    }
    const ServiceDay today = operatingDay(config, zone, instantFromUnix(now));
    bool running = false;
    for (int32_t ahead = 0; ahead < SERVICE_LOOKAHEAD_DAYS && !running; ++ahead) {
        running = !storeServicesOn(store, today + date::days{ahead}).empty();
    }
    if (!running) {
        // The day and the time as the station's clocks show them.
        faults.push_back("the timetable has no service on the " + std::to_string(SERVICE_LOOKAHEAD_DAYS) +
                         " days from " + formatServiceDay(today) + " (it is now " +
                         formatLocalInstant(zone, now) + "): is the feed out of date?");
    }
    return faults;
}

void logStationFaults(const StationConfig& config, const ServerClock& clock) {
    LiveStore storeState;
    storeState.path = config.store;
    std::string error;
    if (!liveStoreOpen(&storeState, &error)) {
        serverLog("fault: " + error);
        return;
    }
    for (const std::string& fault :
         stationFaults(config, storeState.store.get(), storeState.zone, clockNow(clock))) {
        serverLog("fault: " + fault);
    }
}

int32_t checkBoards(const StationConfig& config, const ServerClock& clock) {
    LiveStore storeState;
    storeState.path = config.store;
    std::string error;
    if (!liveStoreOpen(&storeState, &error)) {
        std::printf("problem: %s\n", error.c_str());
        return 1;
    }
    const int64_t now = clockNow(clock);
    int32_t status = 0;
    // A wrong allow-list would be logged and passed over by "serve".
    for (const std::string& problem : config.addressProblems) {
        std::printf("problem: %s\n", problem.c_str());
        status = 1;
    }
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
                       operatingDay(config, storeState.zone, instantFromUnix(now)), &timetable);
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
    for (const std::string& fault : stationFaults(config, storeState.store.get(), storeState.zone, now)) {
        std::printf("fault: %s\n", fault.c_str());
        status = 1;
    }
    return status;
}
