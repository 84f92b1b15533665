// The server's log: one line per event on stderr, each starting with the
// time on the station's clock, so an operator can read it against the clock
// on the platform wall.
#include <date/tz.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "server/timetable/timetable.h"

namespace {

// What every log line is stamped with. The log is one per process, as
// stderr is, so its clock and zone are kept here rather than handed to each
// of the many places that log; they are set at the start of serving and
// when the store (and with it, maybe, the feed's zone) changes.
struct LogClock {
    std::mutex lock;                        // guards the two below and keeps lines whole
    ServerClock clock;                      // the server's clock; the real one until set
    const date::time_zone* zone = nullptr;  // the feed's zone; nullptr: UTC
};

LogClock gLogClock;

}  // namespace

// The offset from UTC, not the zone's abbreviation: abbreviations are not
// unique (CST is China's, Cuba's and America's), many zones have none
// ("-03"), and the offset alone tells apart the two 1:30s of a night the
// clocks go back. With a space for the T the text is what --now reads.
std::string formatLocalInstant(const date::time_zone* zone, int64_t instant) {
    const date::sys_seconds when{std::chrono::seconds{instant}};
    if (zone == nullptr) {
        return date::format("%F %T+00:00", when);
    }
    return date::format("%F %T%Ez", date::make_zoned(zone, when));
}

void logUseClock(const ServerClock& clock) {
    std::lock_guard<std::mutex> hold(gLogClock.lock);
    gLogClock.clock = clock;
}

void logUseZone(const date::time_zone* zone) {
    std::lock_guard<std::mutex> hold(gLogClock.lock);
    gLogClock.zone = zone;
}

std::string logInstant(int64_t instant) {
    std::lock_guard<std::mutex> hold(gLogClock.lock);
    return formatLocalInstant(gLogClock.zone, instant);
}

void serverLog(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    std::lock_guard<std::mutex> hold(gLogClock.lock);
    const std::string stamp = formatLocalInstant(gLogClock.zone, clockNow(gLogClock.clock));
    std::fprintf(stderr, "%s velmorant-server: %s\n", stamp.c_str(), line.c_str());
}
