// Live trains from the agency's GTFS-realtime feeds: their settings in
// station.toml, the decoding of a fetched feed into a snapshot, the feeds'
// state (the last good snapshot of each, kept until it is too old), the
// matching of trip updates, alerts and vehicle positions to a board's
// departures, and the station's own delays and notices encoded as
// GTFS-realtime for others. The fetching itself (libcurl) is a library of its
// own (velmorant_realtime_fetch) so that "import" and "check" need no HTTP.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/timetable/timetable.h"

// ---------------------------------------------------------------------------
// Settings: [[realtime]] sections of station.toml

constexpr int32_t REALTIME_INTERVAL_SECONDS = 15;
constexpr int32_t REALTIME_TIMEOUT_SECONDS = 10;
constexpr int32_t REALTIME_MAX_AGE_SECONDS = 300;

struct RealtimeFeedConfig {
    std::string url;                                           // http:// or https://
    int32_t intervalSeconds = REALTIME_INTERVAL_SECONDS;       // between fetches
    int32_t timeoutSeconds = REALTIME_TIMEOUT_SECONDS;         // for a whole fetch
    int32_t maxAgeSeconds = REALTIME_MAX_AGE_SECONDS;          // older content is not shown
    std::vector<std::pair<std::string, std::string>> headers;  // extra request headers (API keys)
};

// Reads the [[realtime]] sections of the station configuration text. False
// with the reasons in problems when one is wrong; none is no fault.
bool readRealtimeConfig(const std::string& text, std::vector<RealtimeFeedConfig>* feeds,
                        std::vector<std::string>* problems);
bool loadRealtimeConfig(const std::string& path, std::vector<RealtimeFeedConfig>* feeds,
                        std::vector<std::string>* problems);

// ---------------------------------------------------------------------------
// A decoded feed

// Trip schedule relationships, as the wire format numbers them.
constexpr int32_t TRIP_SCHEDULED = 0;
constexpr int32_t TRIP_ADDED = 1;
constexpr int32_t TRIP_CANCELED = 3;
constexpr int32_t TRIP_DUPLICATED = 6;
constexpr int32_t TRIP_DELETED = 7;

// One stop of a trip update, as the feed gave it.
struct StopUpdate {
    int32_t stopSequence = -1;  // -1: the feed named the stop by id only
    std::string stopId;
    bool hasDelay = false;            // delay below is given (else time, or nothing)
    int32_t delay = 0;                // seconds late at this stop's departure (else arrival)
    std::chrono::sys_seconds time{};  // the departure (else arrival); the epoch: none
    bool skipped = false;             // the train passes without stopping
    bool noData = false;              // nothing known here (nor after it, when last)
};

struct TripUpdateRecord {
    std::string tripId;
    std::string routeId;
    int32_t directionId = -1;
    int32_t startTime = -1;                 // seconds from the service day's start; -1 none
    ServiceDay startDate = NO_SERVICE_DAY;  // the feed's start date, if it gave one
    int32_t relationship = TRIP_SCHEDULED;
    bool hasDelay = false;  // a delay for the whole trip
    int32_t delay = 0;
    std::vector<StopUpdate> stops;             // as given, by stop sequence
    std::string newTripId;                     // ADDED and DUPLICATED: the new trip's id
    ServiceDay newStartDate = NO_SERVICE_DAY;  // DUPLICATED: the copy's day and start
    int32_t newStartTime = -1;
    std::string headsign;  // ADDED: where it goes, when the feed says
};

struct AlertEntity {
    std::string agencyId;
    std::string routeId;
    std::string stopId;
    std::string tripId;
};

struct AlertRecord {
    std::string id;
    std::vector<std::pair<int64_t, int64_t>> periods;  // start, end (0: open); none: always
    std::vector<AlertEntity> entities;
    std::string textJp;  // the header text in Japanese (else the untagged one)
    std::string textEn;  // in English
};

// Vehicle stop status, as the wire format numbers it.
constexpr int32_t VEHICLE_INCOMING_AT = 0;
constexpr int32_t VEHICLE_STOPPED_AT = 1;
constexpr int32_t VEHICLE_IN_TRANSIT_TO = 2;

