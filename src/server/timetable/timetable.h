// The timetable: GTFS feeds read (CSV, zip or folder), imported into the
// store, the store read while serving (re-opened when an import replaces
// it), service days and local time in the feed's zone, the server's clock,
// and what one board's departures are for an operating day.
#pragma once

#include <sys/stat.h>

#include <date/date.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The longest field the reader holds: past it the file is at fault (most
// often a stray quote that opened a field never closed).
constexpr size_t CSV_FIELD_LIMIT = 1 << 20;

// A CSV text read in pieces: an optional UTF-8 signature, quoted fields with
// commas, quotes and line breaks, CRLF or LF line ends. Blank lines are
// skipped. A quote never closed is an error at csvFinish.
struct CsvParse;
struct CsvParseCloser {
    void operator()(CsvParse* parse) const;
};
using CsvParsePtr = std::unique_ptr<CsvParse, CsvParseCloser>;
// The handler must outlive the parse. Nothing when out of memory.
CsvParsePtr csvStart(const CsvRecordHandler& onRecord);
// False with "line N: what" when the text cannot be read as CSV.
bool csvFeed(CsvParse* parse, const char* bytes, size_t size, std::string* error);
bool csvFinish(CsvParse* parse, std::string* error);

// Reads a whole CSV text in one call.
bool readCsv(const char* bytes, size_t size, const CsvRecordHandler& onRecord, std::string* error);

// ---------------------------------------------------------------------------
// Feed source: a GTFS zip or a folder

struct FeedSource;
struct FeedSourceCloser {
    void operator()(FeedSource* feed) const;
};
using FeedSourcePtr = std::unique_ptr<FeedSource, FeedSourceCloser>;

// Opens a zip file or a folder. Nothing and what went wrong when it cannot, or
// when the zip is ambiguous: one name twice, or the files of two feeds in
// different folders.
FeedSourcePtr feedOpen(const std::string& path, std::string* error);
bool feedHas(FeedSource* feed, const std::string& name);
// Hands the file to onPiece in pieces of at most 64 KiB, stopping when it
// returns false. False with what went wrong (the caller names the file)
// when the file is missing, cannot be read, or expands past limit bytes.
using FeedPieceHandler = std::function<bool(const char* bytes, size_t size)>;
bool feedStream(FeedSource* feed, const std::string& name, uint64_t limit, const FeedPieceHandler& onPiece,
                std::string* error);

// ---------------------------------------------------------------------------
// Import

constexpr int32_t FAULTS_PRINTED = 100;
// Longest fault text kept: a line of any length prints as one short line.
constexpr size_t FAULT_TEXT_LIMIT = 200;
// Default largest expanded size of one file of the feed.
constexpr uint64_t ENTRY_SIZE_LIMIT = uint64_t{4} << 30;

constexpr int32_t IMPORT_OK = 0;
constexpr int32_t IMPORT_REFUSED = 1;

struct ImportOptions {
    uint64_t entrySizeLimit = ENTRY_SIZE_LIMIT;  // bytes one file of the feed may expand to
    // A new store keeping fewer stop times than this share of the live
    // store's, or any required table empty, is refused unless acceptShrink.
    double keptShare = 0.5;
    bool acceptShrink = false;  // import a feed that shrank all the same
};

struct ImportReport {
    std::vector<std::string> faults;  // the first FAULTS_PRINTED, "file:line: what"
    int64_t faultCount = 0;           // every fault and warning, printed or not
    int64_t stopTimes = 0;            // stop_times rows in the new store
    int64_t trips = 0;                // trips read
    int64_t stops = 0;                // stops read
    std::string refusal;              // why the feed was refused, one line; empty when imported
};

// Adds a fault; only the first FAULTS_PRINTED are kept as text, each cut to
// FAULT_TEXT_LIMIT bytes with control bytes (a NUL in an id) escaped.
void reportFault(ImportReport* report, const std::string& file, int64_t line, const std::string& what);

// Builds storePath + ".new" from the feed and renames it over storePath when
// complete. IMPORT_REFUSED leaves storePath as it was and no ".new" behind.
// storePath + ".lock" is held for the whole import: a second import of the
// same store at the same time is refused.
int32_t importFeed(const std::string& feedPath, const std::string& storePath, ImportReport* report,
                   const ImportOptions& options = ImportOptions{});

// ---------------------------------------------------------------------------
// Store: the imported timetable, read-only while serving. Every function is
// safe to call from several threads.

struct Store;
struct StoreCloser {
    void operator()(Store* store) const;
};
using StorePtr = std::unique_ptr<Store, StoreCloser>;

// Opens a finished store read only; nothing and a message when it cannot.
StorePtr storeOpen(const std::string& path, std::string* error);

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
// The stops of a trip in its order.
struct TripStopRecord {
    std::string stopId;
    int32_t stopSequence;
};
std::vector<TripStopRecord> storeTripStops(Store* store, const std::string& tripId);
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

