// GTFS-realtime on the wire: a fetched feed decoded by protobuf (from the
// project's gtfs-realtime.proto) into the snapshot the boards are matched
// against, and the station's own delays, cancellations and notices encoded
// back into feeds for journey planners. Nothing here fetches or serves.
#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <cctype>

#include "gtfs-realtime.pb.h"
#include "server/realtime/realtime.h"

namespace {

// The primary language of a BCP 47 tag, lower case ("ja-JP" -> "ja").
std::string primaryLanguage(const std::string& tag) {
    std::string primary;
    for (const char c : tag) {
        if (c == '-' || c == '_') {
            break;
        }
        primary += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return primary;
}

// Japanese and English of a translated text: by their language tags; a text
// without a tag stands for Japanese when there is no Japanese one.
void pickTexts(const velmorant_rt::TranslatedString& texts, std::string* jp, std::string* en) {
    std::string untagged;
    for (const auto& translation : texts.translation()) {
        const std::string language = primaryLanguage(translation.language());
        if (language == "ja" && jp->empty()) {
            *jp = translation.text();
        } else if (language == "en" && en->empty()) {
            *en = translation.text();
        } else if (language.empty() && untagged.empty()) {
            untagged = translation.text();
        }
    }
    if (jp->empty()) {
        *jp = !untagged.empty() ? untagged : *en;
    }
}

// "HH:MM:SS" to seconds, -1 when it is no time.
int32_t startSeconds(const std::string& text) {
    int32_t seconds = -1;
    return !text.empty() && parseGtfsTime(text, &seconds) ? seconds : -1;
}

ServiceDay startDate(const std::string& text) {
    ServiceDay day = NO_SERVICE_DAY;
    return !text.empty() && parseGtfsDate(text, &day) ? day : NO_SERVICE_DAY;
}

// A stop's event: the departure, else the arrival (a train leaves no
// earlier than it arrives).
void readStopEvent(const velmorant_rt::TripUpdate::StopTimeUpdate& given, StopUpdate* stop) {
    const velmorant_rt::TripUpdate::StopTimeEvent* event =
        given.has_departure() ? &given.departure() : (given.has_arrival() ? &given.arrival() : nullptr);
    if (event == nullptr) {
        return;
    }
    if (event->has_delay()) {
        stop->hasDelay = true;
        stop->delay = event->delay();
    }
    if (event->has_time() && event->time() > 0) {
        stop->time = instantFromUnix(event->time());
    }
}

void readTripUpdate(const velmorant_rt::TripUpdate& given, TripUpdateRecord* trip) {
    const velmorant_rt::TripDescriptor& descriptor = given.trip();
    trip->tripId = descriptor.trip_id();
    trip->routeId = descriptor.route_id();
    trip->directionId = descriptor.has_direction_id() && descriptor.direction_id() <= 1
                            ? static_cast<int32_t>(descriptor.direction_id())
                            : -1;
    trip->startTime = startSeconds(descriptor.start_time());
    trip->startDate = startDate(descriptor.start_date());
    trip->relationship = descriptor.schedule_relationship();
    trip->hasDelay = given.has_delay();
    trip->delay = given.delay();
    if (given.has_trip_properties()) {
        const auto& properties = given.trip_properties();
        trip->newTripId = properties.trip_id();
        trip->newStartDate = startDate(properties.start_date());
        trip->newStartTime = startSeconds(properties.start_time());
        trip->headsign = properties.trip_headsign();
    }
    trip->stops.reserve(static_cast<size_t>(given.stop_time_update_size()));
    for (const auto& update : given.stop_time_update()) {
        StopUpdate stop;
        stop.stopSequence = update.has_stop_sequence() && update.stop_sequence() <= INT32_MAX
                                ? static_cast<int32_t>(update.stop_sequence())
                                : -1;
        stop.stopId = update.stop_id();
        stop.skipped = update.schedule_relationship() == velmorant_rt::TripUpdate::StopTimeUpdate::SKIPPED;
        stop.noData = update.schedule_relationship() == velmorant_rt::TripUpdate::StopTimeUpdate::NO_DATA;
        readStopEvent(update, &stop);
        trip->stops.push_back(std::move(stop));
    }
    // Propagation walks the stops in their order along the trip; stops
    // named by id alone keep the feed's order.
    const bool allNumbered = std::all_of(trip->stops.begin(), trip->stops.end(),
                                         [](const StopUpdate& stop) { return stop.stopSequence >= 0; });
    if (allNumbered) {
        std::stable_sort(
            trip->stops.begin(), trip->stops.end(),
            [](const StopUpdate& a, const StopUpdate& b) { return a.stopSequence < b.stopSequence; });
    }
}

void readAlert(const std::string& id, const velmorant_rt::Alert& given, AlertRecord* alert) {
    alert->id = id;
    for (const auto& period : given.active_period()) {
        const uint64_t start = period.start();
        const uint64_t end = period.end();
        alert->periods.emplace_back(start > INT64_MAX ? INT64_MAX : static_cast<int64_t>(start),
                                    end > INT64_MAX ? INT64_MAX : static_cast<int64_t>(end));
    }
    for (const auto& selector : given.informed_entity()) {
        AlertEntity entity;
        entity.agencyId = selector.agency_id();
        entity.routeId = selector.route_id();
        entity.stopId = selector.stop_id();
        entity.tripId = selector.has_trip() ? selector.trip().trip_id() : std::string();
        alert->entities.push_back(std::move(entity));
    }
    pickTexts(given.header_text(), &alert->textJp, &alert->textEn);
}

void readVehicle(const velmorant_rt::VehiclePosition& given, VehicleRecord* vehicle) {
    vehicle->tripId = given.trip().trip_id();
    vehicle->startDate = startDate(given.trip().start_date());
    vehicle->stopSequence = given.has_current_stop_sequence() && given.current_stop_sequence() <= INT32_MAX
                                ? static_cast<int32_t>(given.current_stop_sequence())
                                : -1;
    vehicle->stopId = given.stop_id();
    vehicle->status = given.current_status();
}

}  // namespace

std::string tripStartKey(const std::string& routeId, int32_t directionId, int32_t startTime, ServiceDay day) {
    return routeId + '\x1f' + std::to_string(directionId) + '\x1f' + std::to_string(startTime) + '\x1f' +
           std::to_string(serviceDayNumber(day));
}

void indexSnapshot(RealtimeSnapshot* snapshot) {
    snapshot->tripsById.clear();
    snapshot->tripsByStart.clear();
    snapshot->vehiclesByTrip.clear();
    snapshot->newTrips.clear();
    snapshot->mostLateSeconds = 0;
    for (size_t i = 0; i < snapshot->trips.size(); ++i) {
        const TripUpdateRecord& trip = snapshot->trips[i];
        snapshot->mostLateSeconds =
            std::max<int64_t>(snapshot->mostLateSeconds, trip.hasDelay ? trip.delay : 0);
        for (const StopUpdate& stop : trip.stops) {
            snapshot->mostLateSeconds = std::max<int64_t>(
                snapshot->mostLateSeconds,
                stop.hasDelay ? stop.delay : (stop.time > std::chrono::sys_seconds{} ? INT32_MAX : 0));
        }
        if (trip.relationship == TRIP_ADDED || trip.relationship == TRIP_DUPLICATED) {
            snapshot->newTrips.push_back(i);
        }
        if (!trip.tripId.empty()) {
            snapshot->tripsById[trip.tripId].push_back(i);
        } else if (!trip.routeId.empty() && trip.startTime >= 0) {
            snapshot
                ->tripsByStart[tripStartKey(trip.routeId, trip.directionId, trip.startTime, trip.startDate)]
                .push_back(i);
        }
    }
    for (size_t i = 0; i < snapshot->vehicles.size(); ++i) {
        if (!snapshot->vehicles[i].tripId.empty()) {
            snapshot->vehiclesByTrip[snapshot->vehicles[i].tripId] = i;
        }
    }
}

bool decodeRealtimeFeed(const std::string& bytes, RealtimeSnapshot* snapshot, std::string* error) {
    *snapshot = RealtimeSnapshot{};
    velmorant_rt::FeedMessage message;
    // ParseFromString refuses a message whose required fields are missing.
    if (bytes.size() > INT32_MAX || !message.ParseFromString(bytes)) {
        *error = "not a GTFS-realtime feed (protobuf refused it)";
        return false;
    }
    if (message.header().incrementality() != velmorant_rt::FeedHeader::FULL_DATASET) {
        *error = "differential feeds are not read";
        return false;
    }
    const uint64_t timestamp = message.header().timestamp();
    snapshot->feedTime = timestamp > INT64_MAX ? 0 : static_cast<int64_t>(timestamp);
    for (const auto& entity : message.entity()) {
        if (entity.is_deleted()) {
            continue;
        }
        if (entity.has_trip_update()) {
            snapshot->trips.emplace_back();
            readTripUpdate(entity.trip_update(), &snapshot->trips.back());
        }
        if (entity.has_alert()) {
            snapshot->alerts.emplace_back();
            readAlert(entity.id(), entity.alert(), &snapshot->alerts.back());
        }
        if (entity.has_vehicle()) {
            snapshot->vehicles.emplace_back();
            readVehicle(entity.vehicle(), &snapshot->vehicles.back());
        }
    }
    indexSnapshot(snapshot);
    return true;
}

void mergeSnapshot(const RealtimeSnapshot& from, RealtimeSnapshot* into) {
    into->feedTime = std::max(into->feedTime, from.feedTime);
    into->trips.insert(into->trips.end(), from.trips.begin(), from.trips.end());
    into->alerts.insert(into->alerts.end(), from.alerts.begin(), from.alerts.end());
    into->vehicles.insert(into->vehicles.end(), from.vehicles.begin(), from.vehicles.end());
    indexSnapshot(into);
}

namespace {

void setHeader(velmorant_rt::FeedMessage* message, int64_t now) {
    message->mutable_header()->set_gtfs_realtime_version("2.0");
    message->mutable_header()->set_incrementality(velmorant_rt::FeedHeader::FULL_DATASET);
    message->mutable_header()->set_timestamp(static_cast<uint64_t>(std::max<int64_t>(0, now)));
}

void addTranslation(velmorant_rt::TranslatedString* texts, const std::string& text, const char* language) {
    if (!text.empty()) {
        auto* translation = texts->add_translation();
        translation->set_text(text);
        translation->set_language(language);
    }
}

}  // namespace

std::string encodeStaffTripUpdates(const OperatorState& state, int64_t now) {
    velmorant_rt::FeedMessage message;
    setHeader(&message, now);
    for (const ChangeRecord& record : state.changes) {
        const TrainChange& change = record.change;
        auto* entity = message.add_entity();
        auto* update = entity->mutable_trip_update();
        update->mutable_trip()->set_trip_id(change.tripId);
        update->mutable_trip()->set_start_date(formatGtfsDate(change.serviceDay));
        // One run of a trip run by frequency is named by its start time,
        // past 24 hours for a run that starts after midnight.
        std::string id = change.tripId + "@" + formatGtfsDate(change.serviceDay);
        if (change.runStart != RUN_EVERY) {
            const std::string start = formatGtfsTime(std::chrono::seconds{change.runStart});
            update->mutable_trip()->set_start_time(start);
            id += "@" + start;
        }
        entity->set_id(id);
        if (change.cancelled) {
            update->mutable_trip()->set_schedule_relationship(velmorant_rt::TripDescriptor::CANCELED);
        } else {
            update->mutable_trip()->set_schedule_relationship(velmorant_rt::TripDescriptor::SCHEDULED);
            update->set_delay(std::max(0, change.delayMinutes) * 60);
        }
        update->set_timestamp(static_cast<uint64_t>(std::max<int64_t>(0, now)));
    }
    return message.SerializeAsString();
}

std::string encodeStaffAlerts(const OperatorState& state, const StationConfig& config, int64_t now) {
    velmorant_rt::FeedMessage message;
    setHeader(&message, now);
    for (const NoticeRecord& record : state.notices) {
        if (record.ended || (record.end != 0 && record.end <= now)) {
            continue;
        }
        auto* entity = message.add_entity();
        entity->set_id("notice-" + std::to_string(record.id));
        auto* alert = entity->mutable_alert();
        auto* period = alert->add_active_period();
        period->set_start(static_cast<uint64_t>(std::max<int64_t>(0, record.start)));
        if (record.end != 0) {
            period->set_end(static_cast<uint64_t>(std::max<int64_t>(0, record.end)));
        }
        // The stops of the boards the notice is on (of every board when it
        // is on all of them).
        for (const BoardConfig& board : config.boards) {
            const bool on = record.boards.empty() || std::find(record.boards.begin(), record.boards.end(),
                                                               board.number) != record.boards.end();
            const std::string& stop = !board.stopId.empty() ? board.stopId : board.station;
            if (on && !stop.empty()) {
                alert->add_informed_entity()->set_stop_id(stop);
            }
        }
        addTranslation(alert->mutable_header_text(), record.notice.textJp, "ja");
        addTranslation(alert->mutable_header_text(), record.notice.textEn, "en");
    }
    return message.SerializeAsString();
}

std::string realtimeFeedJson(const std::string& bytes) {
    velmorant_rt::FeedMessage message;
    if (bytes.size() > INT32_MAX || !message.ParseFromString(bytes)) {
        return std::string();
    }
    std::string json;
    google::protobuf::util::JsonPrintOptions options;
    options.preserve_proto_field_names = true;
    options.add_whitespace = true;
    if (!google::protobuf::util::MessageToJsonString(message, &json, options).ok()) {
        return std::string();
    }
    return json;
}
