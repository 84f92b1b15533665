// The agency's live feed applied to one board's departures: a pure function
// of the board's scheduled departures and the feed's snapshot, so that the
// signs call it once per document and tests call it with a feed written
// inline. Trip updates move, drop, cancel and add trains; alerts in force
// for the board's stops, routes or agency become notices; vehicle positions
// say where the next train is.
#include <algorithm>
#include <chrono>

#include "server/realtime/realtime.h"

using std::chrono::seconds;
using std::chrono::sys_seconds;

namespace {

// A delay of more than a day is no prediction: the stop is taken as unknown.
constexpr int32_t LONGEST_DELAY = 24 * 3600;
// A board shows a handful of trains; the feed is applied to this many of
// the coming ones (enough for any board even when many are dropped or
// late), so a server with thousands of boards does not copy every board's
// whole day every second.
constexpr size_t MOST_COMING_DEPARTURES = 64;
// What a board keeps between its documents is fewer: its rows (five at
// most) with room for trains cancelled, skipped or gone within the kept
// seconds. Thousands of boards each keeping 64 trains would hold hundreds of
// megabytes.
constexpr size_t MOST_KEPT_DEPARTURES = 24;

// The trip update of a scheduled train: by trip id and start date, else by
// route, direction and start time. Added and duplicated trips are new trains
// and change none.
const TripUpdateRecord* findTrip(const RealtimeSnapshot& snapshot, const Departure& departure) {
    const auto byId = snapshot.tripsById.find(departure.tripId);
    if (byId != snapshot.tripsById.end()) {
        for (const size_t index : byId->second) {
            const TripUpdateRecord& trip = snapshot.trips[index];
            if ((trip.startDate == NO_SERVICE_DAY || trip.startDate == departure.serviceDay) &&
                trip.relationship != TRIP_ADDED && trip.relationship != TRIP_DUPLICATED) {
                return &trip;
            }
        }
    }
    if (snapshot.tripsByStart.empty() || departure.firstDeparture < 0) {
        return nullptr;
    }
    for (const int32_t direction : {departure.directionId, -1}) {
        for (const ServiceDay day : {departure.serviceDay, NO_SERVICE_DAY}) {
            const auto byStart = snapshot.tripsByStart.find(
                tripStartKey(departure.routeId, direction, departure.firstDeparture, day));
            if (byStart != snapshot.tripsByStart.end()) {
                return &snapshot.trips[byStart->second.front()];
            }
        }
    }
    return nullptr;
}

// What a trip update says of one stop.
struct StopEffect {
    bool known = false;    // a delay is known for the stop
    bool skipped = false;  // the train does not stop here
    int32_t delay = 0;     // seconds
};

bool sameStop(const StopUpdate& stop, const Departure& departure) {
    if (stop.stopSequence >= 0 && departure.stopSequence >= 0) {
        return stop.stopSequence == departure.stopSequence;
    }
    return !stop.stopId.empty() && stop.stopId == departure.stopId;
}

// The stop's own update first; else the delay of the nearest update before
// it along the trip (a stop without an update keeps the delay the train
// had at the last stop that had one, unless that one had no data); else the
// trip's own delay.
StopEffect stopEffect(const TripUpdateRecord& trip, const Departure& departure) {
    StopEffect effect;
    const StopUpdate* before = nullptr;
    for (const StopUpdate& stop : trip.stops) {
        if (sameStop(stop, departure)) {
            if (stop.skipped) {
                effect.skipped = true;
                return effect;
            }
            if (stop.noData) {
                return effect;
            }
            if (stop.hasDelay || stop.time > sys_seconds{}) {
                effect.known = true;
                effect.delay = stop.hasDelay
                                   ? stop.delay
                                   : static_cast<int32_t>(std::clamp<int64_t>(
                                         (stop.time - departure.when).count(), INT32_MIN, INT32_MAX));
                return effect;
            }
            break;
        }
        if (stop.stopSequence >= 0 && departure.stopSequence >= 0 &&
            stop.stopSequence < departure.stopSequence && !stop.skipped) {
            before = &stop;
        }
    }
    if (before != nullptr) {
        if (before->noData) {
            return effect;
        }
        if (before->hasDelay) {
            effect.known = true;
            effect.delay = before->delay;
            return effect;
        }
    }
    if (trip.hasDelay) {
        effect.known = true;
        effect.delay = trip.delay;
    }
    return effect;
}

// A train the feed added or duplicated, calling at one of the board's stops.
Departure newTrain(const TripUpdateRecord& trip, const std::vector<Departure>& scheduled, sys_seconds when,
                   ServiceDay serviceDay) {
    Departure train{};
    train.when = when;
    train.serviceDay = serviceDay;
    train.departure = 0;
    train.tripId = trip.newTripId.empty() ? trip.tripId : trip.newTripId;
    train.routeId = trip.routeId;
    train.color = 0;
    train.source = TRAIN_FROM_FEED;
    // Its destination and colour as the board's trains of the route have
    // them, unless the feed names where it goes.
    for (const Departure& other : scheduled) {
        if (other.tripId == trip.tripId || (!trip.routeId.empty() && other.routeId == trip.routeId)) {
            std::copy(std::begin(other.destinations), std::end(other.destinations),
                      std::begin(train.destinations));
            train.color = other.color;
            train.routeId = other.routeId;
            break;
        }
    }
    if (!trip.headsign.empty()) {
        std::fill(std::begin(train.destinations), std::end(train.destinations), std::string());
        train.destinations[0] = trip.headsign;
    }
    return train;
}

void addNewTrains(const RealtimeSnapshot& snapshot, const std::vector<std::string>& stops,
                  const std::vector<Departure>& scheduled, int64_t now, std::vector<Departure>* live) {
    // Only the feed's new trains are looked at, not every trip it updates:
    // this runs for every board every second.
    for (const size_t index : snapshot.newTrips) {
        const TripUpdateRecord& trip = snapshot.trips[index];
        if (trip.relationship == TRIP_ADDED) {
            for (const StopUpdate& stop : trip.stops) {
                if (!stop.skipped && stop.time > instantFromUnix(now) &&
                    std::find(stops.begin(), stops.end(), stop.stopId) != stops.end()) {
                    live->push_back(newTrain(trip, scheduled, stop.time, trip.startDate));
                }
            }
        } else if (trip.relationship == TRIP_DUPLICATED && trip.newStartTime >= 0 &&
                   trip.newStartDate != NO_SERVICE_DAY) {
            // The copy calls where the original does, as much later as it starts.
            for (const Departure& original : scheduled) {
                if (original.tripId != trip.tripId || original.firstDeparture < 0 ||
                    (trip.startDate != NO_SERVICE_DAY && trip.startDate != original.serviceDay)) {
                    continue;
                }
                // Whole days of 86400 seconds, as the copy's times count
                // from the original's.
                const seconds shift = seconds{trip.newStartDate.date - original.serviceDay.date} +
                                      seconds{trip.newStartTime - original.firstDeparture};
                Departure copy = newTrain(trip, scheduled, original.when + shift, trip.newStartDate);
                copy.departure = original.departure + trip.newStartTime - original.firstDeparture;
                live->push_back(std::move(copy));
                break;
            }
        }
    }
}

bool inForce(const AlertRecord& alert, int64_t now) {
    if (alert.periods.empty()) {
        return true;
    }
    for (const auto& [start, end] : alert.periods) {
        if (start <= now && (end == 0 || now < end)) {
            return true;
        }
    }
    return false;
}

bool informs(const AlertRecord& alert, const std::vector<std::string>& stops,
             const std::vector<std::string>& routes) {
    const auto has = [](const std::vector<std::string>& list, const std::string& item) {
        return !item.empty() && std::find(list.begin(), list.end(), item) != list.end();
    };
    for (const AlertEntity& entity : alert.entities) {
        // A selector names all it applies to: a stop of a route is that stop
        // on that route only; an agency alone is every board of the station.
        const bool stopOk = entity.stopId.empty() || has(stops, entity.stopId);
        const bool routeOk = entity.routeId.empty() || has(routes, entity.routeId);
        const bool named = !entity.stopId.empty() || !entity.routeId.empty() || !entity.agencyId.empty();
        if (named && stopOk && routeOk && entity.tripId.empty()) {
            return true;
        }
    }
    return false;
}

void addAlerts(const RealtimeSnapshot& snapshot, const std::vector<std::string>& stops,
               const std::vector<std::string>& routes, int64_t now, std::vector<BoardNotice>* notices) {
    for (const AlertRecord& alert : snapshot.alerts) {
        if (alert.textJp.empty() || !inForce(alert, now) || !informs(alert, stops, routes)) {
            continue;
        }
        BoardNotice notice;
        notice.textJp = alert.textJp;
        notice.textEn = alert.textEn;
        notice.color = 4;  // yellow, as a notice posted on the page
        const bool repeated = std::any_of(notices->begin(), notices->end(), [&](const BoardNotice& other) {
            return other.textJp == notice.textJp && other.textEn == notice.textEn;
        });
        if (!repeated) {
            notices->push_back(std::move(notice));
        }
    }
}

void addUnique(std::vector<std::string>* list, const std::string& item) {
    if (!item.empty() && std::find(list->begin(), list->end(), item) == list->end()) {
        list->push_back(item);
    }
}

}  // namespace

