// The store behind the board server: the SQLite file the import wrote, read
// only. Every board reads it through these few functions, so another store
// (a database server shared by several board servers) only has to answer
// the same questions. One connection per open store, one lock around it:
// the store is asked only when a board's day or the store itself changes.
#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <cstdio>

#include <atomic>

#include "server/timetable/timetable.h"

struct Store {
    explicit Store(const std::string& path) : db(path, SQLite::OPEN_READONLY | SQLite::OPEN_NOMUTEX) {}
    SQLite::Database db;              // the store file, read only
    std::mutex lock;                  // one question at a time on the connection
    bool hasTripShortName = false;    // the store keeps trip_short_name (imports before it did not)
    std::atomic<uint64_t> faults{0};  // reads that failed (not "no rows"): a damaged or changed file
    std::string lastFault;            // what SQLite said of the last (under lock)
};

namespace {

// A query's text as one row's column, empty for NULL.
std::string text(SQLite::Statement& query, int index) {
    return query.getColumn(index).getString();
}

int32_t number(SQLite::Statement& query, int index, int32_t ifNull) {
    const SQLite::Column column = query.getColumn(index);
    return column.isNull() ? ifNull : column.getInt();
}

// Runs one question of the store under its lock. A store that fails to
// answer (a damaged file, one changed in place) answers nothing, but the
// failure is counted and kept, never taken for "no rows": whoever builds
// from the store looks at storeFaults and keeps what it had.
template <typename Result, typename Ask>
Result ask(Store* store, Result nothing, const Ask& question) {
    std::lock_guard<std::mutex> hold(store->lock);
    try {
        return question(store->db);
    } catch (const std::exception& failure) {
        ++store->faults;
        store->lastFault = failure.what();
        return nothing;
    }
}

}  // namespace

void StoreCloser::operator()(Store* store) const {
    delete store;
}

StorePtr storeOpen(const std::string& path, std::string* error) {
    StorePtr store;
    try {
        store.reset(new Store(path));
    } catch (const std::exception& failure) {
        *error = path + ": " + failure.what();
        return nullptr;
    }
    store->hasTripShortName = ask(store.get(), false, [](SQLite::Database& db) {
        SQLite::Statement column(db,
                                 "SELECT 1 FROM pragma_table_info('trips') WHERE name = 'trip_short_name'");
        return column.executeStep();
    });
    // A file that is not a finished store has no timezone in meta.
    if (storeMeta(store.get(), "timezone").empty()) {
        *error = path + ": not a timetable store (run the import)";
        return nullptr;
    }
    return store;
}

uint64_t storeFaults(Store* store, std::string* last) {
    std::lock_guard<std::mutex> hold(store->lock);
    *last = store->lastFault;
    return store->faults.load();
}

std::string storeMeta(Store* store, const std::string& key) {
    return ask(store, std::string(), [&](SQLite::Database& db) {
        SQLite::Statement query(db, "SELECT value FROM meta WHERE key = ?");
        query.bind(1, key);
        return query.executeStep() ? text(query, 0) : std::string();
    });
}

bool storeStop(Store* store, const std::string& stopId, StopRecord* stop) {
    return ask(store, false, [&](SQLite::Database& db) {
        SQLite::Statement query(
            db, "SELECT stop_id, stop_name, parent_station, platform_code FROM stops WHERE stop_id = ?");
        query.bind(1, stopId);
        if (!query.executeStep()) {
            return false;
        }
        *stop = StopRecord{text(query, 0), text(query, 1), text(query, 2), text(query, 3)};
        return true;
    });
}

// The first column of every row of a query whose parameters are texts.
std::vector<std::string> column(Store* store, const char* sql, const std::vector<std::string>& values) {
    return ask(store, std::vector<std::string>(), [&](SQLite::Database& db) {
        SQLite::Statement query(db, sql);
        for (size_t i = 0; i < values.size(); ++i) {
            query.bind(static_cast<int>(i + 1), values[i]);
        }
        std::vector<std::string> rows;
        while (query.executeStep()) {
            rows.push_back(text(query, 0));
        }
        return rows;
    });
}