// The trip's train number as staff know it (GTFS trip_short_name); empty
// when the feed or the store has none.
std::string storeTripShortName(Store* store, const std::string& tripId);

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
    std::string stopId;         // the stop this call is at
    int32_t stopSequence = -1;  // its stop_sequence in the trip
    std::string tripShortName;  // the train's type or number, empty when the feed has none
};
std::vector<CallRecord> storeCallsAt(Store* store, const std::vector<std::string>& stopIds);

struct FrequencyRecord {
    int32_t start;
    int32_t end;
    int32_t headway;
};
std::vector<FrequencyRecord> storeFrequencies(Store* store, const std::string& tripId);

// The service_ids that run on a day: calendar, then calendar_dates added
// and removed.
std::vector<std::string> storeServicesOn(Store* store, ServiceDay day);

// A translation of a field (GTFS translations, table_name/field_name form):
// by record_id first, then by field_value, then (the older trans_id form of
// Japanese feeds) by the text alone. Empty when there is none.
std::string storeTranslation(Store* store, const std::string& table, const std::string& field,
                             const std::string& language, const std::string& recordId,
                             const std::string& fieldValue);

// Every translation of a field in every language the feed has: those by
// record_id first, then those by field_value.
struct TranslationRecord {
    std::string language;     // the BCP 47 tag as the feed wrote it
    std::string translation;  // the translated text
};
std::vector<TranslationRecord> storeTranslations(Store* store, const std::string& table,
                                                 const std::string& field, const std::string& recordId,
                                                 const std::string& fieldValue);

// The display language slot (0 Japanese ... 5 Korean) of a BCP 47 language
// tag, compared without regard to case ("EN", "en-US" and "en_GB" are
// English); -1 for a language the board has no slot for.
int32_t languageSlotOf(const std::string& tag);

// ---------------------------------------------------------------------------
// Service days and local time

const date::time_zone* findZone(const std::string& name);

// The server's clock, the stored files and the served documents count
// instants as Unix seconds: these two are where such a number becomes an
// instant and back.
inline std::chrono::sys_seconds instantFromUnix(int64_t unixSeconds) {
    return std::chrono::sys_seconds{std::chrono::seconds{unixSeconds}};
}
inline int64_t unixSeconds(std::chrono::sys_seconds instant) {
    return instant.time_since_epoch().count();
}

// "H:MM:SS" with any number of hour digits (25:10:00 is past midnight).
bool parseGtfsTime(const std::string& text, int32_t* seconds);
// "YYYYMMDD" of a real date.
bool parseGtfsDate(const std::string& text, int32_t* date);
// 0 Monday ... 6 Sunday.
int32_t weekdayOf(ServiceDay day);

// The instant a service day's times count from: noon of that local date
// minus twelve hours, which is midnight except on the days the clocks
// change.
std::chrono::sys_seconds serviceDayStart(const date::time_zone* zone, ServiceDay day);
// The local date and the time of day on the station's wall clock.
date::local_days localDate(const date::time_zone* zone, std::chrono::sys_seconds instant);
std::chrono::seconds localTimeOfDay(const date::time_zone* zone, std::chrono::sys_seconds instant);
// "H:MM" in local time.
std::string formatClock(const date::time_zone* zone, std::chrono::sys_seconds instant);
// "H:MM" of a time of day (hours past 24 as they are: "25:30").
std::string formatClock(std::chrono::seconds timeOfDay);
// "HH:MM:SS" of a time of day, as GTFS writes it ("25:10:00").
std::string formatGtfsTime(std::chrono::seconds timeOfDay);
// "YYYY-MM-DDTHH:MM:SS" in local time, as parseLocalTime reads it back.
std::string formatLocalTime(const date::time_zone* zone, std::chrono::sys_seconds instant);
// "YYYY-MM-DDTHH:MM[:SS]" (or a space for T) as local time; with an offset
// after it ("-05:00", "+09:00", "Z") the instant that offset names, which is
// how the second of the two 1:30s of a fall-back night is told apart.
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
// Shared texts
//
// A station's boards hold thousands of departures each, and most of their
// texts are alike: every run of a trip goes to the same destination, in the
// same six languages, and a trip calls at twenty platforms. Each departure
// holds its texts through a handle to one shared, immutable block instead of
// copies: 8 bytes where six std::strings took 192. A block is freed with the
// last handle to it. Writing through a handle first gives that handle a
// block of its own (copy on write), so a departure copied and changed never
// changes the one it was copied from.

// One shared value and the count of handles (and pools) that hold it.
template <typename T>
struct SharedBlock {
    std::atomic<uint32_t> references;  // holders; the value never changes while above one
    T value;                           // the text(s)
};

