// Service days and local time in the agency's time zone, through Howard
// Hinnant's date/tz over the system's tzdata. A GTFS time counts from noon
// minus twelve hours of its service day, so 25:10:00 is ten past one on the
// next morning and a day with a clock change still counts from the same
// noon.
#include <date/tz.h>

#include <chrono>
#include <sstream>
#include <stdexcept>

#include "server/timetable/timetable.h"

using std::chrono::hours;
using std::chrono::seconds;

const date::time_zone* findZone(const std::string& name) {
    if (name.empty()) {
        return nullptr;
    }
    try {
        return date::locate_zone(name);
    } catch (const std::exception&) {
        return nullptr;
    }
}

static bool allDigits(const std::string& text, size_t from, size_t to) {
    if (from >= to) {
        return false;
    }
    for (size_t i = from; i < to; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

bool parseGtfsTime(const std::string& text, int32_t* dayTime) {
    const size_t first = text.find(':');
    if (first == std::string::npos || first > 3 || text.size() != first + 6 || text[first + 3] != ':' ||
        !allDigits(text, 0, first) || !allDigits(text, first + 1, first + 3) ||
        !allDigits(text, first + 4, first + 6)) {
        return false;
    }
    const int32_t h = std::stoi(text.substr(0, first));
    const int32_t m = std::stoi(text.substr(first + 1, 2));
    const int32_t s = std::stoi(text.substr(first + 4, 2));
    if (m > 59 || s > 59) {
        return false;
    }
    *dayTime = h * 3600 + m * 60 + s;
    return true;
}

bool parseGtfsDate(const std::string& text, int32_t* value) {
    ServiceDay day{};
    if (!parseGtfsDate(text, &day)) {
        return false;
    }
    *value = serviceDayNumber(day);
    return true;
}

int32_t weekdayOf(ServiceDay day) {
    // date's weekday counts Sunday as 0; GTFS lists Monday first.
    const unsigned sundayFirst = date::weekday{day.date}.c_encoding();
    return static_cast<int32_t>((sundayFirst + 6) % 7);
}

std::chrono::sys_seconds serviceDayStart(const date::time_zone* zone, ServiceDay day) {
    const date::local_seconds noon{day.date + hours{12}};
    return zone->to_sys(noon, date::choose::earliest) - hours{12};
}

date::local_days localDate(const date::time_zone* zone, std::chrono::sys_seconds instant) {
    return date::floor<date::days>(zone->to_local(instant));
}

seconds localTimeOfDay(const date::time_zone* zone, std::chrono::sys_seconds instant) {
    const date::local_seconds local = zone->to_local(instant);
    return local - date::floor<date::days>(local);
}

std::string formatClock(seconds timeOfDay) {
    // The boards write the hour without a leading zero: "8:05", "25:30".
    const std::string text = date::format("%H:%M", date::floor<std::chrono::minutes>(timeOfDay));
    return text.size() > 4 && text[0] == '0' ? text.substr(1) : text;
}

std::string formatClock(const date::time_zone* zone, std::chrono::sys_seconds instant) {
    return formatClock(localTimeOfDay(zone, instant));
}

std::string formatGtfsTime(seconds timeOfDay) {
    return date::format("%T", timeOfDay);
}

std::string formatLocalTime(const date::time_zone* zone, std::chrono::sys_seconds instant) {
    return date::format("%FT%T", zone->to_local(instant));
}

// A "+HH:MM", "-HH:MM" or "Z" offset from UTC; false for anything else.
static bool parseOffset(const std::string& text, seconds* offset) {
    if (text == "Z") {
        *offset = seconds{0};
        return true;
    }
    if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':' || !allDigits(text, 1, 3) ||
        !allDigits(text, 4, 6)) {
        return false;
    }
    const int32_t h = std::stoi(text.substr(1, 2));
    const int32_t m = std::stoi(text.substr(4, 2));
    if (h > 23 || m > 59) {
        return false;
    }
    *offset = seconds{(text[0] == '-' ? -1 : 1) * (h * 3600 + m * 60)};
    return true;
}

bool parseLocalTime(const std::string& text, const date::time_zone* zone, int64_t* instant) {
    // YYYY-MM-DDTHH:MM[:SS] (T or a space), then optionally the offset from
    // UTC that names one of the two wall-clock hours a fall-back night has.
    std::string shape = text;
    if (shape.size() > 10 && shape[10] == ' ') {
        shape[10] = 'T';
    }
    if (shape.size() < 16 || shape[4] != '-' || shape[7] != '-' || shape[10] != 'T' || shape[13] != ':' ||
        !allDigits(shape, 0, 4) || !allDigits(shape, 5, 7) || !allDigits(shape, 8, 10) ||
        !allDigits(shape, 11, 13) || !allDigits(shape, 14, 16)) {
        return false;
    }
    const bool withSeconds = shape.size() >= 19 && shape[16] == ':' && allDigits(shape, 17, 19);
    const size_t end = withSeconds ? 19 : 16;
    std::istringstream in(shape.substr(0, end));
    date::local_seconds local;
    in >> date::parse(withSeconds ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%dT%H:%M", local);
    if (in.fail() || in.peek() != std::char_traits<char>::eof()) {
        return false;
    }
    if (end == shape.size()) {
        if (zone == nullptr) {
            return false;
        }
        *instant = zone->to_sys(local, date::choose::earliest).time_since_epoch().count();
        return true;
    }
    seconds offset{0};
    if (!parseOffset(shape.substr(end), &offset)) {
        return false;
    }
    *instant = (local.time_since_epoch() - offset).count();
    return true;
}

ServiceDay operatingDay(const StationConfig& config, const date::time_zone* zone,
                        std::chrono::sys_seconds now) {
    // Counted on the wall clock, not by taking the start of the day off the
    // instant: on the night the clocks go forward an hour less has passed
    // since midnight than the wall clock says, and the day would start an
    // hour late.
    const date::local_seconds local = zone->to_local(now) - seconds{config.dayStartSeconds};
    return ServiceDay{date::floor<date::days>(local)};
}

std::chrono::sys_seconds operatingDayStart(const StationConfig& config, const date::time_zone* zone,
                                           ServiceDay day) {
    // A start inside the hour the clocks skip is the moment they skip it.
    const date::local_seconds local{day.date + seconds{config.dayStartSeconds}};
    return zone->to_sys(local, date::choose::earliest);
}

int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t clockNow(const ServerClock& clock) {
    if (clock.startInstant == 0) {
        return std::chrono::duration_cast<seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    if (clock.frozen) {
        return clock.startInstant;
    }
    return clock.startInstant + (monotonicMs() - clock.startMonotonicMs) / 1000;
}
