// The realtime benchmark's measuring program (run by tools/bench-server.py):
// reads a trip-updates feed file, then decodes it and applies it to a board
// whose day holds one departure of every trip in the feed (at every point of
// the day in turn, so that each trip is applied once), a number of times;
// prints the fastest decode and apply in milliseconds and the process's peak
// memory. Trips are named "T<n>" and call at the board's stop as stop
// sequence 15.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "server/realtime/realtime.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: realtime_bench FEED.pb TRIPS [ROUNDS]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    const std::string feed = bytes.str();
    const int32_t trips = std::atoi(argv[2]);
    const int32_t rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    std::vector<Departure> scheduled;
    for (int32_t i = 0; i < trips; ++i) {
        Departure departure{};
        departure.when = instantFromUnix(1'800'000'000 + i * 10);
        departure.serviceDay = serviceDayFromNumber(20270115);
        departure.tripId = "T" + std::to_string(i);
        departure.routeId = "R";
        departure.destinations[0] = "港南";
        departure.stopId = "S15";
        departure.stopSequence = 15;
        scheduled.push_back(departure);
    }
    BoardConfig board;
    board.stopId = "S15";
    double best = 1e9;
    double bestDecode = 1e9;
    size_t delayed = 0;
    for (int32_t round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        RealtimeSnapshot snapshot;
        std::string error;
        if (!decodeRealtimeFeed(feed, &snapshot, &error)) {
            std::fprintf(stderr, "realtime_bench: %s\n", error.c_str());
            return 1;
        }
        const auto decoded = std::chrono::steady_clock::now();
        // A board applies the feed to its next trains only, so the day is
        // walked in steps of 64 trains until every trip was applied once.
        std::vector<Departure> live;
        std::vector<BoardNotice> notices;
        delayed = 0;
        for (int64_t now = 1'800'000'000 - 1; now < 1'800'000'000 + int64_t{trips} * 10; now += 640) {
            applyRealtime(snapshot, board, scheduled, {}, now, &live, &notices);
            delayed += static_cast<size_t>(std::count_if(live.begin(), live.end(), [now](const Departure& d) {
                const int64_t planned = unixSeconds(d.when) - d.liveDelaySeconds;
                return d.liveDelaySeconds > 0 && planned > now && planned <= now + 640;
            }));
        }
        const auto applied = std::chrono::steady_clock::now();
        bestDecode = std::min(bestDecode, std::chrono::duration<double, std::milli>(decoded - start).count());
        best = std::min(best, std::chrono::duration<double, std::milli>(applied - start).count());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("feed_bytes=%zu trips=%d delayed=%zu decode_ms=%.1f decode_apply_ms=%.1f max_rss_mb=%.1f\n",
                feed.size(), trips, delayed, bestDecode, best, static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
