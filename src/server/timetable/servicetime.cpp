// Service days and local time in the agency's time zone, through Howard
// Hinnant's date/tz over the system's tzdata. A GTFS time counts from noon
// minus twelve hours of its service day, so 25:10:00 is ten past one on the
// next morning and a day with a clock change still counts from the same
// noon.
#include <date/tz.h>

#include <chrono>
#include <cstdio>
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

static date::year_month_day toYmd(int32_t value) {
    return date::year{value / 10000} / date::month{static_cast<unsigned>(value / 100 % 100)} /
           date::day{static_cast<unsigned>(value % 100)};
}

static int32_t fromYmd(const date::year_month_day& ymd) {
    return static_cast<int32_t>(ymd.year()) * 10000 +
           static_cast<int32_t>(static_cast<unsigned>(ymd.month())) * 100 +
           static_cast<int32_t>(static_cast<unsigned>(ymd.day()));
}

bool parseGtfsDate(const std::string& text, int32_t* value) {
    if (text.size() != 8 || !allDigits(text, 0, 8)) {
        return false;
    }
    const int32_t number = std::stoi(text);
    if (number / 10000 < 1900 || !toYmd(number).ok()) {
        return false;
    }
    *value = number;
    return true;
}

int32_t addDays(int32_t value, int32_t days) {
    return fromYmd(date::year_month_day{date::sys_days{toYmd(value)} + date::days{days}});
}

int32_t weekdayOf(int32_t value) {
    // date's weekday counts Sunday as 0; GTFS lists Monday first.
    const unsigned sundayFirst = date::weekday{date::sys_days{toYmd(value)}}.c_encoding();
    return static_cast<int32_t>((sundayFirst + 6) % 7);
}

int64_t serviceDayStart(const date::time_zone* zone, int32_t value) {
    const date::local_seconds noon{date::local_days{toYmd(value)} + hours{12}};
    const date::sys_seconds instant = zone->to_sys(noon, date::choose::earliest);
    return (instant - hours{12}).time_since_epoch().count();
}

static date::local_seconds toLocal(const date::time_zone* zone, int64_t instant) {
    return zone->to_local(date::sys_seconds{seconds{instant}});
}

int32_t localDate(const date::time_zone* zone, int64_t instant) {
    return fromYmd(date::year_month_day{date::floor<date::days>(toLocal(zone, instant))});
}

int32_t localSecondsOfDay(const date::time_zone* zone, int64_t instant) {
    const date::local_seconds local = toLocal(zone, instant);
    return static_cast<int32_t>((local - date::floor<date::days>(local)).count());
}

std::string formatClock(const date::time_zone* zone, int64_t instant) {
    const int32_t secondsOfDay = localSecondsOfDay(zone, instant);
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", secondsOfDay / 3600, secondsOfDay / 60 % 60);
    return text;
}

ServiceDay serviceDayFromNumber(int32_t value) {
    return ServiceDay{date::local_days{toYmd(value)}};
}

int32_t serviceDayNumber(ServiceDay day) {
    return fromYmd(date::year_month_day{day.date});
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

int32_t operatingDay(const StationConfig& config, const date::time_zone* zone, int64_t now) {
    // Counted on the wall clock, not by taking the start of the day off the
    // instant: on the night the clocks go forward an hour less has passed
    // since midnight than the wall clock says, and the day would start an
    // hour late.
    const date::local_seconds local = toLocal(zone, now) - seconds{config.dayStartSeconds};
    return serviceDayNumber(ServiceDay{date::floor<date::days>(local)});
}

std::chrono::sys_seconds operatingDayStart(const StationConfig& config, const date::time_zone* zone,
                                           int32_t day) {
    // A start inside the hour the clocks skip is the moment they skip it.
    const date::local_seconds local{serviceDayFromNumber(day).date + seconds{config.dayStartSeconds}};
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
