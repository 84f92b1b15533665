// A board's departures for one operating day: the calls at its platform from
// the store, kept to its routes and direction, on the services that run on
// the service days in question, frequency-based trips expanded, each with its
// destination in every language the feed translates and its colour.
#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "server/timetable/timetable.h"

namespace {

// The subtags of a language tag, in lower case.
std::vector<std::string> subtagsOf(const std::string& tag) {
    std::vector<std::string> subtags(1);
    for (const char c : tag) {
        if (c == '-' || c == '_') {
            subtags.emplace_back();
        } else {
            subtags.back() += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
    }
    return subtags;
}

// The translation of a field for one slot: of those the feed has, the first
// (the record's before the value's) whose tag is that slot's, the plainest
// tag first ("en" before "en-US").
std::string pickTranslation(const std::vector<TranslationRecord>& translations, int32_t slot) {
    const TranslationRecord* best = nullptr;
    for (const TranslationRecord& candidate : translations) {
        if (languageSlotOf(candidate.language) == slot && !candidate.translation.empty() &&
            (best == nullptr || subtagsOf(candidate.language).size() < subtagsOf(best->language).size())) {
            best = &candidate;
        }
    }
    return best != nullptr ? best->translation : std::string();
}

// The display language slot of the feed's own texts (feed_lang), -1 when it
// is none of them.
int32_t feedSlot(const std::string& feedLang) {
    return languageSlotOf(feedLang);
}

// Texts of a field in every slot: each slot its translation; the feed's own
// language its own text; slot 0 (Japanese, shown when nothing else is) the
// feed's own text whatever its language.
void translateAll(Store* store, int32_t ownSlot, const std::string& table, const std::string& field,
                  const std::string& recordId, const std::string& value, std::string* texts) {
    const std::vector<TranslationRecord> translations =
        storeTranslations(store, table, field, recordId, value);
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        texts[slot] = pickTranslation(translations, slot);
        if (texts[slot].empty() && (slot == ownSlot || slot == 0)) {
            texts[slot] = value;
        }
    }
}

// Length of a UTF-8 text in UTF-16 units, as a board counts it.
size_t unitCount(const std::string& text) {
    size_t units = 0;
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        units += (c & 0xC0) != 0x80 ? 1 : 0;
        units += c >= 0xF0 ? 1 : 0;
    }
    return units;
}

struct DestinationTexts {
    std::string texts[LANGUAGE_SLOTS];  // one per display language slot
};

// The texts of every slot as one shared block.
SlotTexts shareTexts(DestinationTexts texts) {
    SlotTexts shared;
    std::move(std::begin(texts.texts), std::end(texts.texts), shared.shared.own().begin());
    return shared;
}

// A train row's texts by the board's template, by what they are made of.
struct TrainTextsKey {
    const void* destination;    // the shared destination block
    std::string routeId;        // the route named
    std::string tripShortName;  // the train named
    bool operator<(const TrainTextsKey& other) const {
        return std::tie(destination, routeId, tripShortName) <
               std::tie(other.destination, other.routeId, other.tripShortName);
    }
};

// What the departures of a day share, each looked up in the store once, and
// the texts they share, each made once.
struct TimetableLookups {
    int32_t ownSlot = 0;
    TextPool* pool = nullptr;  // the departures' ids, shared
    std::map<std::string, RouteRecord> routeRecords;
    std::map<std::string, SlotTexts> destinations;
    std::map<std::string, DestinationTexts> routeNames;  // by route_id, for the train template
    std::map<TrainTextsKey, SlotTexts> trainTexts;       // the rows' texts by the train template
    SlotTexts notInService;                              // the station's text for a train taking nobody on
    std::map<std::string, std::vector<FrequencyRecord>> frequencies;
};