struct VehicleRecord {
    std::string tripId;
    ServiceDay startDate = NO_SERVICE_DAY;  // the trip's day, if the feed gave it
    int32_t stopSequence = -1;              // the stop it is at or going to
    std::string stopId;
    int32_t status = VEHICLE_IN_TRANSIT_TO;
};

// What the feeds say now. Trips are found by trip id and by route,
// direction, start time and date.
struct RealtimeSnapshot {
    int64_t feedTime = 0;  // the header's timestamp, Unix seconds
    int64_t takenAt = 0;   // when the server took it (its clock, Unix seconds)
    // The most seconds it makes any train late; INT32_MAX when a stop is
    // given by its time alone (its lateness depends on the timetable).
    int64_t mostLateSeconds = 0;
    std::vector<TripUpdateRecord> trips;
    std::vector<AlertRecord> alerts;
    std::vector<VehicleRecord> vehicles;
    std::unordered_map<std::string, std::vector<size_t>> tripsById;     // index into trips
    std::unordered_map<std::string, std::vector<size_t>> tripsByStart;  // route|direction|start|date
    std::unordered_map<std::string, size_t> vehiclesByTrip;             // index into vehicles
    std::vector<size_t> newTrips;  // the ADDED and DUPLICATED ones, index into trips
};

// The key of a trip by route, direction, start time and date.
std::string tripStartKey(const std::string& routeId, int32_t directionId, int32_t startTime, ServiceDay day);

// Decodes a fetched feed. False with a message when it is no GTFS-realtime
// feed (then nothing of it may be used).
bool decodeRealtimeFeed(const std::string& bytes, RealtimeSnapshot* snapshot, std::string* error);
// Adds another feed's content (feeds of trip updates, alerts and vehicles
// are often separate) and rebuilds the indexes.
void mergeSnapshot(const RealtimeSnapshot& from, RealtimeSnapshot* into);
void indexSnapshot(RealtimeSnapshot* snapshot);

// ---------------------------------------------------------------------------
// Feeds' state: what each feed last gave and how its fetches go. Safe from
// any thread.

constexpr int32_t FEED_NEVER = 0;    // nothing good fetched yet
constexpr int32_t FEED_OK = 1;       // fresh data in use
constexpr int32_t FEED_FAILING = 2;  // the last fetch failed or was refused; the last good data is in use
constexpr int32_t FEED_STALE = 3;    // the last good data is too old: the boards show the timetable

// Sets the feeds the server reads (their state starts empty).
void realtimeSetFeeds(const std::vector<RealtimeFeedConfig>& feeds);
// A fetch of feed `index` ended: with content (decoded here; malformed
// content or content older than the limit changes nothing) or with a
// failure. `notModified` keeps the data but notes the fetch as good. True
// when new content was taken (only then may its validators be kept).
bool realtimeFeedFetched(size_t index, int64_t now, bool fetched, bool notModified, const std::string& bytes,
                         const std::string& failure);
// The snapshot of every feed still fresh at now; nothing when none is.
std::shared_ptr<const RealtimeSnapshot> realtimeCurrent(int64_t now);
// Counts every new good content of any feed (and every new list of feeds):
// a document built before it changed is built again, also while the clock
// stands still.
uint64_t realtimeGeneration();
// Each feed's state as a JSON array for the operator's page (FEED_* as
// "ok", "failing", "stale", "never"; "red" true when the boards do not get
// its data).
std::string realtimeStatusJson(int64_t now);
// Drops every feed (for tests).
void realtimeReset();

// ---------------------------------------------------------------------------
// The feed applied to a board

// The departures a board shows with the feed applied, by time, and the
// notices it adds (alerts in force for the board's stops and routes).
// Delays move `when` (a train early by the feed keeps its time); skipped
// stops drop the train; cancelled trips stay in the list with `cancelled`
// set (the signs show them as staff's cancellation); added and duplicated
// trips are inserted where they call at the board's stops. Trains staff
// have set (`staff`) are left as scheduled: what staff set wins. Of trains
// whose time has passed only those kept by staff or late by the feed are
// given; of a long day only the next 64 scheduled trains are looked at
// (`scheduled` is by time).
void applyRealtime(const RealtimeSnapshot& snapshot, const BoardConfig& board,
                   const std::vector<Departure>& scheduled, const std::vector<TrainChange>& staff,
                   int64_t now, std::vector<Departure>* live, std::vector<BoardNotice>* notices);