namespace {

bool setByStaff(const std::vector<TrainChange>& staff, const Departure& departure) {
    return std::any_of(staff.begin(), staff.end(), [&](const TrainChange& change) {
        return changeNames(change, departure) != CHANGE_NAMES_NOT;
    });
}

// One train as the feed has it: nothing when it does not stop here, else
// moved by its delay, cancelled, or as scheduled. A train whose time has
// passed is copied only when the feed makes it still to come.
bool liveTrain(const TripUpdateRecord& trip, const Departure& departure, int64_t now, Departure* train) {
    const bool cancelled = trip.relationship == TRIP_CANCELED || trip.relationship == TRIP_DELETED;
    const StopEffect effect = cancelled ? StopEffect{} : stopEffect(trip, departure);
    // A train early by the feed still keeps its time: it does not leave
    // before it, and the board shows no negative delay.
    const int32_t delay =
        effect.known && effect.delay > 0 && effect.delay <= LONGEST_DELAY ? effect.delay : 0;
    if (effect.skipped || departure.when + seconds{delay} <= instantFromUnix(now)) {
        return false;
    }
    *train = departure;
    train->source = TRAIN_FROM_FEED;
    train->cancelled = cancelled;
    train->liveDelaySeconds = delay;
    train->delayMinutes = delay / 60;
    train->when = departure.when + seconds{delay};
    return true;
}

}  // namespace

