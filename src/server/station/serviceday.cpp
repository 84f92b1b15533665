// Service days as the station's records and the timetable hold them: a
// local date, written as a YYYYMMDD number where it is stored or served and
// as a date people read in the history. The number and the text are made
// and read here alone.
#include <sstream>

#include "server/station/station.h"

// A YYYYMMDD number's date; not ok() when the number names none.
static date::year_month_day toYmd(int32_t value) {
    return date::year{value / 10000} / date::month{static_cast<unsigned>(value / 100 % 100)} /
           date::day{static_cast<unsigned>(value % 100)};
}

ServiceDay serviceDayFromNumber(int32_t value) {
    return value == 0 ? NO_SERVICE_DAY : ServiceDay{date::local_days{toYmd(value)}};
}

int32_t serviceDayNumber(ServiceDay day) {
    if (day == NO_SERVICE_DAY) {
        return 0;
    }
    const date::year_month_day ymd{day.date};
    return static_cast<int32_t>(ymd.year()) * 10000 +
           static_cast<int32_t>(static_cast<unsigned>(ymd.month())) * 100 +
           static_cast<int32_t>(static_cast<unsigned>(ymd.day()));
}

std::string formatServiceDay(ServiceDay day) {
    return date::format("%F", day.date);
}

std::string formatGtfsDate(ServiceDay day) {
    return date::format("%Y%m%d", day.date);
}

bool parseGtfsDate(const std::string& text, ServiceDay* day) {
    // date::parse takes fewer digits than a field's width ("2026123" reads
    // as December 3rd); GTFS writes a date as eight digits.
    if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    std::istringstream in(text);
    date::local_days parsed;
    in >> date::parse("%Y%m%d", parsed);
    if (in.fail() || date::year_month_day{parsed}.year() < date::year{1900}) {
        return false;
    }
    *day = ServiceDay{parsed};
    return true;
}
