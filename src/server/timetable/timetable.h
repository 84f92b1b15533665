// The timetable: GTFS feeds read (CSV, zip or folder), imported into the
// store, the store read while serving (re-opened when an import replaces
// it), service days and local time in the feed's zone, the server's clock,
// and what one board's departures are for an operating day.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/station/station.h"

namespace date {
class time_zone;
}

// ---------------------------------------------------------------------------
// CSV (RFC 4180 through libcsv)

// Called once per record, the header included, with the record's fields and
// the line of the file on which the record starts (1 for the first line).
using CsvRecordHandler = std::function<void(const std::vector<std::string>& fields, int32_t line)>;

// Reads a whole CSV text: an optional UTF-8 signature, quoted fields with
// commas, quotes and line breaks, CRLF or LF line ends. Blank lines are
// skipped. False with a message when the text cannot be read as CSV.
bool readCsv(const char* bytes, size_t size, const CsvRecordHandler& onRecord, std::string* error);

// ---------------------------------------------------------------------------
// Feed source: a GTFS zip or a folder

struct FeedSource;

// Opens a zip file or a folder. Nothing and a message when it cannot.
FeedSource* feedOpen(const std::string& path, std::string* error);
void feedClose(FeedSource* feed);
bool feedHas(FeedSource* feed, const std::string& name);
// The whole file; false when it is not in the feed or cannot be read.
bool feedRead(FeedSource* feed, const std::string& name, std::string* bytes, std::string* error);

// ---------------------------------------------------------------------------
// Import

constexpr int32_t FAULTS_PRINTED = 100;

constexpr int32_t IMPORT_OK = 0;
constexpr int32_t IMPORT_REFUSED = 1;

struct ImportReport {
    std::vector<std::string> faults;  // the first FAULTS_PRINTED, "file:line: what"
    int64_t faultCount = 0;
    int64_t stopTimes = 0;
    int64_t trips = 0;
    int64_t stops = 0;
};

// Adds a fault; only the first FAULTS_PRINTED are kept as text.
void reportFault(ImportReport* report, const std::string& file, int64_t line, const std::string& what);

// Builds storePath + ".new" from the feed and renames it over storePath when
// complete. IMPORT_REFUSED leaves storePath as it was.
int32_t importFeed(const std::string& feedPath, const std::string& storePath, ImportReport* report);

// ---------------------------------------------------------------------------
// Store: the imported timetable, read-only while serving. Every function is
// safe to call from several threads.

struct Store;

Store* storeOpen(const std::string& path, std::string* error);
void storeClose(Store* store);

// Values recorded at import: "timezone", "feed_lang", "feed_version".
std::string storeMeta(Store* store, const std::string& key);
// How many reads of the store have failed so far (a damaged file, one
// changed in place), and what SQLite said of the last.
uint64_t storeFaults(Store* store, std::string* last);

struct StopRecord {
    std::string stopId;
    std::string name;
    std::string parentStation;
    std::string platformCode;
};
bool storeStop(Store* store, const std::string& stopId, StopRecord* stop);
// The platforms of a station with the given platform_code.
std::vector<std::string> storePlatformStops(Store* store, const std::string& station,
                                            const std::string& platformCode);

struct RouteRecord {
    std::string routeId;
    std::string shortName;
    std::string longName;
    std::string color;  // "RRGGBB" or empty
};
// The platforms of a station; nothing when the stop is no station.
std::vector<std::string> storeStationPlatforms(Store* store, const std::string& station);
bool storeRoute(Store* store, const std::string& routeId, RouteRecord* route);

// One scheduled call of a trip at a stop, with what a board needs of the trip.
struct CallRecord {
    std::string tripId;
    std::string routeId;
    std::string serviceId;
    std::string headsign;  // the stop's headsign, else the trip's
    std::string lastStopId;
    int32_t directionId = -1;
    int32_t departure = -1;       // seconds from the service day's start
    int32_t firstDeparture = -1;  // the trip's first departure, for frequencies
    bool terminates = false;      // this is the trip's last stop
    bool noPickup = false;
};
std::vector<CallRecord> storeCallsAt(Store* store, const std::vector<std::string>& stopIds);

struct FrequencyRecord {
    int32_t start;
    int32_t end;
    int32_t headway;
};
std::vector<FrequencyRecord> storeFrequencies(Store* store, const std::string& tripId);