// A handle to a SharedBlock: empty (no block) reads as a default T.
template <typename T>
struct SharedValue {
    SharedBlock<T>* block = nullptr;  // nothing: the empty value

    SharedValue() = default;
    SharedValue(const SharedValue& other) : block(other.block) {
        retain();
    }
    SharedValue(SharedValue&& other) noexcept : block(other.block) {
        other.block = nullptr;
    }
    SharedValue& operator=(const SharedValue& other) {
        if (this != &other) {
            other.retain();
            release();
            block = other.block;
        }
        return *this;
    }
    SharedValue& operator=(SharedValue&& other) noexcept {
        if (this != &other) {
            release();
            block = other.block;
            other.block = nullptr;
        }
        return *this;
    }
    ~SharedValue() {
        release();
    }

    void retain() const {
        if (block != nullptr) {
            block->references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    void release() {
        if (block != nullptr && block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete block;
        }
        block = nullptr;
    }
    const T& get() const {
        static const T EMPTY{};
        return block != nullptr ? block->value : EMPTY;
    }
    // The value to change: this handle's own block, copied first when shared.
    T& own() {
        if (block == nullptr) {
            block = new SharedBlock<T>{{1}, T{}};
        } else if (block->references.load(std::memory_order_acquire) != 1) {
            SharedBlock<T>* copy = new SharedBlock<T>{{1}, block->value};
            release();
            block = copy;
        }
        return block->value;
    }
};

template <typename T>
SharedValue<T> makeShared(T value) {
    SharedValue<T> handle;
    handle.block = new SharedBlock<T>{{1}, std::move(value)};
    return handle;
}

// A text in every display language slot (Japanese first), read and written
// as an array of LANGUAGE_SLOTS strings.
struct SlotTexts {
    SharedValue<std::array<std::string, LANGUAGE_SLOTS>> shared;  // the texts; empty: all empty

    const std::string& operator[](int32_t slot) const {
        return shared.get()[static_cast<size_t>(slot)];
    }
    const std::string& operator[](size_t slot) const {
        return shared.get()[slot];
    }
    std::string& operator[](int32_t slot) {
        return shared.own()[static_cast<size_t>(slot)];
    }
    std::string& operator[](size_t slot) {
        return shared.own()[slot];
    }
    const std::string* begin() const {
        return shared.get().data();
    }
    const std::string* end() const {
        return shared.get().data() + LANGUAGE_SLOTS;
    }
    std::string* begin() {
        return shared.own().data();
    }
    std::string* end() {
        return shared.own().data() + LANGUAGE_SLOTS;
    }
    // As the array it replaces: a pointer to the first of the slots.
    operator const std::string*() const {
        return shared.get().data();
    }
};

// One text (an id), read as a const std::string.
struct SharedText {
    SharedValue<std::string> shared;  // the text; empty: ""

    SharedText() = default;
    SharedText& operator=(const std::string& text) {
        shared = text.empty() ? SharedValue<std::string>{} : makeShared(text);
        return *this;
    }
    SharedText& operator=(const char* text) {
        return *this = std::string(text);
    }
    operator const std::string&() const {
        return shared.get();
    }
    const std::string& str() const {
        return shared.get();
    }
    bool empty() const {
        return shared.get().empty();
    }
    size_t size() const {
        return shared.get().size();
    }
    const char* c_str() const {
        return shared.get().c_str();
    }
};

inline bool operator==(const SharedText& a, const SharedText& b) {
    return a.shared.block == b.shared.block || a.str() == b.str();
}
inline bool operator==(const SharedText& a, const std::string& b) {
    return a.str() == b;
}
inline bool operator==(const SharedText& a, const char* b) {
    return a.str() == b;
}
inline bool operator<(const SharedText& a, const SharedText& b) {
    return a.str() < b.str();
}
inline std::string operator+(const SharedText& a, const std::string& b) {
    return a.str() + b;
}
inline std::string operator+(const SharedText& a, const char* b) {
    return a.str() + b;
}
inline std::string operator+(const SharedText& a, char b) {
    return a.str() + b;
}
inline std::string operator+(const std::string& a, const SharedText& b) {
    return a + b.str();
}
inline std::string operator+(const char* a, const SharedText& b) {
    return a + b.str();
}

// Shares equal texts among the timetables built from one store: one block
// per distinct text however many departures hold it. Not locked: whoever
// owns the pool builds with it one timetable at a time.
struct TextPool {
    std::unordered_map<std::string_view, SharedValue<std::string>> texts;  // by their own text
    size_t sweepAt = 4096;  // past this many texts, those held by nobody else are let go
};
// The pooled handle for a text (the empty handle for "").
SharedText poolText(TextPool* pool, const std::string& text);

// ---------------------------------------------------------------------------
// A board's timetable of one operating day

// A departure's texts are shared handles (see SharedText): a board's
// timetable holds three service days of them.
struct Departure {
    std::chrono::sys_seconds when;  // when it leaves
    ServiceDay serviceDay;          // the service day its times count from
    int32_t departure;              // seconds from the service day's start
    SharedText tripId;
    SharedText routeId;
    SlotTexts destinations;  // Japanese first; empty: none
    // The row's text by the board's train template; empty: the destination.
    SlotTexts trainTexts;
    bool notInService = false;  // takes nobody on: shown as such, no melody
    uint8_t color;
    // Whether the agency's live feed cancelled the train (then it is shown
    // as staff's cancellation is); TRAIN_FROM_* says where the shown state
    // comes from. Kept beside the other single bytes: no padding.
    bool cancelled = false;
    uint8_t source = 0;
    // The trip is run by frequency: several runs a day under one trip_id,
    // each told apart by its start (firstDeparture).
    bool byFrequency = false;
    // Set by the operator: `when` is then the delayed departure and the
    // board still shows the scheduled time with a delay text.
    int32_t delayMinutes = 0;
    // What a live feed needs to find this call in its trip updates.
    SharedText stopId;
    int32_t stopSequence = -1;
    int32_t directionId = -1;
    int32_t firstDeparture = -1;  // the trip's start, seconds from the service day's start
    // What the agency's live feed did to the train: seconds `when` was moved by.
    int32_t liveDelaySeconds = 0;
};

// A board's timetable holds three service days of departures, thousands
// of them: the typed instant and day take the bytes the numbers took
// (81 bytes of fields, padded to 88).
static_assert(sizeof(Departure) == 88, "a departure's size is what a board's memory is counted in");

constexpr uint8_t TRAIN_FROM_TIMETABLE = 0;
constexpr uint8_t TRAIN_FROM_FEED = 1;
constexpr uint8_t TRAIN_FROM_STAFF = 2;

// How closely a change staff set names a departure: CHANGE_NAMES_NOT, every
// run of its trip that day (CHANGE_NAMES_TRIP), or this very run
// (CHANGE_NAMES_RUN). Where both of the last are set, the run's own wins.
constexpr int32_t CHANGE_NAMES_NOT = 0;
constexpr int32_t CHANGE_NAMES_TRIP = 1;
constexpr int32_t CHANGE_NAMES_RUN = 2;
int32_t changeNames(const TrainChange& change, const Departure& departure);

// What a board shows for one operating day, built from the store.
// The compiler's own copy of the array member below names its loop variable
// in the reserved form.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
struct BoardTimetable {
    ServiceDay operatingDay = NO_SERVICE_DAY;  // the day shown
    // By the instant they leave: the trains of the service days before, of
    // and after the operating day, so a train an agency dates on either
    // neighbour of the day is still shown when it leaves.
    std::vector<Departure> departures;
    std::chrono::sys_seconds nextDayStart{};  // when the next operating day starts
    std::string platform;
    std::string lineTexts[LANGUAGE_SLOTS];
    uint32_t lineColor = 0;
    bool hasLineColor = false;
    std::vector<std::string> problems;
};

// The operating day at an instant: the local date, counted on the wall
// clock from the configured start of the day.
ServiceDay operatingDay(const StationConfig& config, const date::time_zone* zone,
                        std::chrono::sys_seconds now);
// The instant an operating day starts.
std::chrono::sys_seconds operatingDayStart(const StationConfig& config, const date::time_zone* zone,
                                           ServiceDay day);

// With a pool, the departures' ids are shared with the other timetables
// built with it; without, within this timetable only.
void buildTimetable(Store* store, const date::time_zone* zone, const StationConfig& config,
                    const BoardConfig& board, ServiceDay day, BoardTimetable* timetable,
                    TextPool* pool = nullptr);

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

// ---------------------------------------------------------------------------
// The server's log (stderr)

// An instant as the station's clock shows it, with the offset from UTC:
// "2026-03-10 07:30:05+09:00". UTC ("+00:00") when the zone is unknown.
std::string formatLocalInstant(const date::time_zone* zone, int64_t instant);

// What log lines take their time from: the server's clock (moved by --now)
// and the zone of the station's feed. Until they are set, the real clock
// and UTC. The live store sets the zone of each store it opens.
void logUseClock(const ServerClock& clock);
void logUseZone(const date::time_zone* zone);
// An instant of a fault text in the log's zone, as formatLocalInstant.
std::string logInstant(int64_t instant);

// Writes one line to stderr: the local time, "velmorant-server: " and the
// text with its control bytes (and backslashes) written as \xNN, so that
// no text taken from outside can end the line or forge another one.
void serverLog(const std::string& text);