namespace {

// The stops and routes of a board, for the feed's alerts and new trains:
// its configured ones and those of its trains.
void boardStopsAndRoutes(const BoardConfig& board, const std::vector<Departure>& scheduled,
                         std::vector<std::string>* stops, std::vector<std::string>* routes) {
    *routes = board.routes;
    addUnique(stops, board.stopId);
    addUnique(stops, board.station);
    for (const Departure& departure : scheduled) {
        addUnique(stops, departure.stopId);
        addUnique(routes, departure.routeId);
    }
}

// The trains of applyRealtime, sorted by their live time.
void applyTrips(const RealtimeSnapshot& snapshot, const std::vector<std::string>& stops,
                const std::vector<Departure>& scheduled, const std::vector<TrainChange>& staff, int64_t now,
                size_t most, std::vector<Departure>* live) {
    live->clear();
    const seconds lookBack{std::min<int64_t>(LONGEST_DELAY, snapshot.mostLateSeconds)};
    const sys_seconds at = instantFromUnix(now);
    size_t coming = 0;
    for (const Departure& departure : scheduled) {
        const bool left = departure.when <= at;
        if (!left && ++coming > most) {
            break;
        }
        // What staff set wins: the feed does not touch those trains. A
        // train whose time has passed is kept only for staff's delay or
        // the feed's; the signs drop the rest.
        if (setByStaff(staff, departure)) {
            live->push_back(departure);
            continue;
        }
        // A train that has left is looked up only while the feed could
        // still make it to come: a feed of small delays spares the lookup
        // of most of the day's trains gone.
        const TripUpdateRecord* trip =
            left && departure.when < at - lookBack ? nullptr : findTrip(snapshot, departure);
        Departure train;
        if (trip == nullptr) {
            if (!left) {
                live->push_back(departure);
            }
        } else if (liveTrain(*trip, departure, now, &train)) {
            live->push_back(std::move(train));
        }
    }
    addNewTrains(snapshot, stops, scheduled, now, live);
    std::stable_sort(live->begin(), live->end(),
                     [](const Departure& a, const Departure& b) { return a.when < b.when; });
}

bool sameStaffTrains(const std::vector<TrainChange>& staff, const std::vector<TrainChange>& kept) {
    return std::equal(staff.begin(), staff.end(), kept.begin(), kept.end(),
                      [](const TrainChange& a, const TrainChange& b) {
                          return a.tripId == b.tripId && a.serviceDay == b.serviceDay;
                      });
}

}  // namespace

