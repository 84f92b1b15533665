// The calls of each trip on their way into the store. Rows of a trip mostly
// come together in stop_times.txt, so they are gathered one trip at a time
// (memory for one trip, never for the file): put in stop_sequence order, a
// stop_sequence given twice kept once and reported, untimed calls given a
// time between their neighbours, and the trip's first departure and last
// stop noted. A trip whose rows are scattered over the file is read back
// from the store at the end and done again as a whole.
#include <algorithm>

#include "server/timetable/importstate.h"

namespace {

// More calls than any train makes: past it a trip's rows are refused, so
// that one trip cannot take the memory the file is read in.
constexpr uint32_t MOST_CALLS_PER_TRIP = 20000;

const char* const STOP_TIMES = "stop_times.txt";

// Sorts, drops repeated stop_sequences (the first row is kept) and fills in
// untimed calls.
void orderCalls(Import* import, const std::string& trip, std::vector<PendingCall>* calls) {
    std::stable_sort(calls->begin(), calls->end(),
                     [](const PendingCall& a, const PendingCall& b) { return a.sequence < b.sequence; });
    size_t kept = 0;
    for (size_t i = 0; i < calls->size(); ++i) {
        PendingCall& call = (*calls)[i];
        if (kept > 0 && (*calls)[kept - 1].sequence == call.sequence) {
            reportFault(import->report, STOP_TIMES, call.line,
                        "trip_id \"" + trip + "\" has stop_sequence " + std::to_string(call.sequence) +
                            " more than once (the first is kept)");
            continue;
        }
        if (kept != i) {
            (*calls)[kept] = std::move(call);
        }
        ++kept;
    }
    calls->resize(kept);
    // A call without a time lies between timed calls of its trip; it gets
    // a time in proportion to its place between them, as trip planners do.
    size_t previous = SIZE_MAX;
    for (size_t k = 0; k < calls->size(); ++k) {
        if ((*calls)[k].departure < 0) {
            continue;
        }
        if (previous != SIZE_MAX && k - previous > 1) {
            const int64_t from = (*calls)[previous].departure;
            const int64_t span = (*calls)[k].departure - from;
            const int64_t steps = static_cast<int64_t>(k - previous);
            for (size_t m = previous + 1; m < k; ++m) {
                (*calls)[m].departure =
                    static_cast<int32_t>(from + span * static_cast<int64_t>(m - previous) / steps);
                (*calls)[m].interpolated = true;
            }
        }
        previous = k;
    }
}

// Writes a trip's calls, in order, and what the trip needs of them.
void writeTrip(Import* import, const std::string& trip, std::vector<PendingCall>* calls) {
    if (calls->empty()) {
        return;
    }
    orderCalls(import, trip, calls);
    if (import->insertCall == nullptr) {
        import->insertCall =
            std::make_unique<SQLite::Statement>(*import->db, "INSERT INTO stop_times VALUES(?,?,?,?,?,?,?)");
        import->updateTrip = std::make_unique<SQLite::Statement>(
            *import->db,
            "UPDATE trips SET last_stop_id = ?, last_sequence = ?, first_departure = ? WHERE trip_id = ?");
    }
    int32_t firstDeparture = -1;
    for (const PendingCall& call : *calls) {
        const std::optional<int64_t> departure =
            call.departure < 0 ? std::nullopt : std::optional<int64_t>(call.departure);
        runRow(*import->insertCall, trip, call.stopId, int64_t{call.sequence}, departure, call.headsign,
               int64_t{call.noPickup ? 1 : 0}, int64_t{call.interpolated ? 1 : 0});
        if (firstDeparture < 0 && !call.interpolated) {
            firstDeparture = call.departure;
        }
    }
    import->report->stopTimes += static_cast<int64_t>(calls->size());
    runRow(*import->updateTrip, calls->back().stopId, int64_t{calls->back().sequence},
           firstDeparture < 0 ? std::nullopt : std::optional<int64_t>(firstDeparture), trip);
    import->trips[trip].written = true;
    calls->clear();
}

// Reads a scattered trip's calls back from the store and writes them again
// as one group; an interpolated time is taken as untimed again.
void rewriteTrip(Import* import, const std::string& trip) {
    std::vector<PendingCall> calls;
    SQLite::Statement select(
        *import->db,
        "SELECT stop_id, stop_sequence, departure, stop_headsign, pickup_type, interpolated"
        " FROM stop_times WHERE trip_id = ? ORDER BY rowid");
    select.bind(1, trip);
    while (select.executeStep()) {
        PendingCall call;
        call.stopId = select.getColumn(0).getString();
        call.sequence = select.getColumn(1).getInt();
        call.departure = select.getColumn(2).isNull() || select.getColumn(5).getInt() != 0
                             ? -1
                             : select.getColumn(2).getInt();
        call.headsign = select.getColumn(3).getString();
        call.noPickup = select.getColumn(4).getInt() != 0;
        calls.push_back(std::move(call));
    }
    SQLite::Statement remove(*import->db, "DELETE FROM stop_times WHERE trip_id = ?");
    remove.bind(1, trip);
    import->report->stopTimes -= remove.exec();
    writeTrip(import, trip, &calls);
}

}  // namespace

void addCall(Import* import, const std::string& trip, PendingCall&& call) {
    if (trip != import->groupTrip) {
        writeTrip(import, import->groupTrip, &import->group);
        import->groupTrip = trip;
    }
    TripSeen& seen = import->trips[trip];
    if (seen.calls >= MOST_CALLS_PER_TRIP) {
        reportFault(
            import->report, STOP_TIMES, call.line,
            "trip_id \"" + trip + "\" has more than " + std::to_string(MOST_CALLS_PER_TRIP) + " calls");
        return;
    }
    if (seen.written) {
        import->scattered.insert(trip);
    }
    ++seen.calls;
    import->group.push_back(std::move(call));
}

void finishCalls(Import* import) {
    writeTrip(import, import->groupTrip, &import->group);
    import->groupTrip.clear();
    if (import->scattered.empty()) {
        return;
    }
    // Only for feeds whose rows are not grouped by trip: an index to find a
    // trip's rows, dropped again since serving never needs it.
    import->db->exec("CREATE INDEX stop_times_by_trip ON stop_times(trip_id)");
    for (const std::string& trip : import->scattered) {
        rewriteTrip(import, trip);
    }
    import->db->exec("DROP INDEX stop_times_by_trip");
}
