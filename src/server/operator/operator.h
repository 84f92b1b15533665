// The operator's side of velmorant-server: the page staff use and the JSON
// API systems use to set notices, delays, cancellations, the approach
// warning and a melody played by hand; who may use them (passwords and
// tokens hashed with libsodium, sessions, CSRF, the login throttle); and the
// "user" and "token" commands. What is set is kept in the operator database
// (station/) and reaches the boards' documents through their overlays
// (signs/).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/realtime/realtime.h"
#include "server/signs/signs.h"

namespace httplib {
class Server;
}

// ---------------------------------------------------------------------------
// Passwords, tokens and sessions

// crypto_pwhash_str of a password; empty on failure.
std::string hashPassword(const std::string& password);
bool passwordMatches(const std::string& hash, const std::string& password);
// A new random token (hex) and the hash under which it is kept.
std::string newSecret();
std::string tokenHash(const std::string& token);

// ---------------------------------------------------------------------------
// Requests of the JSON API, read from their bodies

struct NoticeInput {
    bool hasBoards = false;
    std::vector<int32_t> boards;
    bool hasTexts = false;
    std::string textJp;
    std::string textEn;
    bool hasScrolling = false;
    bool scrolling = false;
    bool hasColor = false;
    uint8_t color = 4;
    bool hasStart = false;
    std::string start;  // local time "YYYY-MM-DDTHH:MM", empty: from now
    bool hasEnd = false;
    std::string end;  // empty: until ended
};

struct TrainInput {
    int32_t board = 0;
    std::string tripId;
    int32_t serviceDate = 0;
    int32_t minutes = 0;
};

// Each reads a request body, a JSON object; false with a message naming
// what is wrong. A notice needs its texts only when it is made.
bool readNoticeInput(const std::string& body, bool creating, NoticeInput* input, std::string* error);
bool readTrainInput(const std::string& body, bool needMinutes, TrainInput* input, std::string* error);
bool readApproachInput(const std::string& body, int32_t* approach, std::string* error);
// The CSRF token a page's form carries in its body ("csrf"), empty if none.
std::string requestCsrfField(const std::string& body);

// ---------------------------------------------------------------------------
// Serving: the page and the API next to the board API

// What the operator's side needs of the board API.
struct BoardAccess {
    // The document board `number` gets now; false for an unknown board.
    std::function<bool(int32_t number, std::string* document)> document;
    // The board's departures of its operating day, as scheduled.
    std::function<bool(int32_t number, std::vector<Departure>* departures)> departures;
    std::function<const date::time_zone*()> zone;
    // What board `number` shows now as LED dots: width, height, one palette
    // index per dot (row-major) and the palette as 0x00RRGGBB; false when
    // there is no preview of it.
    std::function<bool(int32_t number, int32_t* width, int32_t* height, std::vector<uint8_t>* dots,
                       std::vector<uint32_t>* palette)>
        preview;
    // The timetable store as it is now, for the names staff give a train
    // (its route and train number) beside its time and destination.
    std::function<StoreView()> store;
};

// Reads the configuration and opens the operator database; false with a
// message when the configuration is wrong. A database that cannot be opened
// leaves the page off (it says why) and the boards served.
bool operatorStart(const std::string& configPath, const StationConfig& station, const ServerClock& clock,
                   std::string* error);
void operatorStop();

// The overlay of one board now, and a number that changes whenever anything
// the operator set changes (so cached documents are rebuilt at once).
void operatorOverlay(int32_t board, int64_t now, BoardOverlay* overlay);
uint64_t operatorGeneration();
// A copy of everything the operator has set now (nothing before the start).
void operatorCurrentState(OperatorState* state);

// Called by the board API for every board request.
void noteBoardRequest(int32_t board, const std::string& address);

// The page, its files, the login and the JSON API.
void registerOperatorRoutes(httplib::Server& server, const StationConfig& station, const ServerClock& clock,
                            const BoardAccess& access);

// "user add NAME", "user hash", "token add NAME", "token revoke NAME".
int operatorCommand(int argc, char** argv);
