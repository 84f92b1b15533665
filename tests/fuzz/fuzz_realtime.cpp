// Fuzz entry for the realtime decoder and matcher: any bytes as a fetched
// GTFS-realtime feed, and a feed that decodes applied to a board's day of
// departures (trains at several stops of the same trips, on two days). What
// comes out is in time order and never earlier than the timetable for a
// scheduled train.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/realtime/realtime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RealtimeSnapshot snapshot;
    std::string error;
    if (!decodeRealtimeFeed(std::string(reinterpret_cast<const char*>(data), size), &snapshot, &error)) {
        return 0;
    }
    static const std::vector<Departure> scheduled = [] {
        std::vector<Departure> departures;
        for (int32_t i = 0; i < 12; ++i) {
            Departure departure{};
            departure.when = instantFromUnix(1'800'000'000 + i * 300);
            departure.serviceDay = serviceDayFromNumber(i < 6 ? 20270115 : 20270116);
            departure.departure = 25200 + i * 300;
            departure.tripId = "T" + std::to_string(i % 4);
            departure.routeId = i % 2 == 0 ? "R" : "";
            departure.stopId = "S" + std::to_string(i % 3);
            departure.stopSequence = i % 3;
            departure.directionId = i % 2;
            departure.firstDeparture = 25200;
            departures.push_back(departure);
        }
        return departures;
    }();
    BoardConfig board;
    board.stopId = "S1";
    board.routes = {"R"};
    std::vector<Departure> live;
    std::vector<BoardNotice> notices;
    applyRealtime(snapshot, board, scheduled, {}, 1'800'000'100, &live, &notices);
    for (size_t i = 0; i < live.size(); ++i) {
        if ((i > 0 && live[i].when < live[i - 1].when) || live[i].liveDelaySeconds < 0 ||
            live[i].delayMinutes * 60 > live[i].liveDelaySeconds) {
            __builtin_trap();
        }
    }
    return 0;
}
