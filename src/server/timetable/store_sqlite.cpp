// The store behind the board server: the SQLite file the import wrote, read
// only. Every board reads it through these few functions, so another store
// (a database server shared by several board servers) only has to answer
// the same questions. One connection per open store, one lock around it:
// the store is asked only when a board's day or the store itself changes.
#include <sqlite3.h>

#include <atomic>

#include "server/timetable/timetable.h"

struct Store {
    sqlite3* db = nullptr;
    std::mutex lock;
    std::atomic<uint64_t> faults{0};  // reads that failed (not "no rows"): a damaged or changed file
    std::string lastFault;            // what SQLite said of the last (under lock)
};

namespace {

// A prepared query for the length of one call. A step that fails is a
// fault of the store, counted and kept, never read as "no more rows".
struct Query {
    Store* store = nullptr;
    sqlite3_stmt* statement = nullptr;
    int32_t next = 1;
    Query(Store* owner, const char* sql) : store(owner) {
        if (sqlite3_prepare_v2(owner->db, sql, -1, &statement, nullptr) != SQLITE_OK) {
            fault();
        }
    }
    void fault() {
        ++store->faults;
        store->lastFault = sqlite3_errmsg(store->db);
    }
    ~Query() {
        sqlite3_finalize(statement);
    }
    Query& text(const std::string& value) {
        sqlite3_bind_text(statement, next++, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Query& integer(int64_t value) {
        sqlite3_bind_int64(statement, next++, value);
        return *this;
    }
    bool row() {
        if (statement == nullptr) {
            return false;
        }
        const int result = sqlite3_step(statement);
        if (result != SQLITE_ROW && result != SQLITE_DONE) {
            fault();
        }
        return result == SQLITE_ROW;
    }
    std::string column(int index) {
        const unsigned char* value = sqlite3_column_text(statement, index);
        return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
    }
    int64_t number(int index, int64_t ifNull) {
        return sqlite3_column_type(statement, index) == SQLITE_NULL ? ifNull
                                                                    : sqlite3_column_int64(statement, index);
    }
};

}  // namespace

Store* storeOpen(const std::string& path, std::string* error) {
    Store* store = new Store;
    if (sqlite3_open_v2(path.c_str(), &store->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        *error = path + ": " + (store->db != nullptr ? sqlite3_errmsg(store->db) : "cannot open");
        sqlite3_close(store->db);
        delete store;
        return nullptr;
    }
    // A file that is not a finished store has no timezone in meta.
    if (storeMeta(store, "timezone").empty()) {
        *error = path + ": not a timetable store (run the import)";
        storeClose(store);
        return nullptr;
    }
    return store;
}

uint64_t storeFaults(Store* store, std::string* last) {
    std::lock_guard<std::mutex> hold(store->lock);
    *last = store->lastFault;
    return store->faults.load();
}

void storeClose(Store* store) {
    if (store == nullptr) {
        return;
    }
    sqlite3_close(store->db);
    delete store;
}

std::string storeMeta(Store* store, const std::string& key) {
    std::lock_guard<std::mutex> hold(store->lock);
    Query query(store, "SELECT value FROM meta WHERE key = ?");
    return query.text(key).row() ? query.column(0) : std::string();
}

bool storeStop(Store* store, const std::string& stopId, StopRecord* stop) {
    std::lock_guard<std::mutex> hold(store->lock);
    Query query(store,
                "SELECT stop_id, stop_name, parent_station, platform_code FROM stops WHERE stop_id = ?");
    if (!query.text(stopId).row()) {
        return false;
    }
    stop->stopId = query.column(0);
    stop->name = query.column(1);
    stop->parentStation = query.column(2);
    stop->platformCode = query.column(3);
    return true;
}

std::vector<std::string> storePlatformStops(Store* store, const std::string& station,
                                            const std::string& platformCode) {
    std::lock_guard<std::mutex> hold(store->lock);
    // Platforms only: entrances, nodes and boarding areas may carry a
    // platform_code too.
    Query query(
        store,
        "SELECT stop_id FROM stops WHERE parent_station = ? AND platform_code = ? AND location_type = 0"
        " ORDER BY stop_id");
    query.text(station).text(platformCode);
    std::vector<std::string> stops;
    while (query.row()) {
        stops.push_back(query.column(0));
    }
    return stops;
}

std::vector<std::string> storeStationPlatforms(Store* store, const std::string& station) {
    std::lock_guard<std::mutex> hold(store->lock);
    Query query(
        store,
        "SELECT c.stop_id FROM stops c JOIN stops p ON p.stop_id = c.parent_station"
        " WHERE c.parent_station = ? AND c.location_type = 0 AND p.location_type = 1 ORDER BY c.stop_id");
    query.text(station);
    std::vector<std::string> stops;
    while (query.row()) {
        stops.push_back(query.column(0));
    }
    return stops;
}

bool storeRoute(Store* store, const std::string& routeId, RouteRecord* route) {
    std::lock_guard<std::mutex> hold(store->lock);
    Query query(
        store,
        "SELECT route_id, route_short_name, route_long_name, route_color FROM routes WHERE route_id = ?");
    if (!query.text(routeId).row()) {
        return false;
    }
    route->routeId = query.column(0);
    route->shortName = query.column(1);
    route->longName = query.column(2);
    route->color = query.column(3);
    return true;
}

std::vector<CallRecord> storeCallsAt(Store* store, const std::vector<std::string>& stopIds) {
    std::lock_guard<std::mutex> hold(store->lock);
    std::vector<CallRecord> calls;
    Query query(
        store,
        "SELECT t.trip_id, t.route_id, t.service_id, CASE WHEN s.stop_headsign <> '' THEN s.stop_headsign"
        " ELSE t.trip_headsign END, t.last_stop_id, t.direction_id, s.departure, t.first_departure,"
        " s.stop_sequence >= t.last_sequence, s.pickup_type"
        " FROM stop_times s JOIN trips t ON t.trip_id = s.trip_id"
        " WHERE s.stop_id = ? AND s.departure IS NOT NULL");
    for (const std::string& stopId : stopIds) {
        query.text(stopId);
        while (query.row()) {
            CallRecord call;
            call.tripId = query.column(0);
            call.routeId = query.column(1);
            call.serviceId = query.column(2);
            call.headsign = query.column(3);
            call.lastStopId = query.column(4);
            call.directionId = static_cast<int32_t>(query.number(5, -1));
            call.departure = static_cast<int32_t>(query.number(6, -1));
            call.firstDeparture = static_cast<int32_t>(query.number(7, -1));
            call.terminates = query.number(8, 0) != 0;
            call.noPickup = query.number(9, 0) != 0;
            calls.push_back(std::move(call));
        }
        sqlite3_reset(query.statement);
        query.next = 1;
    }
    return calls;
}

std::vector<FrequencyRecord> storeFrequencies(Store* store, const std::string& tripId) {
    std::lock_guard<std::mutex> hold(store->lock);
    Query query(
        store, "SELECT start_time, end_time, headway FROM frequencies WHERE trip_id = ? ORDER BY start_time");
    query.text(tripId);
    std::vector<FrequencyRecord> frequencies;
    while (query.row()) {
        frequencies.push_back({static_cast<int32_t>(query.number(0, 0)),
                               static_cast<int32_t>(query.number(1, 0)),
                               static_cast<int32_t>(query.number(2, 1))});
    }
    return frequencies;
}

std::vector<std::string> storeServicesOn(Store* store, int32_t date) {
    std::lock_guard<std::mutex> hold(store->lock);
    Query query(
        store,
        "SELECT service_id FROM calendar WHERE start_date <= ?1 AND end_date >= ?1 AND (days >> ?2) & 1"
        " UNION SELECT service_id FROM calendar_dates WHERE date = ?1 AND exception_type = 1"
        " EXCEPT SELECT service_id FROM calendar_dates WHERE date = ?1 AND exception_type = 2");
    sqlite3_bind_int64(query.statement, 1, date);
    sqlite3_bind_int64(query.statement, 2, weekdayOf(date));
    std::vector<std::string> services;
    while (query.row()) {
        services.push_back(query.column(0));
    }
    return services;
}

std::string storeTranslation(Store* store, const std::string& table, const std::string& field,
                             const std::string& language, const std::string& recordId,
                             const std::string& fieldValue) {
    std::lock_guard<std::mutex> hold(store->lock);
    if (!recordId.empty()) {
        Query query(
            store,
            "SELECT translation FROM translations WHERE table_name = ? AND field_name = ? AND language = ?"
            " AND record_id = ?");
        if (query.text(table).text(field).text(language).text(recordId).row()) {
            return query.column(0);
        }
    }
    if (!fieldValue.empty()) {
        Query query(
            store,
            "SELECT translation FROM translations WHERE table_name = ? AND field_name = ? AND language = ?"
            " AND field_value = ? AND record_id = ''");
        if (query.text(table).text(field).text(language).text(fieldValue).row()) {
            return query.column(0);
        }
    }
    return std::string();
}