std::vector<TripStopRecord> storeTripStops(Store* store, const std::string& tripId) {
    return ask(store, std::vector<TripStopRecord>(), [&](SQLite::Database& db) {
        SQLite::Statement query(
            db, "SELECT stop_id, stop_sequence FROM stop_times WHERE trip_id = ? ORDER BY stop_sequence");
        query.bind(1, tripId);
        std::vector<TripStopRecord> stops;
        while (query.executeStep()) {
            stops.push_back({text(query, 0), number(query, 1, -1)});
        }
        return stops;
    });
}

std::vector<std::string> storePlatformStops(Store* store, const std::string& station,
                                            const std::string& platformCode) {
    // Platforms only: entrances, nodes and boarding areas may carry a
    // platform_code too.
    return column(
        store,
        "SELECT stop_id FROM stops WHERE parent_station = ? AND platform_code = ? AND location_type = 0"
        " ORDER BY stop_id",
        {station, platformCode});
}

std::vector<std::string> storeStationPlatforms(Store* store, const std::string& station) {
    return column(
        store,
        "SELECT c.stop_id FROM stops c JOIN stops p ON p.stop_id = c.parent_station"
        " WHERE c.parent_station = ? AND c.location_type = 0 AND p.location_type = 1 ORDER BY c.stop_id",
        {station});
}

bool storeRoute(Store* store, const std::string& routeId, RouteRecord* route) {
    return ask(store, false, [&](SQLite::Database& db) {
        SQLite::Statement query(
            db,
            "SELECT route_id, route_short_name, route_long_name, route_color FROM routes WHERE route_id = ?");
        query.bind(1, routeId);
        if (!query.executeStep()) {
            return false;
        }
        *route = RouteRecord{text(query, 0), text(query, 1), text(query, 2), text(query, 3)};
        return true;
    });
}

std::string storeTripShortName(Store* store, const std::string& tripId) {
    std::lock_guard<std::mutex> hold(store->lock);
    // A store imported before trip_short_name was kept has no such column:
    // the train then has no number, quietly (the page asks for every row).
    try {
        SQLite::Statement query(store->db, "SELECT trip_short_name FROM trips WHERE trip_id = ?");
        query.bind(1, tripId);
        return query.executeStep() ? text(query, 0) : std::string();
    } catch (const std::exception&) {
        return std::string();
    }
}

std::vector<CallRecord> storeCallsAt(Store* store, const std::vector<std::string>& stopIds) {
    return ask(store, std::vector<CallRecord>(), [&](SQLite::Database& db) {
        std::vector<CallRecord> calls;
        const std::string sql =
            std::string(
                "SELECT t.trip_id, t.route_id, t.service_id, CASE WHEN s.stop_headsign <> '' THEN "
                "s.stop_headsign"
                " ELSE t.trip_headsign END, t.last_stop_id, t.direction_id, s.departure, t.first_departure,"
                " s.stop_sequence >= t.last_sequence, s.pickup_type, s.stop_id, s.stop_sequence, ") +
            (store->hasTripShortName ? "t.trip_short_name" : "''") +
            " FROM stop_times s JOIN trips t ON t.trip_id = s.trip_id"
            " WHERE s.stop_id = ? AND s.departure IS NOT NULL";
        SQLite::Statement query(db, sql);
        for (const std::string& stopId : stopIds) {
            query.bind(1, stopId);
            while (query.executeStep()) {
                CallRecord call;
                call.tripId = text(query, 0);
                call.routeId = text(query, 1);
                call.serviceId = text(query, 2);
                call.headsign = text(query, 3);
                call.lastStopId = text(query, 4);
                call.directionId = number(query, 5, -1);
                call.departure = number(query, 6, -1);
                call.firstDeparture = number(query, 7, -1);
                call.terminates = number(query, 8, 0) != 0;
                call.noPickup = number(query, 9, 0) != 0;
                call.stopId = text(query, 10);
                call.stopSequence = number(query, 11, -1);
                call.tripShortName = text(query, 12);
                calls.push_back(std::move(call));
            }
            query.reset();
        }
        return calls;
    });
}