// The stops whose calls the board shows; the board's own stop (or its
// platform's) goes to platformStop.
std::vector<std::string> boardStopIds(Store* store, const BoardConfig& board, StopRecord* platformStop,
                                      BoardTimetable* timetable) {
    std::vector<std::string> stopIds;
    if (!board.stopId.empty()) {
        stopIds.push_back(board.stopId);
        if (!storeStop(store, board.stopId, platformStop)) {
            timetable->problems.push_back("stop_id \"" + board.stopId + "\" is not in the timetable");
        }
        // A station's board shows the departures of all its platforms.
        for (std::string& platform : storeStationPlatforms(store, board.stopId)) {
            stopIds.push_back(std::move(platform));
        }
    } else {
        stopIds = storePlatformStops(store, board.station, board.platformCode);
        if (stopIds.empty()) {
            timetable->problems.push_back("station \"" + board.station + "\" has no platform \"" +
                                          board.platformCode + "\" in the timetable");
        } else {
            storeStop(store, stopIds[0], platformStop);
        }
    }
    return stopIds;
}

// The calls at those stops that are departures of the board's routes and
// direction.
std::vector<CallRecord> boardCalls(Store* store, const BoardConfig& board,
                                   const std::vector<std::string>& stopIds) {
    const std::set<std::string> routes(board.routes.begin(), board.routes.end());
    std::vector<CallRecord> calls;
    for (CallRecord& call : storeCallsAt(store, stopIds)) {
        // A train that ends here is no departure, nor one that takes nobody
        // on unless the board lists it as not in service.
        if (call.terminates || (call.noPickup && !board.showNotInService) ||
            (!routes.empty() && routes.count(call.routeId) == 0) ||
            (board.directionId >= 0 && call.directionId != board.directionId)) {
            continue;
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

// A call's destination in every language: its headsign, else the name of
// the station of its last stop.
const SlotTexts& callDestination(Store* store, const CallRecord& call, TimetableLookups* lookups) {
    const std::string destinationKey = call.headsign.empty() ? "s:" + call.lastStopId : "h:" + call.headsign;
    auto destinationIt = lookups->destinations.find(destinationKey);
    if (destinationIt != lookups->destinations.end()) {
        return destinationIt->second;
    }
    // The station of the last stop rather than its platform.
    StopRecord last;
    storeStop(store, call.lastStopId, &last);
    StopRecord parent;
    if (!last.parentStation.empty() && storeStop(store, last.parentStation, &parent)) {
        last = parent;
    }
    DestinationTexts texts;
    if (!call.headsign.empty()) {
        translateAll(store, lookups->ownSlot, "trips", "trip_headsign", call.tripId, call.headsign,
                     texts.texts);
        // A headsign that is the last station's name and has no translation
        // of its own takes the station's (never a romanisation made here).
        if (call.headsign == last.name) {
            DestinationTexts station;
            translateAll(store, lookups->ownSlot, "stops", "stop_name", last.stopId, last.name,
                         station.texts);
            for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
                if (texts.texts[slot].empty()) {
                    texts.texts[slot] = station.texts[slot];
                }
            }
        }
    } else {
        translateAll(store, lookups->ownSlot, "stops", "stop_name", last.stopId, last.name, texts.texts);
    }
    return lookups->destinations.emplace(destinationKey, shareTexts(std::move(texts))).first->second;
}

// A call's colour: as the board configures its route, else the palette
// colour nearest the route's own.
uint8_t callColor(Store* store, const BoardConfig& board, const CallRecord& call, TimetableLookups* lookups) {
    auto routeIt = lookups->routeRecords.find(call.routeId);
    if (routeIt == lookups->routeRecords.end()) {
        RouteRecord route;
        storeRoute(store, call.routeId, &route);
        routeIt = lookups->routeRecords.emplace(call.routeId, route).first;
    }
    uint8_t color = 0;
    for (const RouteColor& routeColor : board.routeColors) {
        if (routeColor.routeId == call.routeId) {
            color = routeColor.color;
        }
    }
    if (color == 0) {
        color = nearestPaletteColor(routeIt->second.color);
    }
    return color;
}

// A route's name for a train's row: its short name, else its long name, in
// every language; a language without a translation takes the feed's own
// text (route names are mostly codes and marks that read the same).
const DestinationTexts& routeName(Store* store, const std::string& routeId, TimetableLookups* lookups) {
    auto found = lookups->routeNames.find(routeId);
    if (found != lookups->routeNames.end()) {
        return found->second;
    }
    RouteRecord route;
    storeRoute(store, routeId, &route);
    const bool useShort = !route.shortName.empty();
    DestinationTexts texts;
    translateAll(store, lookups->ownSlot, "routes", useShort ? "route_short_name" : "route_long_name",
                 route.routeId, useShort ? route.shortName : route.longName, texts.texts);
    for (std::string& text : texts.texts) {
        if (text.empty()) {
            text = texts.texts[0];
        }
    }
    return lookups->routeNames.emplace(routeId, texts).first->second;
}

// A template with its "{name}" fields filled in, and the blanks an empty
// field leaves behind taken out.
std::string fillTemplate(const std::string& pattern, const std::string& destination, const std::string& route,
                         const std::string& train) {
    std::string filled = pattern;
    for (const auto& [field, value] :
         {std::pair<std::string, const std::string*>{"{destination}", &destination},
          std::pair<std::string, const std::string*>{"{route}", &route},
          std::pair<std::string, const std::string*>{"{train}", &train}}) {
        for (size_t at = filled.find(field); at != std::string::npos;
             at = filled.find(field, at + value->size())) {
            filled.replace(at, field.size(), *value);
        }
    }
    std::string clean;
    for (const char c : filled) {
        if (c != ' ' || (!clean.empty() && clean.back() != ' ')) {
            clean += c;
        }
    }
    while (!clean.empty() && clean.back() == ' ') {
        clean.pop_back();
    }
    return clean;
}

// The texts of a train's row by the board's template; none where the
// template is the destination alone or the destination has no text. Made
// once for each destination, route and train, and shared.
SlotTexts trainTexts(Store* store, const BoardConfig& board, const CallRecord& call,
                     const SlotTexts& destination, TimetableLookups* lookups) {
    if (board.trainTemplate == "{destination}") {
        return SlotTexts{};
    }
    const TrainTextsKey key{destination.shared.block, call.routeId, call.tripShortName};
    const auto found = lookups->trainTexts.find(key);
    if (found != lookups->trainTexts.end()) {
        return found->second;
    }
    const DestinationTexts& route = routeName(store, call.routeId, lookups);
    DestinationTexts texts;
    for (int32_t slot = 0; slot < LANGUAGE_SLOTS; ++slot) {
        if (!destination[slot].empty()) {
            texts.texts[slot] =
                fillTemplate(board.trainTemplate, destination[slot], route.texts[slot], call.tripShortName);
        }
    }
    return lookups->trainTexts.emplace(key, shareTexts(std::move(texts))).first->second;
}

// A train that takes nobody on: its row says so in place of where it goes.
void markNotInService(const SlotTexts& texts, Departure* departure) {
    departure->notInService = true;
    departure->destinations = texts;
    departure->trainTexts = SlotTexts{};
}

// A call's departure times within its service day: its own, or for a
// frequency-based trip one for every trip of the pattern.
std::vector<int32_t> callTimes(Store* store, const CallRecord& call, TimetableLookups* lookups) {
    auto frequencyIt = lookups->frequencies.find(call.tripId);
    if (frequencyIt == lookups->frequencies.end()) {
        frequencyIt = lookups->frequencies.emplace(call.tripId, storeFrequencies(store, call.tripId)).first;
    }
    std::vector<int32_t> times;
    if (frequencyIt->second.empty()) {
        times.push_back(call.departure);
        return times;
    }
    // The trip's times are a pattern: it starts every headway within each
    // window, and reaches this stop as far after its start as the pattern
    // says.
    const int32_t offset = call.departure - std::max(0, call.firstDeparture);
    for (const FrequencyRecord& window : frequencyIt->second) {
        for (int32_t tripStart = window.start; tripStart < window.end; tripStart += window.headway) {
            times.push_back(tripStart + offset);
        }
    }
    return times;
}

// The departures of the calls whose services run on one service day.
void addServiceDay(Store* store, const date::time_zone* zone, const BoardConfig& board,
                   const std::vector<CallRecord>& calls, ServiceDay serviceDay, TimetableLookups* lookups,
                   BoardTimetable* timetable) {
    const std::vector<std::string> serviceList = storeServicesOn(store, serviceDay);
    const std::set<std::string> services(serviceList.begin(), serviceList.end());
    const std::chrono::sys_seconds start = serviceDayStart(zone, serviceDay);
    for (const CallRecord& call : calls) {
        if (services.count(call.serviceId) == 0) {
            continue;
        }
        const uint8_t color = callColor(store, board, call, lookups);
        const SlotTexts& destination = callDestination(store, call, lookups);
        const SlotTexts rowTexts = trainTexts(store, board, call, destination, lookups);
        const SharedText tripId = poolText(lookups->pool, call.tripId);
        const SharedText routeId = poolText(lookups->pool, call.routeId);
        const SharedText stopId = poolText(lookups->pool, call.stopId);
        const std::vector<int32_t> times = callTimes(store, call, lookups);
        // callTimes has looked the trip's frequencies up.
        const bool byFrequency = !lookups->frequencies[call.tripId].empty();
        for (int32_t time : times) {
            Departure departure;
            departure.when = start + std::chrono::seconds{time};
            departure.serviceDay = serviceDay;
            departure.departure = time;
            departure.tripId = tripId;
            departure.routeId = routeId;
            departure.destinations = destination;
            departure.trainTexts = rowTexts;
            departure.color = color;
            departure.stopId = stopId;
            departure.stopSequence = call.stopSequence;
            departure.directionId = call.directionId;
            // A trip run by frequency starts as much earlier as its template.
            departure.firstDeparture =
                call.firstDeparture < 0 ? -1 : time - (call.departure - call.firstDeparture);
            departure.byFrequency = byFrequency;
            if (call.noPickup) {
                markNotInService(lookups->notInService, &departure);
            }
            timetable->departures.push_back(std::move(departure));
        }
    }
}

// The line of a new-style header from the feed: the route most of the
// board's trains run on (the first of the board's routes when it has no
// train), its name and colour.
void lineFromFeed(Store* store, int32_t ownSlot, const BoardConfig& board, BoardTimetable* timetable) {
    std::map<std::string, int32_t> trainsOfRoute;
    for (const Departure& departure : timetable->departures) {
        ++trainsOfRoute[departure.routeId];
    }
    std::string routeId = board.routes.empty() ? std::string() : board.routes[0];
    int32_t most = 0;
    for (const auto& [route, count] : trainsOfRoute) {
        if (count > most) {
            routeId = route;
            most = count;
        }
    }
    RouteRecord route;
    if (!routeId.empty() && storeRoute(store, routeId, &route)) {
        // The long name where it fits the sign's line badge, else the short.
        const bool useLong =
            !route.longName.empty() && (route.shortName.empty() || unitCount(route.longName) < 12);
        translateAll(store, ownSlot, "routes", useLong ? "route_long_name" : "route_short_name",
                     route.routeId, useLong ? route.longName : route.shortName, timetable->lineTexts);
        int64_t color = 0;
        if (route.color.size() == 6) {
            color = std::stol(route.color, nullptr, 16);
            timetable->lineColor = static_cast<uint32_t>(color);
            timetable->hasLineColor = true;
        }
    }
}

}  // namespace

SharedText poolText(TextPool* pool, const std::string& text) {
    SharedText shared;
    if (text.empty()) {
        return shared;
    }
    auto found = pool->texts.find(std::string_view(text));
    if (found == pool->texts.end()) {
        if (pool->texts.size() >= pool->sweepAt) {
            // Texts only the pool still holds belong to timetables gone (an
            // older store, yesterday): let them go. One a handle holds stays:
            // a count of one cannot rise again but through the pool.
            std::erase_if(pool->texts, [](const auto& entry) {
                return entry.second.block->references.load(std::memory_order_acquire) == 1;
            });
            pool->sweepAt = std::max<size_t>(4096, pool->texts.size() * 2);
        }
        SharedValue<std::string> value = makeShared(text);
        const std::string_view key(value.get());
        found = pool->texts.emplace(key, std::move(value)).first;
    }
    shared.shared = found->second;
    return shared;
}

int32_t languageSlotOf(const std::string& tag) {
    const std::vector<std::string> subtags = subtagsOf(tag);
    std::string script;
    std::string region;
    for (size_t i = 1; i < subtags.size(); ++i) {
        if (subtags[i].size() == 4 && script.empty() && region.empty()) {
            script = subtags[i];
        } else if ((subtags[i].size() == 2 || subtags[i].size() == 3) && region.empty()) {
            region = subtags[i];
        }
    }
    const std::string& language = subtags[0];
    if (language == "ja" || language == "jpn") {
        // Kana readings are the further Japanese-script text; romanised
        // Japanese is no language a board shows.
        if (script == "hrkt" || script == "kana" || script == "hira") {
            return 2;
        }
        return script.empty() || script == "jpan" ? 0 : -1;
    }
    if (language == "en" || language == "eng") {
        return 1;
    }
    if (language == "zh" || language == "zho" || language == "chi") {
        const bool traditional =
            script == "hant" || (script.empty() && (region == "tw" || region == "hk" || region == "mo"));
        return traditional ? 4 : 3;
    }
    if (language == "ko" || language == "kor") {
        return 5;
    }
    return -1;
}

void buildTimetable(Store* store, const date::time_zone* zone, const StationConfig& config,
                    const BoardConfig& board, ServiceDay day, BoardTimetable* timetable, TextPool* pool) {
    *timetable = BoardTimetable{};
    timetable->operatingDay = day;
    StopRecord platformStop;
    const std::vector<std::string> stopIds = boardStopIds(store, board, &platformStop, timetable);
    // The platform as configured, else the stop's platform_code; the
    // document falls back to the board's number.
    timetable->platform = !board.platform.empty() ? board.platform : platformStop.platformCode;

    for (const std::string& routeId : board.routes) {
        RouteRecord route;
        if (!storeRoute(store, routeId, &route)) {
            timetable->problems.push_back("route_id \"" + routeId + "\" is not in the timetable");
        }
    }
    TextPool ownPool;
    TimetableLookups lookups;
    lookups.pool = pool != nullptr ? pool : &ownPool;
    lookups.ownSlot = feedSlot(storeMeta(store, "feed_lang"));
    const std::string& notInService = config.notInService;
    DestinationTexts notInServiceTexts;
    for (size_t start = 0, slot = 0;
         slot < static_cast<size_t>(LANGUAGE_SLOTS) && start <= notInService.size(); ++slot) {
        const size_t bar = std::min(notInService.find('|', start), notInService.size());
        notInServiceTexts.texts[slot] = notInService.substr(start, bar - start);
        start = bar + 1;
    }
    lookups.notInService = shareTexts(std::move(notInServiceTexts));
    const std::vector<CallRecord> calls = boardCalls(store, board, stopIds);
    // A train of the day before can leave after midnight (25:10:00), and
    // one an agency dates on the next day can leave before the next
    // operating day starts (a 24-hour line's 03:52); the next day also holds
    // the first train shown after the last.
    for (const int32_t offset : {-1, 0, 1}) {
        addServiceDay(store, zone, board, calls, day + date::days{offset}, &lookups, timetable);
    }
    timetable->nextDayStart = operatingDayStart(config, zone, day + date::days{1});
    std::sort(timetable->departures.begin(), timetable->departures.end(),
              [](const Departure& a, const Departure& b) {
                  return a.when != b.when ? a.when < b.when : a.tripId < b.tripId;
              });
    // Held for the whole day by every board showing it: no spare capacity.
    timetable->departures.shrink_to_fit();

    if (timetable->departures.empty()) {
        timetable->problems.push_back(
            "no departures on the day " + formatGtfsDate(day) +
            " (no service that day, or none for this platform, routes and direction)");
    }

    // The line of a new-style header: as configured, else from the feed.
    lineFromFeed(store, lookups.ownSlot, board, timetable);
    if (!board.lineJp.empty()) {
        timetable->lineTexts[0] = board.lineJp;
    }
    if (!board.lineEn.empty()) {
        timetable->lineTexts[1] = board.lineEn;
    }
    if (board.lineColor >= 0) {
        timetable->lineColor = static_cast<uint32_t>(board.lineColor);
        timetable->hasLineColor = true;
    }
}

int32_t changeNames(const TrainChange& change, const Departure& departure) {
    if (change.tripId != departure.tripId || change.serviceDay != departure.serviceDay) {
        return CHANGE_NAMES_NOT;
    }
    if (change.runStart == RUN_EVERY) {
        return CHANGE_NAMES_TRIP;
    }
    return change.runStart == departure.firstDeparture ? CHANGE_NAMES_RUN : CHANGE_NAMES_NOT;
}
