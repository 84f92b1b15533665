// The timetable import: reads a GTFS feed (zip or folder) into a new SQLite
// store beside the old one and renames it over the old one only when it is
// complete, so a refused feed, a crash or a kill during the import leaves the
// old store serving. Rows that cannot be used are skipped and reported as
// "file:line: what"; a missing required file or column refuses the feed.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "server/timetable/timetable.h"

namespace {

const char* const SCHEMA =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE agency(agency_id TEXT, agency_name TEXT, agency_timezone TEXT, agency_lang TEXT);"
    "CREATE TABLE stops(stop_id TEXT PRIMARY KEY, stop_name TEXT, parent_station TEXT, platform_code TEXT,"
    " location_type INTEGER);"
    "CREATE TABLE routes(route_id TEXT PRIMARY KEY, route_short_name TEXT, route_long_name TEXT, route_color "
    "TEXT);"
    "CREATE TABLE trips(trip_id TEXT PRIMARY KEY, route_id TEXT, service_id TEXT, trip_headsign TEXT,"
    " direction_id INTEGER, last_stop_id TEXT, last_sequence INTEGER, first_departure INTEGER,"
    " trip_short_name TEXT);"
    "CREATE TABLE stop_times(trip_id TEXT, stop_id TEXT, stop_sequence INTEGER, departure INTEGER,"
    " stop_headsign TEXT, pickup_type INTEGER);"
    "CREATE TABLE calendar(service_id TEXT PRIMARY KEY, days INTEGER, start_date INTEGER, end_date INTEGER);"
    "CREATE TABLE calendar_dates(service_id TEXT, date INTEGER, exception_type INTEGER);"
    "CREATE TABLE frequencies(trip_id TEXT, start_time INTEGER, end_time INTEGER, headway INTEGER);"
    "CREATE TABLE translations(table_name TEXT, field_name TEXT, language TEXT, translation TEXT,"
    " record_id TEXT, record_sub_id TEXT, field_value TEXT);";

const char* const INDEXES =
    "CREATE INDEX stop_times_by_stop ON stop_times(stop_id);"
    "CREATE INDEX stops_by_parent ON stops(parent_station, platform_code);"
    "CREATE INDEX calendar_dates_by_date ON calendar_dates(date);"
    "CREATE INDEX frequencies_by_trip ON frequencies(trip_id);"
    "CREATE INDEX translations_by_record ON translations(table_name, field_name, language, record_id);"
    "CREATE INDEX translations_by_value ON translations(table_name, field_name, language, field_value);";

const char* const WEEKDAY_COLUMNS[7] = {"monday", "tuesday",  "wednesday", "thursday",
                                        "friday", "saturday", "sunday"};

// The first and last timed call of a trip.
struct TripSpan {
    int32_t firstSequence = -1;
    int32_t firstDeparture = -1;
    int32_t lastSequence = -1;
    std::string lastStopId;
};

struct Import {
    FeedSource* feed = nullptr;
    sqlite3* db = nullptr;
    ImportReport* report = nullptr;
    bool refused = false;
    std::unordered_set<std::string> stops;
    std::unordered_set<std::string> routes;
    std::unordered_set<std::string> services;
    std::unordered_map<std::string, uint32_t> trips;  // trip_id to its number
    // Every call's place, kept to give untimed calls a time afterwards.
    struct CallPlace {
        uint32_t trip;
        int32_t sequence;
        int32_t departure;
        int64_t row;
    };
    std::vector<CallPlace> calls;
    bool untimedCalls = false;
    std::unordered_map<std::string, TripSpan> spans;
    std::string timezone;
    std::string agencyLang;
    std::string feedLang;
    std::string feedVersion;
};

// The columns of one file, by name.
struct Columns {
    std::vector<std::string> names;
    int32_t index(const std::string& name) const {
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                return static_cast<int32_t>(i);
            }
        }
        return -1;
    }
};

const std::string EMPTY;

const std::string& field(const std::vector<std::string>& row, int32_t column) {
    if (column < 0 || static_cast<size_t>(column) >= row.size()) {
        return EMPTY;
    }
    return row[static_cast<size_t>(column)];
}

bool exec(sqlite3* db, const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        *error = message != nullptr ? message : "SQLite error";
        sqlite3_free(message);
        return false;
    }
    return true;
}

