// The operator's side of velmorant-server: what the station staff set from
// the web page or the JSON API (notices, delays, cancellations, a forced
// approach warning, a melody played by hand), where it is kept (the operator
// database beside the timetable store), who may set it (users and API
// tokens), and what the boards' documents take from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/server.h"

namespace httplib {
class Server;
}

// ---------------------------------------------------------------------------
// What a board's document takes from the operator

struct BoardNotice {
    std::string textJp;
    std::string textEn;
    bool scrolling = false;
    uint8_t color = 4;  // a classic colour code, yellow unless chosen
};

struct TrainChange {
    std::string tripId;
    int32_t serviceDate = 0;
    int32_t delayMinutes = 0;
    bool cancelled = false;
};

constexpr int32_t APPROACH_AUTO = 0;
constexpr int32_t APPROACH_ON = 1;
constexpr int32_t APPROACH_OFF = 2;

// How long a melody played by hand stays in a board's documents: long
// enough for every board polling once a second to see it once.
constexpr int64_t MANUAL_MELODY_SECONDS = 30;

struct BoardOverlay {
    std::vector<BoardNotice> notices;  // in force now, in the order they were made
    std::vector<TrainChange> changes;
    int32_t approach = APPROACH_AUTO;
    std::string manualMelodyKey;  // empty: none
    int64_t manualMelodyAt = 0;   // server clock, Unix seconds
};

// The departures a board shows once delays and cancellations are applied:
// a delayed train keeps its scheduled time for display (delayMinutes tells
// the text to add) but leaves, blinks, warns and rings at its delayed time;
// a cancelled one is dropped and a notice of it added while it would have
// been coming. Only trains still to leave after now are kept.
void applyTrainChanges(const BoardOverlay& overlay, const std::vector<Departure>& scheduled,
                       const date::time_zone* zone, int64_t now, std::vector<Departure>* shown,
                       std::vector<BoardNotice>* notices);

// "約N分遅れ" and "N min late".
std::string delayTextJp(int32_t minutes);
std::string delayTextEn(int32_t minutes);

// ---------------------------------------------------------------------------
// Operator settings from station.toml ([operator] and its users and tokens)

struct ConfigUser {
    std::string name;
    std::string passwordHash;  // crypto_pwhash_str form
};

struct ConfigToken {
    std::string name;
    std::string token;
};

struct OperatorConfig {
    std::string database;  // the operator database file
    int32_t silentSeconds = 30;
    // Addresses that may reach the page and the JSON API (empty: any); the
    // board API stays open to every address.
    std::vector<std::string> allowFrom;
    bool secureCookie = false;  // cookies only over HTTPS (behind a proxy)
    std::vector<ConfigUser> users;
    std::vector<ConfigToken> tokens;
};

// Reads the [operator] section of the station configuration file. The
// database defaults to "operator.db" beside the timetable store.
bool loadOperatorConfig(const std::string& configPath, const StationConfig& station, OperatorConfig* config,
                        std::vector<std::string>* problems);

// ---------------------------------------------------------------------------
// The operator database

struct OperatorDb;

OperatorDb* operatorDbOpen(const std::string& path, std::string* error);
void operatorDbClose(OperatorDb* db);

struct NoticeRecord {
    int64_t id = 0;
    std::vector<int32_t> boards;  // empty: every board
    BoardNotice notice;
    int64_t start = 0;  // Unix seconds; 0: from now
    int64_t end = 0;    // Unix seconds; 0: until ended
    bool ended = false;
};

struct ChangeRecord {
    TrainChange change;
    int32_t board = 0;  // the board it was set from, for the history
};

struct BoardControl {
    int32_t board = 0;
    int32_t approach = APPROACH_AUTO;
    std::string melodyKey;
    int64_t melodyAt = 0;
};

struct HistoryRecord {
    int64_t id = 0;
    int64_t at = 0;  // server clock, Unix seconds
    std::string who;
    std::string what;
};

// Everything the operator has set, as read from the database.
struct OperatorState {
    std::vector<NoticeRecord> notices;
    std::vector<ChangeRecord> changes;
    std::vector<BoardControl> controls;
};

bool operatorDbLoad(OperatorDb* db, OperatorState* state);
// Each change below is written together with its history line in one
// committed transaction; true only once it is on disk.
bool operatorDbSaveNotice(OperatorDb* db, NoticeRecord* notice, int64_t at, const std::string& who,
                          const std::string& what);
bool operatorDbSaveChange(OperatorDb* db, const ChangeRecord& change, bool clear, int64_t at,
                          const std::string& who, const std::string& what);
bool operatorDbSaveControl(OperatorDb* db, const BoardControl& control, int64_t at, const std::string& who,
                           const std::string& what);
std::vector<HistoryRecord> operatorDbHistory(OperatorDb* db, int32_t limit);
// Drops delays and cancellations of service days before the given one
// (YYYYMMDD): their trains have left and no board can show them again. The
// history keeps what was set; one history line says what was dropped. The
// number dropped, or -1 when the database refused.
int32_t operatorDbDropChangesBefore(OperatorDb* db, int32_t serviceDate, int64_t at);

// Users and API tokens kept in the database (the configuration file may add
// more). Tokens are kept only as hashes.
bool operatorDbSetUser(OperatorDb* db, const std::string& name, const std::string& passwordHash);
std::string operatorDbUserHash(OperatorDb* db, const std::string& name);
bool operatorDbAddToken(OperatorDb* db, const std::string& name, const std::string& tokenHash);
// False when no token of that name was in force.
bool operatorDbRevokeToken(OperatorDb* db, const std::string& name);
// The name of the token in force with that hash, empty when none.
std::string operatorDbTokenName(OperatorDb* db, const std::string& tokenHash);

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

// The overlay of one board from what is set; and what is set, read from the
// operator database (for "check"; nothing set when the database does not
// exist yet, and then none is made).
void overlayFromState(const OperatorState& state, int32_t board, int64_t now, BoardOverlay* overlay);
bool operatorReadState(const StationConfig& station, OperatorState* state, std::string* error);

// Called by the board API for every board request.
void noteBoardRequest(int32_t board, const std::string& address);

// The page, its files, the login and the JSON API.
void registerOperatorRoutes(httplib::Server& server, const StationConfig& station, const ServerClock& clock,
                            const BoardAccess& access);

// "user add NAME", "user hash", "token add NAME", "token revoke NAME".
int operatorCommand(int argc, char** argv);
