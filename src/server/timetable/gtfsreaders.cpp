// One reader per GTFS file: each declares its columns once (name, and
// whether the file is refused without it) and gets every row through
// Row[COLUMN]. Files that others refer to are read first, so a reference is
// checked as its row arrives; a row that cannot be used is reported as
// "file:line: what" and skipped. Files are read in pieces, never whole.
#include <algorithm>
#include <charconv>

#include "server/timetable/importstate.h"

namespace {

struct FeedColumn {
    const char* name;  // the column's name in the header
    bool required;     // the file is refused without it
};

struct FeedTable {
    const char* file;           // e.g. "stops.txt"
    const FeedColumn* columns;  // the columns the reader uses, in its enum's order
    size_t count;               // how many
};

template <size_t N>
constexpr FeedTable table(const char* file, const FeedColumn (&columns)[N]) {
    return {file, columns, N};
}

// One record of a file, read by declared column.
struct Row {
    const std::vector<std::string>* fields;  // the record
    const std::vector<int32_t>* positions;   // declared column to place in the record; -1: absent
    int32_t line;                            // where the record starts

    const std::string& operator[](size_t column) const {
        static const std::string EMPTY;
        const int32_t at = (*positions)[column];
        return at < 0 || static_cast<size_t>(at) >= fields->size() ? EMPTY
                                                                   : (*fields)[static_cast<size_t>(at)];
    }
    bool has(size_t column) const {
        return (*positions)[column] >= 0;
    }
};

using RowHandler = std::function<void(const Row& row)>;

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Where each declared column is in the header; false when a required one
// is missing (each reported).
bool placeColumns(Import* import, const FeedTable& layout, const std::vector<std::string>& header,
                  std::vector<int32_t>* positions) {
    bool ok = true;
    positions->assign(layout.count, -1);
    for (size_t c = 0; c < layout.count; ++c) {
        for (size_t i = 0; i < header.size(); ++i) {
            if (trimmed(header[i]) == layout.columns[c].name) {
                (*positions)[c] = static_cast<int32_t>(i);
                break;
            }
        }
        if ((*positions)[c] < 0 && layout.columns[c].required) {
            refuseFeed(import, layout.file, 1,
                       std::string("required column ") + layout.columns[c].name + " missing");
            ok = false;
        }
    }
    return ok;
}

// Reads one file of the feed. A required file that is missing, a file that
// is no CSV, or a file without a required column refuses the feed. An empty
// optional file is as good as none. Returns whether rows were read.
bool readTable(Import* import, const FeedTable& layout, bool required, const RowHandler& onRow) {
    if (!feedHas(import->feed, layout.file)) {
        if (required) {
            refuseFeed(import, layout.file, 0, "required file missing");
        }
        return false;
    }
    std::vector<int32_t> positions;
    bool headerRead = false;
    bool headerOk = false;
    // A store failure is carried past libcsv's C frames and raised again.
    std::exception_ptr failure;
    const CsvRecordHandler onRecord = [&](const std::vector<std::string>& record, int32_t line) {
        if (!headerRead) {
            headerRead = true;
            headerOk = placeColumns(import, layout, record, &positions);
        } else if (headerOk && failure == nullptr) {
            try {
                onRow(Row{&record, &positions, line});
            } catch (...) {
                failure = std::current_exception();
            }
        }
    };
    CsvParsePtr parse = csvStart(onRecord);
    std::string error;
    const bool ok = parse != nullptr &&
                    feedStream(
                        import->feed, layout.file, import->options.entrySizeLimit,
                        [&](const char* bytes, size_t size) {
                            return csvFeed(parse.get(), bytes, size, &error) && failure == nullptr;
                        },
                        &error) &&
                    csvFinish(parse.get(), &error);
    if (failure != nullptr) {
        std::rethrow_exception(failure);
    }
    if (!ok) {
        refuseFeed(import, layout.file, 0, parse == nullptr ? "out of memory" : error);
        return false;
    }
    if (!headerRead && required) {
        refuseFeed(import, layout.file, 1, "no header line");
    }
    return headerRead && headerOk;
}

// A whole number from 0 to INT32_MAX, digits only.
bool parseCount(const std::string& text, int32_t* value) {
    const char* end = text.data() + text.size();
    const auto [at, problem] = std::from_chars(text.data(), end, *value);
    return !text.empty() && problem == std::errc() && at == end && *value >= 0 && text[0] != '-';
}

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

// --- agency.txt -------------------------------------------------------------

enum AgencyColumn : size_t { AGENCY_ID, AGENCY_NAME, AGENCY_TIMEZONE, AGENCY_LANG };
constexpr FeedColumn AGENCY_COLUMNS[] = {
    {"agency_id", false}, {"agency_name", true}, {"agency_timezone", true}, {"agency_lang", false}};

void readAgency(Import* import) {
    const FeedTable layout = table("agency.txt", AGENCY_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO agency VALUES(?,?,?,?)");
    readTable(import, layout, true, [&](const Row& row) {
        const std::string& zone = row[AGENCY_TIMEZONE];
        if (findZone(zone) == nullptr) {
            reportFault(import->report, layout.file, row.line, "unknown time zone " + inQuotes(zone));
            return;
        }
        if (import->timezone.empty()) {
            import->timezone = zone;
            import->agencyLang = row[AGENCY_LANG];
        } else if (zone != import->timezone) {
            reportFault(import->report, layout.file, row.line,
                        "time zone " + zone + " differs from the first agency's " + import->timezone);
        }
        runRow(insert, row[AGENCY_ID], row[AGENCY_NAME], zone, row[AGENCY_LANG]);
        ++import->agencies;
    });
    if (!import->refused && import->timezone.empty()) {
        refuseFeed(import, layout.file, 0, "no agency with a known time zone");
    }
}

// --- stops.txt --------------------------------------------------------------

enum StopColumn : size_t { STOP_ID, STOP_NAME, PARENT_STATION, PLATFORM_CODE, LOCATION_TYPE };
constexpr FeedColumn STOP_COLUMNS[] = {{"stop_id", true},
                                       {"stop_name", false},
                                       {"parent_station", false},
                                       {"platform_code", false},
                                       {"location_type", false}};

void readStops(Import* import) {
    const FeedTable layout = table("stops.txt", STOP_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO stops VALUES(?,?,?,?,?)");
    std::vector<std::pair<std::string, int32_t>> parents;
    readTable(import, layout, true, [&](const Row& row) {
        const std::string& id = row[STOP_ID];
        const std::string& type = row[LOCATION_TYPE];
        if (id.empty()) {
            reportFault(import->report, layout.file, row.line, "empty stop_id");
        } else if (import->stops.count(id) != 0) {
            reportFault(import->report, layout.file, row.line, "duplicate stop_id " + inQuotes(id));
        } else if (!type.empty() && (type.size() != 1 || type[0] < '0' || type[0] > '4')) {
            reportFault(import->report, layout.file, row.line, "location_type is not 0 to 4");
        } else {
            import->stops.insert(id);
            if (!row[PARENT_STATION].empty()) {
                parents.emplace_back(row[PARENT_STATION], row.line);
            }
            runRow(insert, id, row[STOP_NAME], row[PARENT_STATION], row[PLATFORM_CODE],
                   int64_t{type.empty() ? 0 : type[0] - '0'});
        }
    });
    for (const auto& [parent, line] : parents) {
        if (import->stops.count(parent) == 0) {
            reportFault(import->report, layout.file, line, "unknown parent_station " + inQuotes(parent));
        }
    }
    import->report->stops = static_cast<int64_t>(import->stops.size());
}

// --- routes.txt -------------------------------------------------------------

enum RouteColumn : size_t { ROUTE_ID, ROUTE_SHORT_NAME, ROUTE_LONG_NAME, ROUTE_COLOR };
constexpr FeedColumn ROUTE_COLUMNS[] = {
    {"route_id", true}, {"route_short_name", false}, {"route_long_name", false}, {"route_color", false}};

void readRoutes(Import* import) {
    const FeedTable layout = table("routes.txt", ROUTE_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO routes VALUES(?,?,?,?)");
    readTable(import, layout, true, [&](const Row& row) {
        const std::string& id = row[ROUTE_ID];
        if (id.empty()) {
            reportFault(import->report, layout.file, row.line, "empty route_id");
            return;
        }
        if (!import->routes.insert(id).second) {
            reportFault(import->report, layout.file, row.line, "duplicate route_id " + inQuotes(id));
            return;
        }
        std::string color = row[ROUTE_COLOR];
        if (!color.empty() && nearestPaletteColor(color) == 0) {
            reportFault(import->report, layout.file, row.line,
                        "route_color " + inQuotes(color) + " is not RRGGBB");
            color.clear();
        }
        runRow(insert, id, row[ROUTE_SHORT_NAME], row[ROUTE_LONG_NAME], color);
    });
}

// --- calendar.txt and calendar_dates.txt ------------------------------------

enum CalendarColumn : size_t { CAL_SERVICE_ID, START_DATE, END_DATE, MONDAY };
constexpr FeedColumn CALENDAR_COLUMNS[] = {
    {"service_id", true}, {"start_date", true}, {"end_date", true}, {"monday", true},   {"tuesday", true},
    {"wednesday", true},  {"thursday", true},   {"friday", true},   {"saturday", true}, {"sunday", true}};

void readCalendar(Import* import) {
    const FeedTable layout = table("calendar.txt", CALENDAR_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO calendar VALUES(?,?,?,?)");
    readTable(import, layout, false, [&](const Row& row) {
        const std::string& id = row[CAL_SERVICE_ID];
        int64_t days = 0;
        for (size_t day = 0; day < 7; ++day) {
            const std::string& flag = row[MONDAY + day];
            if (flag != "0" && flag != "1") {
                reportFault(import->report, layout.file, row.line,
                            std::string(CALENDAR_COLUMNS[MONDAY + day].name) + " is not 0 or 1");
                return;
            }
            days |= flag == "1" ? int64_t{1} << day : 0;
        }
        int32_t start = 0;
        int32_t end = 0;
        if (id.empty()) {
            reportFault(import->report, layout.file, row.line, "empty service_id");
        } else if (!parseGtfsDate(row[START_DATE], &start) || !parseGtfsDate(row[END_DATE], &end)) {
            reportFault(import->report, layout.file, row.line,
                        "start_date or end_date is not a YYYYMMDD date");
        } else if (!import->services.insert(id).second) {
            reportFault(import->report, layout.file, row.line, "duplicate service_id " + inQuotes(id));
        } else {
            runRow(insert, id, days, int64_t{start}, int64_t{end});
            ++import->serviceRows;
        }
    });
}

enum CalendarDateColumn : size_t { DATE_SERVICE_ID, DATE, EXCEPTION_TYPE };
constexpr FeedColumn CALENDAR_DATE_COLUMNS[] = {
    {"service_id", true}, {"date", true}, {"exception_type", true}};

void readCalendarDates(Import* import) {
    const FeedTable layout = table("calendar_dates.txt", CALENDAR_DATE_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO calendar_dates VALUES(?,?,?)");
    readTable(import, layout, false, [&](const Row& row) {
        const std::string& id = row[DATE_SERVICE_ID];
        const std::string& type = row[EXCEPTION_TYPE];
        int32_t day = 0;
        if (id.empty()) {
            reportFault(import->report, layout.file, row.line, "empty service_id");
        } else if (!parseGtfsDate(row[DATE], &day)) {
            reportFault(import->report, layout.file, row.line, "date is not a YYYYMMDD date");
        } else if (type != "1" && type != "2") {
            reportFault(import->report, layout.file, row.line, "exception_type is not 1 or 2");
        } else {
            import->services.insert(id);
            runRow(insert, id, int64_t{day}, int64_t{type == "1" ? 1 : 2});
            ++import->serviceRows;
        }
    });
}

// --- trips.txt --------------------------------------------------------------

enum TripColumn : size_t {
    TRIP_ROUTE_ID,
    TRIP_SERVICE_ID,
    TRIP_ID,
    TRIP_HEADSIGN,
    DIRECTION_ID,
    TRIP_SHORT_NAME
};
constexpr FeedColumn TRIP_COLUMNS[] = {{"route_id", true},      {"service_id", true},
                                       {"trip_id", true},       {"trip_headsign", false},
                                       {"direction_id", false}, {"trip_short_name", false}};

void readTrips(Import* import) {
    const FeedTable layout = table("trips.txt", TRIP_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO trips VALUES(?,?,?,?,?,NULL,NULL,NULL,?)");
    readTable(import, layout, true, [&](const Row& row) {
        const std::string& id = row[TRIP_ID];
        const std::string& direction = row[DIRECTION_ID];
        if (id.empty()) {
            reportFault(import->report, layout.file, row.line, "empty trip_id");
        } else if (import->routes.count(row[TRIP_ROUTE_ID]) == 0) {
            reportFault(import->report, layout.file, row.line,
                        "unknown route_id " + inQuotes(row[TRIP_ROUTE_ID]));
        } else if (import->services.count(row[TRIP_SERVICE_ID]) == 0) {
            reportFault(import->report, layout.file, row.line,
                        "unknown service_id " + inQuotes(row[TRIP_SERVICE_ID]));
        } else if (!direction.empty() && direction != "0" && direction != "1") {
            reportFault(import->report, layout.file, row.line, "direction_id is not 0 or 1");
        } else if (!import->trips.emplace(id, TripSeen{}).second) {
            reportFault(import->report, layout.file, row.line, "duplicate trip_id " + inQuotes(id));
        } else {
            const std::optional<int64_t> directionId =
                direction.empty() ? std::nullopt : std::optional<int64_t>(direction == "1" ? 1 : 0);
            runRow(insert, id, row[TRIP_ROUTE_ID], row[TRIP_SERVICE_ID], row[TRIP_HEADSIGN], directionId,
                   row[TRIP_SHORT_NAME]);
        }
    });
    import->report->trips = static_cast<int64_t>(import->trips.size());
}

// --- frequencies.txt, translations.txt, feed_info.txt -----------------------

enum FrequencyColumn : size_t { FREQ_TRIP_ID, START_TIME, END_TIME, HEADWAY_SECS };
constexpr FeedColumn FREQUENCY_COLUMNS[] = {
    {"trip_id", true}, {"start_time", true}, {"end_time", true}, {"headway_secs", true}};

void readFrequencies(Import* import) {
    const FeedTable layout = table("frequencies.txt", FREQUENCY_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO frequencies VALUES(?,?,?,?)");
    // A period given twice would run its trains twice.
    std::unordered_set<std::string> periods;
    readTable(import, layout, false, [&](const Row& row) {
        int32_t start = 0;
        int32_t end = 0;
        int32_t headway = 0;
        if (import->trips.count(row[FREQ_TRIP_ID]) == 0) {
            reportFault(import->report, layout.file, row.line,
                        "unknown trip_id " + inQuotes(row[FREQ_TRIP_ID]));
        } else if (!parseGtfsTime(row[START_TIME], &start) || !parseGtfsTime(row[END_TIME], &end) ||
                   end <= start) {
            reportFault(import->report, layout.file, row.line, "start_time and end_time are no time span");
        } else if (!parseCount(row[HEADWAY_SECS], &headway) || headway <= 0) {
            reportFault(import->report, layout.file, row.line, "headway_secs is not a positive number");
        } else if (!periods.insert(row[FREQ_TRIP_ID] + '\n' + std::to_string(start)).second) {
            reportFault(import->report, layout.file, row.line,
                        "trip_id " + inQuotes(row[FREQ_TRIP_ID]) + " has start_time " + row[START_TIME] +
                            " more than once (the first is kept)");
        } else {
            runRow(insert, row[FREQ_TRIP_ID], int64_t{start}, int64_t{end}, int64_t{headway});
        }
    });
}

// Both forms of translations.txt: the standard one (table_name, field_name,
// language, translation, record_id or field_value) and the older one of
// Japanese feeds (trans_id, the text itself; lang; translation), which
// translates that text wherever it appears and is kept with an empty
// table_name and field_name.
enum TranslationColumn : size_t {
    TABLE_NAME,
    FIELD_NAME,
    LANGUAGE,
    TRANSLATION,
    RECORD_ID,
    RECORD_SUB_ID,
    FIELD_VALUE,
    TRANS_ID,
    LANG
};
constexpr FeedColumn TRANSLATION_COLUMNS[] = {
    {"table_name", false},  {"field_name", false}, {"language", false},
    {"translation", true},  {"record_id", false},  {"record_sub_id", false},
    {"field_value", false}, {"trans_id", false},   {"lang", false}};

// Kana readings ("ja-Hrkt") help a search, not a board: they are not kept.
bool isReading(const std::string& language) {
    std::string lower = language;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return lower == "ja-hrkt";
}

void readTranslations(Import* import) {
    const FeedTable layout = table("translations.txt", TRANSLATION_COLUMNS);
    SQLite::Statement insert(*import->db, "INSERT INTO translations VALUES(?,?,?,?,?,?,?)");
    bool formChecked = false;
    readTable(import, layout, false, [&](const Row& row) {
        const bool older = !row.has(TABLE_NAME) && row.has(TRANS_ID) && row.has(LANG);
        if (!formChecked) {
            formChecked = true;
            if (!older && !(row.has(TABLE_NAME) && row.has(FIELD_NAME) && row.has(LANGUAGE))) {
                refuseFeed(import, layout.file, 1,
                           "neither table_name, field_name, language nor trans_id, lang");
            }
        }
        if (import->refused) {
            return;
        }
        const std::string& language = older ? row[LANG] : row[LANGUAGE];
        if (older) {
            if (row[TRANS_ID].empty() || language.empty()) {
                reportFault(import->report, layout.file, row.line, "trans_id or lang empty");
            } else if (!isReading(language)) {
                runRow(insert, std::string(), std::string(), language, row[TRANSLATION], std::string(),
                       std::string(), row[TRANS_ID]);
            }
        } else if (row[TABLE_NAME].empty() || row[FIELD_NAME].empty() || language.empty()) {
            reportFault(import->report, layout.file, row.line, "table_name, field_name or language empty");
        } else if (row[RECORD_ID].empty() && row[FIELD_VALUE].empty() && row[TABLE_NAME] != "feed_info") {
            reportFault(import->report, layout.file, row.line, "neither record_id nor field_value");
        } else if (!isReading(language)) {
            runRow(insert, row[TABLE_NAME], row[FIELD_NAME], language, row[TRANSLATION], row[RECORD_ID],
                   row[RECORD_SUB_ID], row[FIELD_VALUE]);
        }
    });
}

enum FeedInfoColumn : size_t { FEED_LANG, FEED_VERSION };
constexpr FeedColumn FEED_INFO_COLUMNS[] = {{"feed_lang", false}, {"feed_version", false}};

void readFeedInfo(Import* import) {
    readTable(import, table("feed_info.txt", FEED_INFO_COLUMNS), false, [&](const Row& row) {
        if (import->feedLang.empty()) {
            import->feedLang = row[FEED_LANG];
            import->feedVersion = row[FEED_VERSION];
        }
    });
}

// --- stop_times.txt -----------------------------------------------------------

enum StopTimeColumn : size_t {
    ST_TRIP_ID,
    ARRIVAL_TIME,
    DEPARTURE_TIME,
    ST_STOP_ID,
    STOP_SEQUENCE,
    STOP_HEADSIGN,
    PICKUP_TYPE
};
constexpr FeedColumn STOP_TIME_COLUMNS[] = {
    {"trip_id", true},       {"arrival_time", false},  {"departure_time", true}, {"stop_id", true},
    {"stop_sequence", true}, {"stop_headsign", false}, {"pickup_type", false}};

// Times past this are accepted but named: no train runs for two days.
constexpr int32_t LONGEST_TRIP_SECONDS = 48 * 3600;

void readStopTimes(Import* import) {
    const FeedTable layout = table("stop_times.txt", STOP_TIME_COLUMNS);
    readTable(import, layout, true, [&](const Row& row) {
        const std::string& trip = row[ST_TRIP_ID];
        PendingCall call;
        call.line = row.line;
        // The departure, else the arrival; a call without either is an
        // untimed stop that gets a time between its neighbours.
        const std::string& time = row[DEPARTURE_TIME].empty() ? row[ARRIVAL_TIME] : row[DEPARTURE_TIME];
        if (import->trips.count(trip) == 0) {
            reportFault(import->report, layout.file, row.line, "unknown trip_id " + inQuotes(trip));
        } else if (import->stops.count(row[ST_STOP_ID]) == 0) {
            reportFault(import->report, layout.file, row.line,
                        "unknown stop_id " + inQuotes(row[ST_STOP_ID]));
        } else if (!parseCount(row[STOP_SEQUENCE], &call.sequence)) {
            reportFault(import->report, layout.file, row.line, "stop_sequence is not a whole number");
        } else if (!time.empty() && !parseGtfsTime(time, &call.departure)) {
            reportFault(import->report, layout.file, row.line, "time " + inQuotes(time) + " is not H:MM:SS");
        } else {
            if (call.departure > LONGEST_TRIP_SECONDS) {
                reportFault(import->report, layout.file, row.line,
                            "warning: time " + time + " is more than 48 hours into the service day (kept)");
            }
            call.stopId = row[ST_STOP_ID];
            call.headsign = row[STOP_HEADSIGN];
            call.noPickup = row[PICKUP_TYPE] == "1";
            addCall(import, trip, std::move(call));
        }
    });
    finishCalls(import);
}

}  // namespace

void readFeedTables(Import* import) {
    if (!feedHas(import->feed, "calendar.txt") && !feedHas(import->feed, "calendar_dates.txt")) {
        refuseFeed(import, "calendar.txt", 0, "required file missing (nor is there calendar_dates.txt)");
    }
    readAgency(import);
    readStops(import);
    readRoutes(import);
    readCalendar(import);
    readCalendarDates(import);
    readTrips(import);
    readStopTimes(import);
    readFrequencies(import);
    readTranslations(import);
    readFeedInfo(import);
}