// One prepared insert, reused for every row of a file.
struct Insert {
    sqlite3_stmt* statement = nullptr;
    int32_t next = 1;
    Insert(sqlite3* db, const char* sql) {
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    }
    ~Insert() {
        sqlite3_finalize(statement);
    }
    Insert& text(const std::string& value) {
        sqlite3_bind_text(statement, next++, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Insert& integer(int64_t value) {
        sqlite3_bind_int64(statement, next++, value);
        return *this;
    }
    Insert& null() {
        sqlite3_bind_null(statement, next++);
        return *this;
    }
    bool run() {
        next = 1;
        const bool ok = statement != nullptr && sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
        return ok;
    }
};

using RowHandler =
    std::function<void(const Columns& columns, const std::vector<std::string>& row, int32_t line)>;

// Reads one file of the feed. A required file that is missing, or a file
// without a required column, refuses the feed. Returns whether it was read.
bool loadFile(Import* import, const std::string& file, bool required,
              const std::vector<std::string>& requiredColumns, const RowHandler& onRow) {
    if (!feedHas(import->feed, file)) {
        if (required) {
            reportFault(import->report, file, 0, "required file missing");
            import->refused = true;
        }
        return false;
    }
    std::string bytes;
    std::string error;
    if (!feedRead(import->feed, file, &bytes, &error)) {
        reportFault(import->report, file, 0, error);
        import->refused = true;
        return false;
    }
    Columns columns;
    bool headerRead = false;
    bool headerOk = true;
    const bool ok = readCsv(
        bytes.data(), bytes.size(),
        [&](const std::vector<std::string>& record, int32_t line) {
            if (!headerRead) {
                headerRead = true;
                columns.names = record;
                for (std::string& name : columns.names) {
                    // Tolerate blanks around column names.
                    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
                        name.pop_back();
                    }
                    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) {
                        name.erase(0, 1);
                    }
                }
                for (const std::string& column : requiredColumns) {
                    if (columns.index(column) < 0) {
                        reportFault(import->report, file, line, "required column " + column + " missing");
                        headerOk = false;
                    }
                }
                return;
            }
            if (headerOk) {
                onRow(columns, record, line);
            }
        },
        &error);
    if (!ok) {
        reportFault(import->report, file, 0, "not readable as CSV: " + error);
        import->refused = true;
        return false;
    }
    if (!headerRead) {
        // An empty optional file is as good as none.
        if (!required) {
            return false;
        }
        reportFault(import->report, file, 1, "no header line");
        headerOk = false;
    }
    if (!headerOk) {
        import->refused = true;
        return false;
    }
    return true;
}

void loadAgency(Import* import) {
    Insert insert(import->db, "INSERT INTO agency VALUES(?,?,?,?)");
    const std::string file = "agency.txt";
    loadFile(import, file, true, {"agency_name", "agency_timezone"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& zone = field(row, c.index("agency_timezone"));
                 if (findZone(zone) == nullptr) {
                     reportFault(import->report, file, line, "unknown time zone \"" + zone + "\"");
                     return;
                 }
                 if (import->timezone.empty()) {
                     import->timezone = zone;
                     import->agencyLang = field(row, c.index("agency_lang"));
                 } else if (zone != import->timezone) {
                     reportFault(
                         import->report, file, line,
                         "time zone " + zone + " differs from the first agency's " + import->timezone);
                 }
                 insert.text(field(row, c.index("agency_id")))
                     .text(field(row, c.index("agency_name")))
                     .text(zone)
                     .text(field(row, c.index("agency_lang")))
                     .run();
             });
    if (!import->refused && import->timezone.empty()) {
        reportFault(import->report, file, 0, "no agency with a known time zone");
        import->refused = true;
    }
}

void loadStops(Import* import) {
    Insert insert(import->db, "INSERT INTO stops VALUES(?,?,?,?,?)");
    const std::string file = "stops.txt";
    std::vector<std::pair<std::string, int32_t>> parents;
    loadFile(import, file, true, {"stop_id"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& id = field(row, c.index("stop_id"));
                 if (id.empty()) {
                     reportFault(import->report, file, line, "empty stop_id");
                     return;
                 }
                 if (!import->stops.insert(id).second) {
                     reportFault(import->report, file, line, "duplicate stop_id \"" + id + "\"");
                     return;
                 }
                 const std::string& parent = field(row, c.index("parent_station"));
                 if (!parent.empty()) {
                     parents.emplace_back(parent, line);
                 }
                 const std::string& type = field(row, c.index("location_type"));
                 if (!type.empty() && (type.size() != 1 || type[0] < '0' || type[0] > '4')) {
                     reportFault(import->report, file, line, "location_type is not 0 to 4");
                     return;
                 }
                 insert.text(id)
                     .text(field(row, c.index("stop_name")))
                     .text(parent)
                     .text(field(row, c.index("platform_code")))
                     .integer(type.empty() ? 0 : type[0] - '0')
                     .run();
             });
    for (const auto& [parent, line] : parents) {
        if (import->stops.count(parent) == 0) {
            reportFault(import->report, file, line, "unknown parent_station \"" + parent + "\"");
        }
    }
    import->report->stops = static_cast<int64_t>(import->stops.size());
}