// What the feed made of one board's departures, kept by the board between
// its documents: a board's document is built every second, the feed changes
// every few seconds, and applying it to every board each second would cost
// a station of thousands of boards more than the rest of their documents.
constexpr int64_t REALTIME_KEPT_SECONDS = 30;
// A new content reaches the boards over this many seconds, each board at its
// own second by its number, so that they do not all apply it at once.
constexpr int64_t REALTIME_SPREAD_SECONDS = 5;

struct RealtimeBoardCache {
    // The board's timetable; set by the board's owner, which empties the
    // cache when it takes another (then nothing is kept until it is set).
    std::shared_ptr<const BoardTimetable> timetable;
    std::shared_ptr<const RealtimeSnapshot> snapshot;  // the feed content applied; nothing: none yet
    std::vector<TrainChange> staff;                    // the trains staff had set then
    int64_t madeAt = 0;                                // the second it was applied at
    std::vector<Departure> live;                       // applyRealtime's departures
    std::vector<std::string> stops;                    // the board's stops and routes, for alerts
    std::vector<std::string> routes;
};

// applyRealtime with the departures kept in the cache while the feed's
// content, the board's timetable and the trains staff set stay the same,
// for up to REALTIME_KEPT_SECONDS; the notices are made for now every time.
// A new content is applied within REALTIME_SPREAD_SECONDS of its arrival
// (at once when the clock stands still). The departures returned live in
// the cache.
const std::vector<Departure>& applyRealtimeKept(const std::shared_ptr<const RealtimeSnapshot>& snapshot,
                                                const BoardConfig& board, const BoardTimetable& timetable,
                                                const std::vector<TrainChange>& staff, int64_t now,
                                                RealtimeBoardCache* cache, std::vector<BoardNotice>* notices);

// The new-style sign's train-position diagram from where the vehicle of a
// train is: three stations (the two before the board's stop and the stop
// itself, Japanese and English names) and the position, counted back from
// the board's stop in half-steps (0 at the stop, 1 between the stop before
// and it, 2 at the stop before, 3 between the two before; -1 farther away).
// The compiler's own copy of the array member below names its loop variable
// in the reserved form.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
struct PositionDiagram {
    int32_t position = -1;
    std::string names[3][2];  // [station][0 Japanese, 1 English]; empty: no such stop
};

// The timetable store the diagram's stops and names come from, handed in by
// the front at start (the store file may be replaced while serving).
void realtimeSetStore(std::function<StoreView()> current);
// False when the feed has no vehicle for the train or the store does not
// know its trip; true with position -1 when the train is farther away (or
// past the stop).
bool realtimeDiagram(const RealtimeSnapshot& snapshot, const Departure& departure, PositionDiagram* diagram);

// Where the state of a train shown now comes from, for the operator's page:
// "feed" when the current feeds name it, else "timetable".
const char* realtimeTrainSource(const Departure& departure, int64_t now);

// ---------------------------------------------------------------------------
// The station's own changes published as GTFS-realtime

// Trip updates (delays and cancellations staff set) and alerts (notices in
// force now, for the stops of the boards they are on), as protobuf.
std::string encodeStaffTripUpdates(const OperatorState& state, int64_t now);
std::string encodeStaffAlerts(const OperatorState& state, const StationConfig& config, int64_t now);
// A feed as JSON for people; empty when it does not decode.
std::string realtimeFeedJson(const std::string& bytes);

// ---------------------------------------------------------------------------
// Fetching (velmorant_realtime_fetch, libcurl): one thread fetches every
// feed at its interval, asking with the ETag and Last-Modified of the last
// reply, and hands each result to realtimeFeedFetched.

void realtimeFetchStart(const std::vector<RealtimeFeedConfig>& feeds, const ServerClock& clock);
void realtimeFetchStop();