std::vector<FrequencyRecord> storeFrequencies(Store* store, const std::string& tripId) {
    return ask(store, std::vector<FrequencyRecord>(), [&](SQLite::Database& db) {
        SQLite::Statement query(
            db,
            "SELECT start_time, end_time, headway FROM frequencies WHERE trip_id = ? ORDER BY start_time");
        query.bind(1, tripId);
        std::vector<FrequencyRecord> frequencies;
        while (query.executeStep()) {
            frequencies.push_back({number(query, 0, 0), number(query, 1, 0), number(query, 2, 1)});
        }
        return frequencies;
    });
}

std::vector<std::string> storeServicesOn(Store* store, ServiceDay day) {
    return ask(store, std::vector<std::string>(), [&](SQLite::Database& db) {
        SQLite::Statement query(
            db,
            "SELECT service_id FROM calendar WHERE start_date <= ?1 AND end_date >= ?1 AND (days >> ?2) & 1"
            " UNION SELECT service_id FROM calendar_dates WHERE date = ?1 AND exception_type = 1"
            " EXCEPT SELECT service_id FROM calendar_dates WHERE date = ?1 AND exception_type = 2");
        query.bind(1, serviceDayNumber(day));
        query.bind(2, weekdayOf(day));
        std::vector<std::string> services;
        while (query.executeStep()) {
            services.push_back(text(query, 0));
        }
        return services;
    });
}

// The first translation a query finds, or nothing.
std::string firstTranslation(SQLite::Database& db, const char* sql, const std::vector<std::string>& values) {
    SQLite::Statement query(db, sql);
    for (size_t i = 0; i < values.size(); ++i) {
        query.bind(static_cast<int>(i + 1), values[i]);
    }
    return query.executeStep() ? text(query, 0) : std::string();
}

std::string storeTranslation(Store* store, const std::string& table, const std::string& field,
                             const std::string& language, const std::string& recordId,
                             const std::string& fieldValue) {
    return ask(store, std::string(), [&](SQLite::Database& db) {
        std::string found;
        if (!recordId.empty()) {
            found = firstTranslation(
                db,
                "SELECT translation FROM translations WHERE table_name = ? AND field_name = ?"
                " AND language = ? AND record_id = ?",
                {table, field, language, recordId});
        }
        if (found.empty() && !fieldValue.empty()) {
            found = firstTranslation(
                db,
                "SELECT translation FROM translations WHERE table_name = ? AND field_name = ?"
                " AND language = ? AND field_value = ? AND record_id = ''",
                {table, field, language, fieldValue});
        }
        // The older form of Japanese feeds translates a text wherever it is.
        if (found.empty() && !fieldValue.empty()) {
            found = firstTranslation(
                db,
                "SELECT translation FROM translations WHERE table_name = '' AND field_name = ''"
                " AND language = ? AND field_value = ?",
                {language, fieldValue});
        }
        return found;
    });
}

std::vector<TranslationRecord> storeTranslations(Store* store, const std::string& table,
                                                 const std::string& field, const std::string& recordId,
                                                 const std::string& fieldValue) {
    return ask(store, std::vector<TranslationRecord>(), [&](SQLite::Database& db) {
        std::vector<TranslationRecord> found;
        // Those for the record first: they are the more exact; the older form
        // of Japanese feeds (a text translated wherever it is) last.
        SQLite::Statement query(
            db,
            "SELECT language, translation FROM translations WHERE (table_name = ? AND field_name = ?"
            " AND ((record_id <> '' AND record_id = ?) OR (record_id = '' AND field_value <> '' AND "
            "field_value = ?)))"
            " OR (table_name = '' AND field_name = '' AND field_value <> '' AND field_value = ?)"
            " ORDER BY table_name = '', record_id = '', rowid");
        query.bind(1, table);
        query.bind(2, field);
        query.bind(3, recordId);
        query.bind(4, fieldValue);
        query.bind(5, fieldValue);
        while (query.executeStep()) {
            found.push_back(TranslationRecord{text(query, 0), text(query, 1)});
        }
        return found;
    });
}