void loadRoutes(Import* import) {
    Insert insert(import->db, "INSERT INTO routes VALUES(?,?,?,?)");
    const std::string file = "routes.txt";
    loadFile(import, file, true, {"route_id"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& id = field(row, c.index("route_id"));
                 if (id.empty()) {
                     reportFault(import->report, file, line, "empty route_id");
                     return;
                 }
                 if (!import->routes.insert(id).second) {
                     reportFault(import->report, file, line, "duplicate route_id \"" + id + "\"");
                     return;
                 }
                 std::string color = field(row, c.index("route_color"));
                 if (!color.empty() && nearestPaletteColor(color) == 0) {
                     reportFault(import->report, file, line, "route_color \"" + color + "\" is not RRGGBB");
                     color.clear();
                 }
                 insert.text(id)
                     .text(field(row, c.index("route_short_name")))
                     .text(field(row, c.index("route_long_name")))
                     .text(color)
                     .run();
             });
}

void loadCalendar(Import* import, bool required) {
    Insert insert(import->db, "INSERT INTO calendar VALUES(?,?,?,?)");
    const std::string file = "calendar.txt";
    std::vector<std::string> columns = {"service_id", "start_date", "end_date"};
    columns.insert(columns.end(), WEEKDAY_COLUMNS, WEEKDAY_COLUMNS + 7);
    loadFile(import, file, required, columns,
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& id = field(row, c.index("service_id"));
                 if (id.empty()) {
                     reportFault(import->report, file, line, "empty service_id");
                     return;
                 }
                 int32_t days = 0;
                 for (int32_t day = 0; day < 7; ++day) {
                     const std::string& flag = field(row, c.index(WEEKDAY_COLUMNS[day]));
                     if (flag == "1") {
                         days |= 1 << day;
                     } else if (flag != "0") {
                         reportFault(import->report, file, line,
                                     std::string(WEEKDAY_COLUMNS[day]) + " is not 0 or 1");
                         return;
                     }
                 }
                 int32_t start = 0;
                 int32_t end = 0;
                 if (!parseGtfsDate(field(row, c.index("start_date")), &start) ||
                     !parseGtfsDate(field(row, c.index("end_date")), &end)) {
                     reportFault(import->report, file, line, "start_date or end_date is not a YYYYMMDD date");
                     return;
                 }
                 if (import->services.count(id) != 0) {
                     reportFault(import->report, file, line, "duplicate service_id \"" + id + "\"");
                     return;
                 }
                 import->services.insert(id);
                 insert.text(id).integer(days).integer(start).integer(end).run();
             });
}

void loadCalendarDates(Import* import, bool required) {
    Insert insert(import->db, "INSERT INTO calendar_dates VALUES(?,?,?)");
    const std::string file = "calendar_dates.txt";
    loadFile(import, file, required, {"service_id", "date", "exception_type"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& id = field(row, c.index("service_id"));
                 int32_t day = 0;
                 const std::string& type = field(row, c.index("exception_type"));
                 if (id.empty()) {
                     reportFault(import->report, file, line, "empty service_id");
                     return;
                 }
                 if (!parseGtfsDate(field(row, c.index("date")), &day)) {
                     reportFault(import->report, file, line, "date is not a YYYYMMDD date");
                     return;
                 }
                 if (type != "1" && type != "2") {
                     reportFault(import->report, file, line, "exception_type is not 1 or 2");
                     return;
                 }
                 import->services.insert(id);
                 insert.text(id).integer(day).integer(type == "1" ? 1 : 2).run();
             });
}

