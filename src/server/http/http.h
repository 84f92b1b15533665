// The front of velmorant-server: the board API (documents, melodies,
// previews) beside the operator's page and API on one listening socket, and
// "serve", which runs it until SIGTERM or SIGINT.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/operator/operator.h"

namespace httplib {
class Server;
}

// Timetables shared by the boards that show the same departures (several
// boards per platform are usual), built once per store and operating day.
struct SharedTimetable {
    uint64_t generation = 0;                          // the store opening it was built from
    std::shared_ptr<const BoardTimetable> timetable;  // nothing until first built
};

struct TimetableCache {
    std::mutex lock;
    std::map<std::string, SharedTimetable> entries;  // by the boards' selection key
};

// One board's cached document.
struct BoardSlot {
    const BoardConfig* board = nullptr;
    std::string selection;            // what its timetable depends on, as a key
    std::mutex lock;                  // held while the document is brought up to date or read
    int64_t builtFor = INT64_MIN;     // the second (server clock) the document is for
    uint64_t generation = 0;          // the store opening it was built from
    uint64_t operatorGeneration = 0;  // what the operator had set when it was built
    std::shared_ptr<const BoardTimetable> timetable;
    std::string body;          // the last accepted document
    bool accepted = false;     // the last document built was accepted by the board's reader
    std::string lastProblems;  // as last logged, so they are logged only when they change
};

// What the board API serves from: the live store, the shared timetables and
// one slot per board.
struct BoardApi {
    const StationConfig* config = nullptr;
    const ServerClock* clock = nullptr;
    LiveStore store;
    TimetableCache timetables;
    std::vector<std::unique_ptr<BoardSlot>> slots;
};

// Opens the store and reads every board's timetable; false with a message.
bool boardApiStart(BoardApi* api, const StationConfig& config, const ServerClock& clock, std::string* error);
// Runs `use` on board `number`'s slot brought up to the server's second,
// under the slot's lock; false for a board the station does not have.
bool withFreshSlot(BoardApi* api, int32_t number, const std::function<void(const BoardSlot&)>& use);
// GET display.txt, preview.png and /sounds/.
void addBoardRoutes(httplib::Server* server, BoardApi* api);
// How the operator's side reaches the boards' documents, departures and
// previews, each as a board would get it now.
BoardAccess boardAccess(BoardApi* api);

// "serve": answers the board API and the operator's page until SIGTERM or
// SIGINT. Returns the exit code.
int32_t serveBoards(const StationConfig& config, const ServerClock& clock, const std::string& portFile);
