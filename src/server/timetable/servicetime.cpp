// Service days and local time in the agency's time zone, through Howard
// Hinnant's date/tz over the system's tzdata. A GTFS time counts from noon
// minus twelve hours of its service day, so 25:10:00 is ten past one on the
// next morning and a day with a clock change still counts from the same
// noon.
#include <date/tz.h>

#include <chrono>
#include <cstdio>
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

bool parseLocalTime(const std::string& text, const date::time_zone* zone, int64_t* instant) {
    // YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, T or a space.
    if ((text.size() != 16 && text.size() != 19) || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || !allDigits(text, 0, 4) ||
        !allDigits(text, 5, 7) || !allDigits(text, 8, 10) || !allDigits(text, 11, 13) ||
        !allDigits(text, 14, 16)) {
        return false;
    }
    int32_t secondsPart = 0;
    if (text.size() == 19) {
        if (text[16] != ':' || !allDigits(text, 17, 19)) {
            return false;
        }
        secondsPart = std::stoi(text.substr(17, 2));
    }
    const int32_t day = std::stoi(text.substr(0, 4)) * 10000 + std::stoi(text.substr(5, 2)) * 100 +
                        std::stoi(text.substr(8, 2));
    const int32_t h = std::stoi(text.substr(11, 2));
    const int32_t m = std::stoi(text.substr(14, 2));
    if (!toYmd(day).ok() || h > 23 || m > 59 || secondsPart > 59 || zone == nullptr) {
        return false;
    }
    const date::local_seconds local{date::local_days{toYmd(day)} + hours{h} + std::chrono::minutes{m} +
                                    seconds{secondsPart}};
    *instant = zone->to_sys(local, date::choose::earliest).time_since_epoch().count();
    return true;
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