void loadTrips(Import* import) {
    Insert insert(import->db, "INSERT INTO trips VALUES(?,?,?,?,?,NULL,NULL,NULL,?)");
    const std::string file = "trips.txt";
    loadFile(import, file, true, {"route_id", "service_id", "trip_id"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& id = field(row, c.index("trip_id"));
                 const std::string& route = field(row, c.index("route_id"));
                 const std::string& service = field(row, c.index("service_id"));
                 const std::string& direction = field(row, c.index("direction_id"));
                 if (id.empty()) {
                     reportFault(import->report, file, line, "empty trip_id");
                     return;
                 }
                 if (import->routes.count(route) == 0) {
                     reportFault(import->report, file, line, "unknown route_id \"" + route + "\"");
                     return;
                 }
                 if (import->services.count(service) == 0) {
                     reportFault(import->report, file, line, "unknown service_id \"" + service + "\"");
                     return;
                 }
                 if (!direction.empty() && direction != "0" && direction != "1") {
                     reportFault(import->report, file, line, "direction_id is not 0 or 1");
                     return;
                 }
                 if (!import->trips.emplace(id, static_cast<uint32_t>(import->trips.size())).second) {
                     reportFault(import->report, file, line, "duplicate trip_id \"" + id + "\"");
                     return;
                 }
                 insert.text(id).text(route).text(service).text(field(row, c.index("trip_headsign")));
                 if (direction.empty()) {
                     insert.null();
                 } else {
                     insert.integer(direction == "1" ? 1 : 0);
                 }
                 insert.text(field(row, c.index("trip_short_name")));  // the train's type or number
                 insert.run();
             });
    import->report->trips = static_cast<int64_t>(import->trips.size());
}

bool parseCount(const std::string& text, int32_t* value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    int32_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    *value = number;
    return true;
}

// A call without a time lies between timed calls of its trip; it gets a
// time in proportion to its place between them, as trip planners do.
void interpolateTimes(Import* import) {
    if (!import->untimedCalls) {
        return;
    }
    auto& calls = import->calls;
    std::sort(calls.begin(), calls.end(), [](const Import::CallPlace& a, const Import::CallPlace& b) {
        return a.trip != b.trip ? a.trip < b.trip : a.sequence < b.sequence;
    });
    Insert update(import->db, "UPDATE stop_times SET departure = ? WHERE rowid = ?");
    size_t tripStart = 0;
    for (size_t i = 0; i <= calls.size(); ++i) {
        if (i < calls.size() && calls[i].trip == calls[tripStart].trip) {
            continue;
        }
        // calls[tripStart, i) is one trip.
        size_t previous = SIZE_MAX;
        for (size_t k = tripStart; k < i; ++k) {
            if (calls[k].departure < 0) {
                continue;
            }
            if (previous != SIZE_MAX && k - previous > 1) {
                const int32_t from = calls[previous].departure;
                const int32_t span = calls[k].departure - from;
                const int32_t steps = static_cast<int32_t>(k - previous);
                for (size_t m = previous + 1; m < k; ++m) {
                    const int32_t time = from + span * static_cast<int32_t>(m - previous) / steps;
                    update.integer(time).integer(calls[m].row).run();
                }
            }
            previous = k;
        }
        tripStart = i;
    }
}

