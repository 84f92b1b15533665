// The new-style sign's train-position diagram from a vehicle position: the
// trip's stops from the timetable store (its order and the names of the
// stations), the vehicle's stop found among them, and how far it is from the
// board's stop in half-steps. Names are looked up once per trip and stop
// for each store opening, not on every document.
#include <map>
#include <mutex>

#include "server/realtime/realtime.h"

namespace {

// The compiler's own copy of the array member below names its loop variable
// in the reserved form.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
struct DiagramStops {
    std::vector<TripStopRecord> stops;  // the trip's, in order
    std::string names[3][2];            // the diagram's stations for the board's stop
};

struct DiagramCache {
    std::mutex lock;
    std::function<StoreView()> current;           // the store to read; none: no diagrams
    uint64_t generation = 0;                      // the store opening the entries are from
    std::map<std::string, DiagramStops> entries;  // by trip id and the board's stop sequence
};

DiagramCache gDiagrams;

// A cache bounded so a feed naming ever new trips cannot grow it for good.
constexpr size_t MOST_CACHED_TRIPS = 4096;

// A station's name for the diagram: the parent station's where there is one
// (a platform's name repeats its number), in Japanese and English.
void stationNames(Store* store, const std::string& stopId, std::string* names) {
    StopRecord stop;
    if (!storeStop(store, stopId, &stop)) {
        return;
    }
    StopRecord parent;
    if (!stop.parentStation.empty() && storeStop(store, stop.parentStation, &parent)) {
        stop = parent;
    }
    names[0] = stop.name;
    names[1] = storeTranslation(store, "stops", "stop_name", "en", stop.stopId, stop.name);
}

// The trip's stops and the diagram's names, from the cache or the store.
bool tripStops(const Departure& departure, DiagramStops* found) {
    std::lock_guard<std::mutex> hold(gDiagrams.lock);
    if (!gDiagrams.current) {
        return false;
    }
    const StoreView view = gDiagrams.current();
    if (view.store == nullptr) {
        return false;
    }
    if (view.generation != gDiagrams.generation || gDiagrams.entries.size() > MOST_CACHED_TRIPS) {
        gDiagrams.entries.clear();
        gDiagrams.generation = view.generation;
    }
    const std::string key = departure.tripId + '\x1f' + std::to_string(departure.stopSequence);
    auto entry = gDiagrams.entries.find(key);
    if (entry == gDiagrams.entries.end()) {
        DiagramStops stops;
        stops.stops = storeTripStops(view.store.get(), departure.tripId);
        for (size_t i = 0; i < stops.stops.size(); ++i) {
            if (stops.stops[i].stopSequence != departure.stopSequence) {
                continue;
            }
            for (size_t station = 0; station < 3; ++station) {
                if (i + station >= 2) {
                    stationNames(view.store.get(), stops.stops[i + station - 2].stopId, stops.names[station]);
                }
            }
        }
        entry = gDiagrams.entries.emplace(key, std::move(stops)).first;
    }
    *found = entry->second;
    return !found->stops.empty();
}

}  // namespace

void realtimeSetStore(std::function<StoreView()> current) {
    std::lock_guard<std::mutex> hold(gDiagrams.lock);
    gDiagrams.current = std::move(current);
    gDiagrams.entries.clear();
}

bool realtimeDiagram(const RealtimeSnapshot& snapshot, const Departure& departure, PositionDiagram* diagram) {
    *diagram = PositionDiagram{};
    const auto found = snapshot.vehiclesByTrip.find(departure.tripId);
    if (found == snapshot.vehiclesByTrip.end() || departure.stopSequence < 0) {
        return false;
    }
    const VehicleRecord& vehicle = snapshot.vehicles[found->second];
    if (vehicle.startDate != NO_SERVICE_DAY && vehicle.startDate != departure.serviceDay) {
        return false;
    }
    DiagramStops stops;
    if (!tripStops(departure, &stops)) {
        return false;
    }
    int64_t here = -1;
    int64_t at = -1;
    for (size_t i = 0; i < stops.stops.size(); ++i) {
        const TripStopRecord& stop = stops.stops[i];
        if (stop.stopSequence == departure.stopSequence) {
            here = static_cast<int64_t>(i);
        }
        if ((vehicle.stopSequence >= 0 && stop.stopSequence == vehicle.stopSequence) ||
            (vehicle.stopSequence < 0 && !vehicle.stopId.empty() && stop.stopId == vehicle.stopId)) {
            at = static_cast<int64_t>(i);
        }
    }
    if (here < 0 || at < 0) {
        return false;
    }
    // On the way to a stop is half a step before standing at it.
    const int64_t halfSteps = (here - at) * 2 + (vehicle.status == VEHICLE_STOPPED_AT ? 0 : 1);
    diagram->position = halfSteps >= 0 && halfSteps <= 3 ? static_cast<int32_t>(halfSteps) : -1;
    for (int32_t station = 0; station < 3; ++station) {
        diagram->names[station][0] = stops.names[station][0];
        diagram->names[station][1] = stops.names[station][1];
    }
    return true;
}
