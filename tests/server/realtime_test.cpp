// The realtime part through its entry points, with feeds written here with
// the generated protobuf classes: what a trip update does to a stop the
// end-to-end test does not reach (no data, a time without a delay, an early
// train, a duplicated trip, stops named by id), alerts by entity, period and
// language tag, the feeds' state (malformed and old content, the age limit,
// two feeds merged), the settings, and the station's own feed read back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "gtfs-realtime.pb.h"
#include "server/realtime/realtime.h"

namespace {

constexpr int64_t NOW = 1'800'000'000;

Departure scheduledAt(const std::string& tripId, int32_t sequence, int64_t when) {
    Departure departure{};
    departure.when = instantFromUnix(when);
    departure.serviceDay = serviceDayFromNumber(20270115);
    departure.departure = 25200;
    departure.tripId = tripId;
    departure.routeId = "R";
    departure.destinations[0] = "港南";
    departure.color = 1;
    departure.stopId = "S" + std::to_string(sequence);
    departure.stopSequence = sequence;
    departure.directionId = 0;
    departure.firstDeparture = 25000;
    return departure;
}

velmorant_rt::TripUpdate* tripUpdate(velmorant_rt::FeedMessage* feed, const std::string& tripId) {
    auto* entity = feed->add_entity();
    entity->set_id(tripId);
    entity->mutable_trip_update()->mutable_trip()->set_trip_id(tripId);
    return entity->mutable_trip_update();
}

velmorant_rt::TripUpdate::StopTimeUpdate* stopUpdate(velmorant_rt::TripUpdate* trip, int32_t sequence) {
    auto* stop = trip->add_stop_time_update();
    if (sequence >= 0) {
        stop->set_stop_sequence(static_cast<uint32_t>(sequence));
    }
    return stop;
}

velmorant_rt::FeedMessage newFeed(int64_t time) {
    velmorant_rt::FeedMessage feed;
    feed.mutable_header()->set_gtfs_realtime_version("2.0");
    feed.mutable_header()->set_timestamp(static_cast<uint64_t>(time));
    return feed;
}

RealtimeSnapshot decoded(const velmorant_rt::FeedMessage& feed) {
    RealtimeSnapshot snapshot;
    std::string error;
    EXPECT_TRUE(decodeRealtimeFeed(feed.SerializeAsString(), &snapshot, &error)) << error;
    return snapshot;
}

const Departure* find(const std::vector<Departure>& live, const std::string& tripId) {
    for (const Departure& departure : live) {
        if (departure.tripId == tripId) {
            return &departure;
        }
    }
    return nullptr;
}

TEST(Realtime, TripUpdatesAtTheBoardsStop) {
    velmorant_rt::FeedMessage feed = newFeed(NOW);
    // A: 3 minutes late at stop 1, then no data at stop 2: stop 3 is not
    // guessed. B: a time (no delay) at the board's stop 3. C: early by the
    // feed. D: named by stop id alone; E: the trip's own delay.
    auto* a = tripUpdate(&feed, "A");
    stopUpdate(a, 1)->mutable_departure()->set_delay(180);
    stopUpdate(a, 2)->set_schedule_relationship(velmorant_rt::TripUpdate::StopTimeUpdate::NO_DATA);
    stopUpdate(tripUpdate(&feed, "B"), 3)->mutable_arrival()->set_time(NOW + 1000 + 150);
    stopUpdate(tripUpdate(&feed, "C"), 3)->mutable_departure()->set_delay(-120);
    auto* d = stopUpdate(tripUpdate(&feed, "D"), -1);
    d->set_stop_id("S3");
    d->mutable_departure()->set_delay(600);
    tripUpdate(&feed, "E")->set_delay(61);
    // F's update is for another day; G is duplicated 30 minutes later.
    auto* f = tripUpdate(&feed, "F");
    f->mutable_trip()->set_start_date("20270116");
    f->set_delay(900);
    auto* g = tripUpdate(&feed, "G");
    g->mutable_trip()->set_schedule_relationship(velmorant_rt::TripDescriptor::DUPLICATED);
    g->mutable_trip_properties()->set_trip_id("G-2");
    g->mutable_trip_properties()->set_start_date("20270115");
    g->mutable_trip_properties()->set_start_time("07:26:40");

    std::vector<Departure> scheduled;
    for (const char* trip : {"A", "B", "C", "D", "E", "F", "G"}) {
        scheduled.push_back(scheduledAt(trip, 3, NOW + 1000));
    }
    std::vector<Departure> live;
    std::vector<BoardNotice> notices;
    applyRealtime(decoded(feed), BoardConfig{}, scheduled, {}, NOW, &live, &notices);
    ASSERT_EQ(live.size(), 8u);
    EXPECT_EQ(unixSeconds(find(live, "A")->when), NOW + 1000);
    EXPECT_EQ(unixSeconds(find(live, "B")->when), NOW + 1150);
    EXPECT_EQ(find(live, "B")->delayMinutes, 2);
    EXPECT_EQ(unixSeconds(find(live, "C")->when), NOW + 1000);
    EXPECT_EQ(find(live, "D")->delayMinutes, 10);
    EXPECT_EQ(find(live, "E")->liveDelaySeconds, 61);
    EXPECT_EQ(unixSeconds(find(live, "F")->when), NOW + 1000);
    EXPECT_EQ(find(live, "F")->source, TRAIN_FROM_TIMETABLE);
    ASSERT_NE(find(live, "G-2"), nullptr);
    EXPECT_EQ(unixSeconds(find(live, "G-2")->when), NOW + 1000 + 1800);
    EXPECT_EQ(find(live, "G-2")->destinations[0], "港南");
    EXPECT_EQ(unixSeconds(find(live, "G")->when), NOW + 1000);  // the original still runs
    EXPECT_EQ(live.back().tripId, "G-2");                       // by time

    // Trains whose time has passed: D is still to come by the feed, A has
    // left, F is kept for staff (who set it) and E, set by staff too, is
    // left as scheduled although the feed has it late.
    scheduled = {scheduledAt("A", 3, NOW - 100), scheduledAt("D", 3, NOW - 100),
                 scheduledAt("F", 3, NOW - 100), scheduledAt("E", 3, NOW + 100)};
    const std::vector<TrainChange> staff = {{"F", serviceDayFromNumber(20270115), 5, false},
                                            {"E", serviceDayFromNumber(20270115), 1, false}};
    applyRealtime(decoded(feed), BoardConfig{}, scheduled, staff, NOW, &live, &notices);
    ASSERT_EQ(live.size(), 3u);
    EXPECT_EQ(live[0].tripId, "F");
    EXPECT_EQ(live[1].tripId, "E");
    EXPECT_EQ(unixSeconds(live[1].when), NOW + 100);
    EXPECT_EQ(live[2].tripId, "D");
    EXPECT_EQ(unixSeconds(live[2].when), NOW + 500);
}

TEST(Realtime, AlertsByEntityPeriodAndLanguage) {
    velmorant_rt::FeedMessage feed = newFeed(NOW);
    const auto alert = [&](const std::string& id, const std::string& stop, const std::string& route,
                           const std::vector<std::pair<std::string, std::string>>& texts, int64_t start,
                           int64_t end) {
        auto* entity = feed.add_entity();
        entity->set_id(id);
        auto* selector = entity->mutable_alert()->add_informed_entity();
        if (!stop.empty()) {
            selector->set_stop_id(stop);
        }
        if (!route.empty()) {
            selector->set_route_id(route);
        }
        if (start != 0 || end != 0) {
            auto* period = entity->mutable_alert()->add_active_period();
            period->set_start(static_cast<uint64_t>(start));
            period->set_end(static_cast<uint64_t>(end));
        }
        for (const auto& [language, text] : texts) {
            auto* translation = entity->mutable_alert()->mutable_header_text()->add_translation();
            translation->set_text(text);
            if (!language.empty()) {
                translation->set_language(language);
            }
        }
    };
    alert("stop", "S3", "", {{"EN-gb", "Lift out of order"}, {"JA-JP", "エレベーター停止"}}, NOW - 10,
          NOW + 10);
    alert("route", "", "R", {{"", "線路点検"}, {"en", "Track inspection"}}, 0, 0);
    alert("other stop", "S9", "", {{"ja", "他の駅"}}, 0, 0);
    alert("route elsewhere", "S9", "R", {{"ja", "他の駅の線"}}, 0, 0);
    alert("ended", "S3", "", {{"ja", "終了"}}, NOW - 100, NOW);
    auto* agency = feed.add_entity();
    agency->set_id("agency");
    agency->mutable_alert()->add_informed_entity()->set_agency_id("M");
    auto* text = agency->mutable_alert()->mutable_header_text()->add_translation();
    text->set_text("全線");
    text->set_language("ja");

    std::vector<Departure> live;
    std::vector<BoardNotice> notices;
    applyRealtime(decoded(feed), BoardConfig{}, {scheduledAt("A", 3, NOW + 100)}, {}, NOW, &live, &notices);
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[0].textJp, "エレベーター停止");
    EXPECT_EQ(notices[0].textEn, "Lift out of order");
    EXPECT_EQ(notices[1].textJp, "線路点検");
    EXPECT_EQ(notices[1].textEn, "Track inspection");
    EXPECT_EQ(notices[2].textJp, "全線");
}