void loadStopTimes(Import* import) {
    Insert insert(import->db, "INSERT INTO stop_times VALUES(?,?,?,?,?,?)");
    const std::string file = "stop_times.txt";
    // Column positions, looked up once for the largest file of the feed.
    int32_t tripColumn = -2, stopColumn = -1, sequenceColumn = -1, departureColumn = -1, arrivalColumn = -1,
            headsignColumn = -1, pickupColumn = -1;
    loadFile(import, file, true, {"trip_id", "stop_id", "stop_sequence", "departure_time"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 if (tripColumn == -2) {
                     tripColumn = c.index("trip_id");
                     stopColumn = c.index("stop_id");
                     sequenceColumn = c.index("stop_sequence");
                     departureColumn = c.index("departure_time");
                     arrivalColumn = c.index("arrival_time");
                     headsignColumn = c.index("stop_headsign");
                     pickupColumn = c.index("pickup_type");
                 }
                 const std::string& trip = field(row, tripColumn);
                 const std::string& stop = field(row, stopColumn);
                 int32_t sequence = 0;
                 if (import->trips.count(trip) == 0) {
                     reportFault(import->report, file, line, "unknown trip_id \"" + trip + "\"");
                     return;
                 }
                 if (import->stops.count(stop) == 0) {
                     reportFault(import->report, file, line, "unknown stop_id \"" + stop + "\"");
                     return;
                 }
                 if (!parseCount(field(row, sequenceColumn), &sequence)) {
                     reportFault(import->report, file, line, "stop_sequence is not a whole number");
                     return;
                 }
                 // The departure, else the arrival; a call without either is
                 // an untimed stop that no board can show.
                 std::string timeText = field(row, departureColumn);
                 if (timeText.empty()) {
                     timeText = field(row, arrivalColumn);
                 }
                 int32_t departure = -1;
                 if (!timeText.empty() && !parseGtfsTime(timeText, &departure)) {
                     reportFault(import->report, file, line, "time \"" + timeText + "\" is not H:MM:SS");
                     return;
                 }
                 const std::string& pickup = field(row, pickupColumn);
                 insert.text(trip).text(stop).integer(sequence);
                 if (departure < 0) {
                     insert.null();
                 } else {
                     insert.integer(departure);
                 }
                 insert.text(field(row, headsignColumn)).integer(pickup == "1" ? 1 : 0);
                 if (!insert.run()) {
                     reportFault(import->report, file, line,
                                 std::string("store: ") + sqlite3_errmsg(import->db));
                     import->refused = true;
                     return;
                 }
                 ++import->report->stopTimes;
                 import->calls.push_back(
                     {import->trips[trip], sequence, departure, sqlite3_last_insert_rowid(import->db)});
                 import->untimedCalls |= departure < 0;
                 TripSpan& span = import->spans[trip];
                 if (departure >= 0 && (span.firstSequence < 0 || sequence < span.firstSequence)) {
                     span.firstSequence = sequence;
                     span.firstDeparture = departure;
                 }
                 if (span.lastSequence < 0 || sequence > span.lastSequence) {
                     span.lastSequence = sequence;
                     span.lastStopId = stop;
                 }
             });
    interpolateTimes(import);
    Insert update(
        import->db,
        "UPDATE trips SET last_stop_id = ?, last_sequence = ?, first_departure = ? WHERE trip_id = ?");
    for (const auto& [trip, span] : import->spans) {
        update.text(span.lastStopId).integer(span.lastSequence).integer(span.firstDeparture).text(trip).run();
    }
}

void loadFrequencies(Import* import) {
    Insert insert(import->db, "INSERT INTO frequencies VALUES(?,?,?,?)");
    const std::string file = "frequencies.txt";
    loadFile(import, file, false, {"trip_id", "start_time", "end_time", "headway_secs"},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
                 const std::string& trip = field(row, c.index("trip_id"));
                 int32_t start = 0;
                 int32_t end = 0;
                 int32_t headway = 0;
                 if (import->trips.count(trip) == 0) {
                     reportFault(import->report, file, line, "unknown trip_id \"" + trip + "\"");
                     return;
                 }
                 if (!parseGtfsTime(field(row, c.index("start_time")), &start) ||
                     !parseGtfsTime(field(row, c.index("end_time")), &end) || end <= start) {
                     reportFault(import->report, file, line, "start_time and end_time are no time span");
                     return;
                 }
                 if (!parseCount(field(row, c.index("headway_secs")), &headway) || headway <= 0) {
                     reportFault(import->report, file, line, "headway_secs is not a positive number");
                     return;
                 }
                 insert.text(trip).integer(start).integer(end).integer(headway).run();
             });
}

void loadTranslations(Import* import) {
    Insert insert(import->db, "INSERT INTO translations VALUES(?,?,?,?,?,?,?)");
    const std::string file = "translations.txt";
    loadFile(
        import, file, false, {"table_name", "field_name", "language", "translation"},
        [&](const Columns& c, const std::vector<std::string>& row, int32_t line) {
            const std::string& recordId = field(row, c.index("record_id"));
            const std::string& fieldValue = field(row, c.index("field_value"));
            if (field(row, c.index("table_name")).empty() || field(row, c.index("field_name")).empty() ||
                field(row, c.index("language")).empty()) {
                reportFault(import->report, file, line, "table_name, field_name or language empty");
                return;
            }
            if (recordId.empty() && fieldValue.empty() && field(row, c.index("table_name")) != "feed_info") {
                reportFault(import->report, file, line, "neither record_id nor field_value");
                return;
            }
            insert.text(field(row, c.index("table_name")))
                .text(field(row, c.index("field_name")))
                .text(field(row, c.index("language")))
                .text(field(row, c.index("translation")))
                .text(recordId)
                .text(field(row, c.index("record_sub_id")))
                .text(fieldValue)
                .run();
        });
}

void loadFeedInfo(Import* import) {
    loadFile(import, "feed_info.txt", false, {},
             [&](const Columns& c, const std::vector<std::string>& row, int32_t) {
                 if (import->feedLang.empty()) {
                     import->feedLang = field(row, c.index("feed_lang"));
                     import->feedVersion = field(row, c.index("feed_version"));
                 }
             });
}