void applyRealtime(const RealtimeSnapshot& snapshot, const BoardConfig& board,
                   const std::vector<Departure>& scheduled, const std::vector<TrainChange>& staff,
                   int64_t now, std::vector<Departure>* live, std::vector<BoardNotice>* notices) {
    notices->clear();
    std::vector<std::string> stops;
    std::vector<std::string> routes;
    boardStopsAndRoutes(board, scheduled, &stops, &routes);
    applyTrips(snapshot, stops, scheduled, staff, now, MOST_COMING_DEPARTURES, live);
    addAlerts(snapshot, stops, routes, now, notices);
}

const std::vector<Departure>& applyRealtimeKept(const std::shared_ptr<const RealtimeSnapshot>& snapshot,
                                                const BoardConfig& board, const BoardTimetable& timetable,
                                                const std::vector<TrainChange>& staff, int64_t now,
                                                RealtimeBoardCache* cache,
                                                std::vector<BoardNotice>* notices) {
    // Kept trains stay right as the clock runs on: the signs drop those whose
    // live time has passed, and a train added or late leaves no earlier. Only
    // the window of coming trains narrows, hence the bound on the age.
    const bool sameTrains = cache->snapshot != nullptr && cache->timetable.get() == &timetable &&
                            now >= cache->madeAt && now - cache->madeAt < REALTIME_KEPT_SECONDS &&
                            sameStaffTrains(staff, cache->staff);
    // The feed's last content stays a few seconds more on some boards, so
    // that a station's boards apply a new one over several seconds instead
    // of all in the second after it came. A clock standing still takes it at
    // once: its second never passes.
    const int64_t wait = board.number >= 0 ? board.number % REALTIME_SPREAD_SECONDS : 0;
    const bool spreading = cache->madeAt < now && now < snapshot->takenAt + wait;
    const bool kept = sameTrains && (cache->snapshot == snapshot || spreading);
    if (!kept) {
        // The board's stops and routes come from its timetable alone.
        if (cache->stops.empty() && cache->routes.empty()) {
            boardStopsAndRoutes(board, timetable.departures, &cache->stops, &cache->routes);
        }
        applyTrips(*snapshot, cache->stops, timetable.departures, staff, now, MOST_KEPT_DEPARTURES,
                   &cache->live);
        cache->snapshot = snapshot;
        cache->staff = staff;
        cache->madeAt = now;
    }
    // Alerts begin and end by the second: looked at every time.
    notices->clear();
    addAlerts(*cache->snapshot, cache->stops, cache->routes, now, notices);
    return cache->live;
}

const char* realtimeTrainSource(const Departure& departure, int64_t now) {
    const std::shared_ptr<const RealtimeSnapshot> snapshot = realtimeCurrent(now);
    return snapshot != nullptr && findTrip(*snapshot, departure) != nullptr ? "feed" : "timetable";
}