TEST(Realtime, FeedsKeepTheirLastGoodDataUntilTooOld) {
    RealtimeFeedConfig trips;
    trips.maxAgeSeconds = 60;
    RealtimeFeedConfig alerts = trips;
    realtimeSetFeeds({trips, alerts});
    EXPECT_EQ(realtimeCurrent(NOW), nullptr);

    velmorant_rt::FeedMessage feed = newFeed(NOW);
    tripUpdate(&feed, "A")->set_delay(60);
    EXPECT_TRUE(realtimeFeedFetched(0, NOW, true, false, feed.SerializeAsString(), ""));
    const auto first = realtimeCurrent(NOW + 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->trips.size(), 1u);

    // Malformed, failed and old content change nothing.
    std::string cut = feed.SerializeAsString();
    cut.resize(cut.size() - 3);
    EXPECT_FALSE(realtimeFeedFetched(0, NOW + 5, true, false, cut, ""));
    EXPECT_FALSE(realtimeFeedFetched(0, NOW + 6, false, false, "", "timed out"));
    EXPECT_FALSE(realtimeFeedFetched(0, NOW + 7, true, false, newFeed(NOW - 120).SerializeAsString(), ""));
    EXPECT_EQ(realtimeCurrent(NOW + 8), first);
    const nlohmann::json failing = nlohmann::json::parse(realtimeStatusJson(NOW + 8));
    EXPECT_EQ(failing[0]["state"], "failing");
    EXPECT_EQ(failing[0]["red"], true);
    EXPECT_EQ(failing[1]["state"], "never");
    EXPECT_EQ(failing[0]["problem"], "the feed's content is 127 s old (made " + logInstant(NOW - 120) + ")");

    // A second feed's content is merged in.
    velmorant_rt::FeedMessage second = newFeed(NOW + 30);
    tripUpdate(&second, "B");
    EXPECT_TRUE(realtimeFeedFetched(1, NOW + 30, true, false, second.SerializeAsString(), ""));
    EXPECT_EQ(realtimeCurrent(NOW + 31)->trips.size(), 2u);
    // The first grows too old, then the second.
    EXPECT_EQ(realtimeCurrent(NOW + 61)->trips.size(), 1u);
    EXPECT_EQ(realtimeCurrent(NOW + 91), nullptr);
    EXPECT_EQ(nlohmann::json::parse(realtimeStatusJson(NOW + 91))[1]["state"], "stale");
    // Content stamped in the future counts from when it was fetched.
    EXPECT_TRUE(
        realtimeFeedFetched(0, NOW + 100, true, false, newFeed(NOW + 100000).SerializeAsString(), ""));
    EXPECT_NE(realtimeCurrent(NOW + 150), nullptr);
    EXPECT_EQ(realtimeCurrent(NOW + 161), nullptr);
    realtimeReset();
}