bool writeMeta(Import* import) {
    Insert insert(import->db, "INSERT INTO meta VALUES(?,?)");
    return insert.text("timezone").text(import->timezone).run() &&
           insert.text("feed_lang")
               .text(import->feedLang.empty() ? import->agencyLang : import->feedLang)
               .run() &&
           insert.text("feed_version").text(import->feedVersion).run();
}

// Makes the finished file durable before it replaces the old store.
bool syncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Fills the new store file from the feed and puts it in place.
int32_t buildStore(Import* importPointer, const std::string& storePath, const std::string& newPath) {
    Import& import = *importPointer;
    ImportReport* report = import.report;
    std::string error;
    if (sqlite3_open_v2(newPath.c_str(), &import.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        reportFault(report, newPath, 0, import.db != nullptr ? sqlite3_errmsg(import.db) : "cannot create");
        sqlite3_close(import.db);
        feedClose(import.feed);
        return IMPORT_REFUSED;
    }
    bool ok =
        exec(import.db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;",
             &error) &&
        exec(import.db, SCHEMA, &error) && exec(import.db, "BEGIN", &error);
    if (ok) {
        // Files that others refer to come first, so every reference can be
        // checked as its row arrives.
        const bool hasCalendar = feedHas(import.feed, "calendar.txt");
        const bool hasCalendarDates = feedHas(import.feed, "calendar_dates.txt");
        if (!hasCalendar && !hasCalendarDates) {
            reportFault(report, "calendar.txt", 0, "required file missing (nor is there calendar_dates.txt)");
            import.refused = true;
        }
        loadAgency(&import);
        loadStops(&import);
        loadRoutes(&import);
        loadCalendar(&import, false);
        loadCalendarDates(&import, false);
        loadTrips(&import);
        loadStopTimes(&import);
        loadFrequencies(&import);
        loadTranslations(&import);
        loadFeedInfo(&import);
        ok = !import.refused && writeMeta(&import) && exec(import.db, INDEXES, &error) &&
             exec(import.db, "COMMIT", &error);
        if (!ok && !import.refused) {
            reportFault(report, newPath, 0, error.empty() ? sqlite3_errmsg(import.db) : error);
        }
    } else {
        reportFault(report, newPath, 0, error);
    }
    if (sqlite3_close(import.db) != SQLITE_OK) {
        ok = false;
    }
    feedClose(import.feed);
    if (ok && !syncFile(newPath)) {
        reportFault(report, newPath, 0, "cannot write it to disk");
        ok = false;
    }
    if (ok && std::rename(newPath.c_str(), storePath.c_str()) != 0) {
        reportFault(report, storePath, 0, "cannot replace the store");
        ok = false;
    }
    if (!ok) {
        std::remove(newPath.c_str());
        return IMPORT_REFUSED;
    }
    syncFile(folderOf(storePath));
    return IMPORT_OK;
}

}  // namespace

void reportFault(ImportReport* report, const std::string& file, int64_t line, const std::string& what) {
    ++report->faultCount;
    if (report->faults.size() < static_cast<size_t>(FAULTS_PRINTED)) {
        report->faults.push_back(line > 0 ? file + ":" + std::to_string(line) + ": " + what
                                          : file + ": " + what);
    }
}

int32_t importFeed(const std::string& feedPath, const std::string& storePath, ImportReport* report) {
    Import import;
    import.report = report;
    std::string error;
    import.feed = feedOpen(feedPath, &error);
    if (import.feed == nullptr) {
        reportFault(report, feedPath, 0, error);
        return IMPORT_REFUSED;
    }
    const std::string newPath = storePath + ".new";
    // The new file is held locked for the whole import, so a second import
    // of the same store is refused instead of writing into this one. A file
    // left by an import that was killed is only a half store: it is emptied.
    const int newFd = open(newPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (newFd < 0 || flock(newFd, LOCK_EX | LOCK_NB) != 0) {
        reportFault(report, newPath, 0,
                    newFd < 0 ? "cannot create" : "another import of this store is running");
        if (newFd >= 0) {
            close(newFd);
        }
        feedClose(import.feed);
        return IMPORT_REFUSED;
    }
    if (ftruncate(newFd, 0) != 0) {
        reportFault(report, newPath, 0, "cannot empty the file an earlier import left");
        close(newFd);
        feedClose(import.feed);
        return IMPORT_REFUSED;
    }
    const int32_t result = buildStore(&import, storePath, newPath);
    close(newFd);
    return result;
}
