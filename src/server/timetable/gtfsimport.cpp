// The timetable import: reads a GTFS feed (zip or folder) into a new SQLite
// store beside the old one and renames it over the old one only when it is
// complete, so a refused feed, a crash or a kill during the import leaves the
// old store serving. A lock file held for the whole import keeps a second
// import of the same store out. A feed that lost most of itself (a table
// emptied, far fewer stop times than the store serving now) is refused
// unless the operator accepts the shrink. The readers of each file are in
// gtfsreaders.cpp and tripcalls.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "server/timetable/importstate.h"

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
    " stop_headsign TEXT, pickup_type INTEGER, interpolated INTEGER);"
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

// A test's way to hold an import between building and replacing the store,
// so that a second import can be tried while the first one runs.
const char* const PAUSE_VARIABLE = "VELMORANT_IMPORT_PAUSE_MS";

// The stop times of the store serving now; -1 when there is none to read.
int64_t liveStopTimes(const std::string& storePath) {
    if (access(storePath.c_str(), F_OK) != 0) {
        return -1;
    }
    try {
        SQLite::Database live(storePath, SQLite::OPEN_READONLY);
        SQLite::Statement counted(live, "SELECT value FROM meta WHERE key = 'stop_times'");
        if (counted.executeStep()) {
            return counted.getColumn(0).getInt64();
        }
        // A store from before its count was kept: counted once here.
        return live.execAndGet("SELECT count(*) FROM stop_times").getInt64();
    } catch (const std::exception&) {
        return -1;
    }
}

// Refuses a feed that would keep too little: a required table with no row,
// or fewer stop times than the set share of the live store's.
void checkShrink(Import* import, const std::string& storePath) {
    if (import->refused || import->options.acceptShrink) {
        return;
    }
    const ImportReport& report = *import->report;
    const std::pair<const char*, int64_t> tables[] = {
        {"agency.txt", import->agencies},
        {"stops.txt", report.stops},
        {"routes.txt", static_cast<int64_t>(import->routes.size())},
        {"calendar.txt and calendar_dates.txt", import->serviceRows},
        {"trips.txt", report.trips},
        {"stop_times.txt", report.stopTimes}};
    for (const auto& [file, rows] : tables) {
        if (rows == 0) {
            refuseFeed(import, file, 0, "no usable row; --accept-shrink imports it anyway");
            return;
        }
    }
    const int64_t live = liveStopTimes(storePath);
    if (live > 0 &&
        static_cast<double>(report.stopTimes) < import->options.keptShare * static_cast<double>(live)) {
        refuseFeed(import, "stop_times.txt", 0,
                   "keeps " + std::to_string(report.stopTimes) + " stop times of the " +
                       std::to_string(live) +
                       " the store serves now, too few; --accept-shrink imports it anyway");
    }
}

void writeMeta(Import* import) {
    SQLite::Statement insert(*import->db, "INSERT INTO meta VALUES(?,?)");
    runRow(insert, std::string("timezone"), import->timezone);
    runRow(insert, std::string("feed_lang"),
           import->feedLang.empty() ? import->agencyLang : import->feedLang);
    runRow(insert, std::string("feed_version"), import->feedVersion);
    runRow(insert, std::string("stop_times"), std::to_string(import->report->stopTimes));
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

// Fills the new store file from the feed; false when the feed is refused.
// The database is closed when this returns, however it ends.
bool fillStore(Import* import, const std::string& storePath, const std::string& newPath) {
    SQLite::Database db(newPath, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    // The import's statements end before the database, however this ends.
    struct Statements {
        Import* import;  // holds the statements
        ~Statements() {
            import->insertCall.reset();
            import->updateTrip.reset();
            import->db = nullptr;
        }
    } statements{import};
    import->db = &db;
    db.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;");
    db.exec(SCHEMA);
    SQLite::Transaction transaction(db);
    readFeedTables(import);
    checkShrink(import, storePath);
    if (import->refused) {
        return false;
    }
    writeMeta(import);
    db.exec(INDEXES);
    transaction.commit();
    return true;
}

void pauseForTest() {
    const char* pause = std::getenv(PAUSE_VARIABLE);
    if (pause != nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(pause)));
    }
}

// Builds the new store and puts it in place; any failure removes it.
int32_t buildStore(Import* import, const std::string& storePath) {
    const std::string newPath = storePath + ".new";
    // A file left by an import that was killed is only a half store.
    std::remove(newPath.c_str());
    bool ok = false;
    try {
        ok = fillStore(import, storePath, newPath);
    } catch (const std::bad_alloc&) {
        refuseFeed(import, newPath, 0, "out of memory");
    } catch (const std::exception& failure) {
        refuseFeed(import, newPath, 0, failure.what());
    }
    if (ok && !syncFile(newPath)) {
        refuseFeed(import, newPath, 0, "cannot write it to disk");
        ok = false;
    }
    if (ok) {
        pauseForTest();
    }
    if (ok && std::rename(newPath.c_str(), storePath.c_str()) != 0) {
        refuseFeed(import, storePath, 0, "cannot replace the store");
        ok = false;
    }
    if (!ok) {
        std::remove(newPath.c_str());
        return IMPORT_REFUSED;
    }
    syncFile(folderOf(storePath));
    return IMPORT_OK;
}

// Control bytes (a NUL inside an id) are written as \xNN, and the text is
// cut at FAULT_TEXT_LIMIT bytes, never inside a UTF-8 sequence.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
        if (out.size() > FAULT_TEXT_LIMIT) {
            break;
        }
    }
    if (out.size() > FAULT_TEXT_LIMIT) {
        size_t cut = FAULT_TEXT_LIMIT - 3;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        out.resize(cut);
        out += "...";
    }
    return out;
}

}  // namespace

void reportFault(ImportReport* report, const std::string& file, int64_t line, const std::string& what) {
    ++report->faultCount;
    if (report->faults.size() < static_cast<size_t>(FAULTS_PRINTED)) {
        report->faults.push_back(
            printable(line > 0 ? file + ":" + std::to_string(line) + ": " + what : file + ": " + what));
    }
}

void refuseFeed(Import* import, const std::string& file, int64_t line, const std::string& what) {
    reportFault(import->report, file, line, what);
    if (!import->refused) {
        import->report->refusal =
            printable(line > 0 ? file + ":" + std::to_string(line) + ": " + what : file + ": " + what);
    }
    import->refused = true;
}

int32_t importFeed(const std::string& feedPath, const std::string& storePath, ImportReport* report,
                   const ImportOptions& options) {
    Import import;
    import.report = report;
    import.options = options;
    // The lock file is held from before the feed is read until the new
    // store is in place, and never removed, so two imports never meet on
    // the same file.
    const std::string lockPath = storePath + ".lock";
    const int lock = open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        refuseFeed(&import, lockPath, 0,
                   lock < 0 ? "cannot create" : "another import of this store is running");
        if (lock >= 0) {
            close(lock);
        }
        return IMPORT_REFUSED;
    }
    std::string error;
    const FeedSourcePtr feed = feedOpen(feedPath, &error);
    int32_t result = IMPORT_REFUSED;
    if (feed == nullptr) {
        refuseFeed(&import, feedPath, 0, error);
    } else {
        import.feed = feed.get();
        result = buildStore(&import, storePath);
    }
    close(lock);
    return result;
}