// A board keeps what the feed made of its trains between its documents:
// a new content reaches it at its own second within the spread (at once
// with the clock standing still), staff's trains and alerts' periods count
// every time.
TEST(Realtime, BoardsKeepTheFeedsTrainsUntilItChanges) {
    const auto snapshotWith = [](int32_t delay, int64_t takenAt) {
        velmorant_rt::FeedMessage feed = newFeed(NOW);
        stopUpdate(tripUpdate(&feed, "A"), 3)->mutable_departure()->set_delay(delay);
        auto* entity = feed.add_entity();
        entity->set_id("works");
        entity->mutable_alert()->add_informed_entity()->set_route_id("R");
        entity->mutable_alert()->add_active_period()->set_end(static_cast<uint64_t>(NOW + 8));
        entity->mutable_alert()->mutable_header_text()->add_translation()->set_text("工事");
        auto snapshot = std::make_shared<RealtimeSnapshot>(decoded(feed));
        snapshot->takenAt = takenAt;
        return std::shared_ptr<const RealtimeSnapshot>(std::move(snapshot));
    };
    auto timetable = std::make_shared<BoardTimetable>();
    timetable->departures = {scheduledAt("A", 3, NOW + 1000), scheduledAt("B", 3, NOW + 1100)};
    BoardConfig board;
    board.number = 3;  // takes a new content 3 s after it came
    RealtimeBoardCache cache;
    cache.timetable = timetable;
    std::vector<BoardNotice> notices;
    const auto delayOfA = [&](const std::shared_ptr<const RealtimeSnapshot>& snapshot, int64_t now,
                              const std::vector<TrainChange>& staff) {
        const std::vector<Departure>& live =
            applyRealtimeKept(snapshot, board, *timetable, staff, now, &cache, &notices);
        return find(live, "A")->liveDelaySeconds;
    };
    const auto first = snapshotWith(60, NOW - 50);
    EXPECT_EQ(delayOfA(first, NOW, {}), 60);
    EXPECT_EQ(notices.size(), 1u);
    const auto second = snapshotWith(300, NOW + 2);
    EXPECT_EQ(delayOfA(second, NOW + 2, {}), 60);
    EXPECT_EQ(delayOfA(second, NOW + 4, {}), 60);
    EXPECT_EQ(delayOfA(second, NOW + 5, {}), 300);
    // Staff setting the train wins at once; the alert ends by its period.
    EXPECT_EQ(delayOfA(second, NOW + 6, {{"A", serviceDayFromNumber(20270115), 0, false}}), 0);
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_EQ(delayOfA(second, NOW + 8, {}), 300);
    EXPECT_TRUE(notices.empty());
    // With the clock standing still a new content is taken at once.
    EXPECT_EQ(delayOfA(snapshotWith(120, NOW + 8), NOW + 8, {}), 120);
    // Another timetable is not read from the cache.
    cache.timetable = nullptr;
    EXPECT_EQ(delayOfA(second, NOW + 9, {}), 300);
}

