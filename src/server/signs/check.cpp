// "check": what every board would get now, printed with its problems, so a
// station's configuration and timetable can be tried before serving.
#include <cstdio>

#include "server/signs/signs.h"

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