// The service_ids that run on a date (YYYYMMDD): calendar, then
// calendar_dates added and removed.
std::vector<std::string> storeServicesOn(Store* store, int32_t date);

// A translation of a field (GTFS translations, table_name/field_name form):
// by record_id first, then by field_value. Empty when there is none.
std::string storeTranslation(Store* store, const std::string& table, const std::string& field,
                             const std::string& language, const std::string& recordId,
                             const std::string& fieldValue);

// ---------------------------------------------------------------------------
// Service days and local time

const date::time_zone* findZone(const std::string& name);

// "H:MM:SS" with any number of hour digits (25:10:00 is past midnight).
bool parseGtfsTime(const std::string& text, int32_t* seconds);
// "YYYYMMDD" of a real date.
bool parseGtfsDate(const std::string& text, int32_t* date);
int32_t addDays(int32_t date, int32_t days);
// 0 Monday ... 6 Sunday.
int32_t weekdayOf(int32_t date);

// The instant (Unix seconds) a service day's times count from: noon of that
// local date minus twelve hours, which is midnight except on the days the
// clocks change.
int64_t serviceDayStart(const date::time_zone* zone, int32_t date);
int32_t localDate(const date::time_zone* zone, int64_t instant);
int32_t localSecondsOfDay(const date::time_zone* zone, int64_t instant);
// "H:MM" in local time.
std::string formatClock(const date::time_zone* zone, int64_t instant);
// "YYYY-MM-DDTHH:MM[:SS]" (or a space for T) as local time.
bool parseLocalTime(const std::string& text, const date::time_zone* zone, int64_t* instant);

// ---------------------------------------------------------------------------
// Server clock

struct ServerClock {
    int64_t startInstant = 0;  // Unix seconds; 0: the real clock
    int64_t startMonotonicMs = 0;
    bool frozen = false;
};
int64_t clockNow(const ServerClock& clock);
int64_t monotonicMs();

// ---------------------------------------------------------------------------
// A board's timetable of one operating day

// The compiler's own copy of the array member below names its loop variable
// in the reserved form.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
struct Departure {
    int64_t when;         // Unix seconds
    int32_t serviceDate;  // YYYYMMDD
    int32_t departure;    // seconds from the service day's start
    std::string tripId;
    std::string routeId;
    std::string destinations[LANGUAGE_SLOTS];  // Japanese first; empty: none
    uint8_t color;
    // Set by the operator: `when` is then the delayed departure and the
    // board still shows the scheduled time with a delay text.
    int32_t delayMinutes = 0;
};

// What a board shows for one operating day, built from the store.
// The compiler's own copy of the array member below names its loop variable
// in the reserved form.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
struct BoardTimetable {
    int32_t operatingDay = 0;
    std::vector<Departure> departures;  // by time
    std::string platform;
    std::string lineTexts[LANGUAGE_SLOTS];
    uint32_t lineColor = 0;
    bool hasLineColor = false;
    std::vector<std::string> problems;
};

// The operating day at an instant: the local date, counted from the
// configured start of the day.
int32_t operatingDay(const StationConfig& config, const date::time_zone* zone, int64_t now);

void buildTimetable(Store* store, const date::time_zone* zone, const StationConfig& config,
                    const BoardConfig& board, int32_t day, BoardTimetable* timetable);

// ---------------------------------------------------------------------------
// The live store: the store file a server reads, opened again when an
// import has replaced it (checked at most once a second), so a feed update
// never drops a request.

struct LiveStore {
    std::mutex lock;
    std::string path;                       // the store file
    std::shared_ptr<Store> store;           // open on the file as last seen
    const date::time_zone* zone = nullptr;  // the feed's zone
    uint64_t generation = 0;                // counts every opening
    struct stat file = {};                  // the file as last opened
    int64_t lastCheckMs = 0;                // monotonic ms of the last look at the file
};

// What one request reads: the store, its zone and generation, held open for
// as long as the request needs them even when a newer file is opened.
struct StoreView {
    std::shared_ptr<Store> store;
    const date::time_zone* zone;
    uint64_t generation;
};

// Opens live->path; false with a message when there is no readable store.
bool liveStoreOpen(LiveStore* live, std::string* error);
// The store to read now, re-opened first when its file was replaced.
StoreView liveStoreCurrent(LiveStore* live);