TEST(Realtime, SettingsAndTheStationsOwnFeed) {
    std::vector<RealtimeFeedConfig> feeds;
    std::vector<std::string> problems;
    ASSERT_TRUE(readRealtimeConfig(
        "[[realtime]]\nurl = \"https://a.example/tu\"\nheaders = { \"x-api-key\" = \"k\" }\n"
        "[[realtime]]\nurl = \"http://b.example/al\"\ninterval = 30\nmax_age = 120\n",
        &feeds, &problems));
    ASSERT_EQ(feeds.size(), 2u);
    EXPECT_EQ(feeds[0].intervalSeconds, REALTIME_INTERVAL_SECONDS);
    EXPECT_EQ(feeds[0].headers, (std::vector<std::pair<std::string, std::string>>{{"x-api-key", "k"}}));
    EXPECT_EQ(feeds[1].maxAgeSeconds, 120);
    for (const char* wrong :
         {"[[realtime]]\nurl = \"ftp://a/b\"\n", "[[realtime]]\nurl = \"http://a/\"\ninterval = 0\n",
          "[[realtime]]\nurl = \"http://a/\"\nheaders = { \"k\" = \"a\\r\\nHost: b\" }\n",
          "[[realtime]]\nurl = \"http://a/\"\nurls = 1\n"}) {
        problems.clear();
        EXPECT_FALSE(readRealtimeConfig(wrong, &feeds, &problems)) << wrong;
        EXPECT_FALSE(problems.empty());
    }

    OperatorState state;
    state.changes.push_back({TrainChange{"L1", serviceDayFromNumber(20270115), 4, false}, 1});
    state.changes.push_back({TrainChange{"L2", serviceDayFromNumber(20270115), 0, true}, 1});
    NoticeRecord notice;
    notice.id = 7;
    notice.boards = {2};
    notice.notice.textJp = "階段工事";
    notice.notice.textEn = "Stairs closed";
    state.notices.push_back(notice);
    StationConfig station;
    station.boards.resize(2);
    station.boards[0].number = 1;
    station.boards[0].stopId = "P1";
    station.boards[1].number = 2;
    station.boards[1].station = "KAW";
    RealtimeSnapshot back;
    std::string error;
    ASSERT_TRUE(decodeRealtimeFeed(encodeStaffTripUpdates(state, NOW), &back, &error));
    ASSERT_EQ(back.trips.size(), 2u);
    EXPECT_EQ(back.trips[0].delay, 240);
    EXPECT_EQ(back.trips[1].relationship, TRIP_CANCELED);
    ASSERT_TRUE(decodeRealtimeFeed(encodeStaffAlerts(state, station, NOW), &back, &error));
    ASSERT_EQ(back.alerts.size(), 1u);
    EXPECT_EQ(back.alerts[0].textEn, "Stairs closed");
    ASSERT_EQ(back.alerts[0].entities.size(), 1u);
    EXPECT_EQ(back.alerts[0].entities[0].stopId, "KAW");
    EXPECT_NE(realtimeFeedJson(encodeStaffTripUpdates(state, NOW)).find("\"trip_id\": \"L1\""),
              std::string::npos);
    // Not a feed: bytes that are no protobuf, and a differential feed.
    EXPECT_FALSE(decodeRealtimeFeed("\x0a\x05garbage", &back, &error));
    velmorant_rt::FeedMessage differential = newFeed(NOW);
    differential.mutable_header()->set_incrementality(velmorant_rt::FeedHeader::DIFFERENTIAL);
    EXPECT_FALSE(decodeRealtimeFeed(differential.SerializeAsString(), &back, &error));
}

}  // namespace
