// What the import's two halves share: the state of one import (the feed,
// the new store, what has been read so far) and the reader of one GTFS file
// with its columns declared once. gtfsimport.cpp drives the import and puts
// the store in place; gtfsreaders.cpp holds one reader per GTFS file.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>

#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "server/timetable/timetable.h"

// A stop_times row on its way into the store.
struct PendingCall {
    std::string stopId;         // stop_id
    std::string headsign;       // stop_headsign
    int32_t sequence = 0;       // stop_sequence
    int32_t departure = -1;     // seconds from the service day's start; -1: untimed
    bool noPickup = false;      // pickup_type 1
    bool interpolated = false;  // the time was filled in between timed neighbours
    int32_t line = 0;           // line in stop_times.txt; 0 when read back from the store
};

// A trip of trips.txt as the import sees it.
struct TripSeen {
    uint32_t calls = 0;    // its stop_times rows kept so far
    bool written = false;  // some of its calls are in the store already
};

struct Import {
    FeedSource* feed = nullptr;                       // where the files come from
    SQLite::Database* db = nullptr;                   // the new store being filled
    ImportReport* report = nullptr;                   // faults and counts
    ImportOptions options;                            // limits and the shrink rule
    bool refused = false;                             // a fault of the feed as a whole: nothing is replaced
    std::unordered_set<std::string> stops;            // stop_ids read
    std::unordered_set<std::string> routes;           // route_ids read
    std::unordered_set<std::string> services;         // service_ids of calendar and calendar_dates
    std::unordered_map<std::string, TripSeen> trips;  // trip_ids read
    // Trips whose stop_times rows are not all together in the file: put in
    // order (and checked for duplicates across the file) after reading it.
    std::unordered_set<std::string> scattered;
    std::string groupTrip;                          // the trip whose calls are being gathered
    std::vector<PendingCall> group;                 // its calls so far, in file order
    std::unique_ptr<SQLite::Statement> insertCall;  // prepared once for every call
    std::unique_ptr<SQLite::Statement> updateTrip;  // a trip's first departure and last stop
    int64_t agencies = 0;                           // agency rows kept
    int64_t serviceRows = 0;                        // calendar and calendar_dates rows kept
    std::string timezone;                           // the feed's zone, from the first agency
    std::string agencyLang;                         // the first agency's agency_lang
    std::string feedLang;                           // feed_info's feed_lang
    std::string feedVersion;                        // feed_info's feed_version
};

// Reports a fault of the whole feed: the store is not replaced, and the
// first such fault is the refusal's reason.
void refuseFeed(Import* import, const std::string& file, int64_t line, const std::string& what);

// Reads every file of the feed into the store, references checked.
void readFeedTables(Import* import);

// Takes one call of a trip; calls of a trip that come together in the file
// are put in order, checked and written as a group.
void addCall(Import* import, const std::string& trip, PendingCall&& call);
// Writes the last group, then puts in order the trips whose calls were
// scattered over the file.
void finishCalls(Import* import);

// Binds values to a statement's parameters in order, runs it and makes it
// ready for the next row. An empty optional binds NULL.
inline void bindValue(SQLite::Statement& statement, int index, const std::string& value) {
    statement.bind(index, value);
}
inline void bindValue(SQLite::Statement& statement, int index, int64_t value) {
    statement.bind(index, value);
}
inline void bindValue(SQLite::Statement& statement, int index, const std::optional<int64_t>& value) {
    if (value) {
        statement.bind(index, *value);
    } else {
        statement.bind(index);
    }
}
template <typename... Values>
void runRow(SQLite::Statement& statement, const Values&... values) {
    int index = 1;
    (bindValue(statement, index++, values), ...);
    statement.exec();
    statement.reset();
}
