// The boards' documents: what a board shows now, written from its
// timetable and what staff have set (notices, delays, cancellations, the
// approach warning, a melody played by hand), and read back by the board's
// own document reader before it is served. Also "check", which prints what
// every board would get.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "server/timetable/timetable.h"

struct RealtimeBoardCache;  // server/realtime/realtime.h

// ---------------------------------------------------------------------------
// What staff have set, as one board's documents take it

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
void applyTrainChanges(const StationConfig& config, const BoardOverlay& overlay,
                       const std::vector<Departure>& scheduled, const date::time_zone* zone, int64_t now,
                       std::vector<Departure>* shown, std::vector<BoardNotice>* notices);

// One language's text of the station's own texts with each "{name}" field
// filled in; a part in [brackets] is left out when a field in it is empty.
std::string fillStationText(const std::string& text,
                            const std::vector<std::pair<std::string, std::string>>& fields);

// "約N分遅れ" and "N min late".
std::string delayTextJp(int32_t minutes);
std::string delayTextEn(int32_t minutes);

// The overlay of one board at `now` from what is set.
void overlayFromState(const OperatorState& state, int32_t board, int64_t now, BoardOverlay* overlay);

// ---------------------------------------------------------------------------
// Documents

struct BuiltDocument {
    std::string text;
    bool accepted = false;
    std::vector<std::string> problems;
};

// The board's document reader keeps one scratch buffer: every reading by the
// server takes this lock.
extern std::mutex boardReaderLock;

// Writes the board's document for now and reads it back with the board's own
// reader; accepted only when the reader took it with the fields intended.
// The operator's notices, train changes and controls come in the overlay.
// A board built again and again keeps what the live feed made of its trains
// in feedCache (see applyRealtimeKept). A text equal to `acceptedBefore` (one
// the reader took before) is accepted without reading it again: most seconds
// a board's document is unchanged.
void buildDocument(const StationConfig& config, const BoardConfig& board, const BoardTimetable& timetable,
                   const date::time_zone* zone, int64_t now, BuiltDocument* document,
                   const BoardOverlay* overlay = nullptr, RealtimeBoardCache* feedCache = nullptr,
                   const std::string* acceptedBefore = nullptr);

// ---------------------------------------------------------------------------
// Melody files and "check"

// The size of a melody file under the melody folder, -1 when the name is
// refused or the file is missing. The path it resolves to in path.
int64_t melodyFileSize(const StationConfig& config, const std::string& name, std::string* path);

// How many days ahead a station must have service for its timetable to
// count as current.
constexpr int32_t SERVICE_LOOKAHEAD_DAYS = 7;

// What keeps a station from serving as configured, one line each: a board's
// stop, platform or route not in the timetable, a melody file missing, no
// service at all in the operating days from now to SERVICE_LOOKAHEAD_DAYS on.
std::vector<std::string> stationFaults(const StationConfig& config, Store* store, const date::time_zone* zone,
                                       int64_t now);
// The same written to the log (stderr) at the start of serving.
void logStationFaults(const StationConfig& config, const ServerClock& clock);

// "check": prints every board's document and problems, then every fault of
// the station. 0 when all documents are accepted and there is no fault.
int32_t checkBoards(const StationConfig& config, const ServerClock& clock);
