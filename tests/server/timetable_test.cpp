// The timetable side of the server through its real entry points: CSV
// records, service days and local time (a DST zone included), and the
// bundled feed imported and turned into both board documents at fixed
// clocks: calendar and calendar_dates, times past midnight, frequencies,
// translations, blinking, the approach warning and the melody event.
#include <gtest/gtest.h>

#include <cstdio>

#include "server/http/http.h"
#include "serverfixture.h"

namespace {

std::vector<std::pair<std::vector<std::string>, int32_t>> readAll(const std::string& text, bool* ok) {
    std::vector<std::pair<std::vector<std::string>, int32_t>> records;
    std::string error;
    *ok = readCsv(
        text.data(), text.size(),
        [&](const std::vector<std::string>& fields, int32_t line) { records.emplace_back(fields, line); },
        &error);
    return records;
}

TEST(ServerCsv, QuotingLineEndsAndLineNumbers) {
    bool ok = false;
    const auto records =
        readAll("\xEF\xBB\xBFid,name\r\n\r\n1,\"a, \"\"b\"\"\"\r\n2,\"two\nlines\"\n3,last", &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].first, (std::vector<std::string>{"id", "name"}));  // signature gone
    EXPECT_EQ(records[1].first, (std::vector<std::string>{"1", "a, \"b\""}));
    EXPECT_EQ(records[1].second, 3);  // the blank line 2 is skipped but counted
    EXPECT_EQ(records[2].first[1], "two\nlines");
    EXPECT_EQ(records[3].second, 6);  // after a field holding a line break
    EXPECT_EQ(records[3].first, (std::vector<std::string>{"3", "last"}));
}

TEST(ServerTime, ServiceDaysPastMidnightAndClockChanges) {
    int32_t seconds = 0;
    EXPECT_TRUE(parseGtfsTime("25:10:00", &seconds));
    EXPECT_EQ(seconds, 25 * 3600 + 600);
    EXPECT_TRUE(parseGtfsTime("5:03:09", &seconds));
    EXPECT_FALSE(parseGtfsTime("07:60:00", &seconds));
    EXPECT_FALSE(parseGtfsTime("7:00", &seconds));
    int32_t day = 0;
    EXPECT_FALSE(parseGtfsDate("20260230", &day));
    EXPECT_FALSE(parseGtfsDate("2026123 ", &day));  // eight digits, not a short day read as 3
    EXPECT_FALSE(parseGtfsDate("18991231", &day));
    ServiceDay newYearsEve{};
    ASSERT_TRUE(parseGtfsDate("20261231", &newYearsEve));
    EXPECT_EQ(serviceDayNumber(newYearsEve + date::days{1}), 20270101);
    EXPECT_EQ(formatServiceDay(newYearsEve), "2026-12-31");
    EXPECT_EQ(weekdayOf(serviceDayFromNumber(20261207)), 0);  // a Monday
    // The day a feed leaves out is written as 0 where it always was.
    EXPECT_EQ(serviceDayNumber(serviceDayFromNumber(0)), 0);
    EXPECT_EQ(serviceDayNumber(serviceDayFromNumber(20240229)), 20240229);
    // Hours past midnight stay as they are: the 25:30 of a service day.
    EXPECT_EQ(formatClock(std::chrono::seconds{25 * 3600 + 30 * 60 + 59}), "25:30");
    EXPECT_EQ(formatClock(std::chrono::seconds{5 * 60}), "0:05");
    EXPECT_EQ(formatGtfsTime(std::chrono::seconds{25 * 3600 + 600}), "25:10:00");

    const date::time_zone* tokyo = findZone("Asia/Tokyo");
    ASSERT_NE(tokyo, nullptr);
    EXPECT_EQ(findZone("Mars/Olympus"), nullptr);
    // 25:10 of a service day is ten past one on the next local date.
    const std::chrono::sys_seconds late =
        serviceDayStart(tokyo, serviceDayFromNumber(20261207)) + std::chrono::seconds{25 * 3600 + 600};
    EXPECT_EQ(formatClock(tokyo, late), "1:10");
    EXPECT_EQ(serviceDayNumber(ServiceDay{localDate(tokyo, late)}), 20261208);

    // New York springs forward on 2026-03-08: the service day starts at
    // noon minus twelve hours, 23:00 of the day before, so 08:00:00 is
    // still eight o'clock on the wall clock.
    const date::time_zone* newYork = findZone("America/New_York");
    ASSERT_NE(newYork, nullptr);
    const ServiceDay springForward = serviceDayFromNumber(20260308);
    const std::chrono::sys_seconds start = serviceDayStart(newYork, springForward);
    const std::chrono::hours eight{8};
    EXPECT_EQ(formatClock(newYork, start), "23:00");
    EXPECT_EQ(formatClock(newYork, start + eight), "8:00");
    EXPECT_EQ(formatLocalTime(newYork, start + eight), "2026-03-08T08:00:00");
    // Service days stay 24 hours apart though that local day has 23.
    const ServiceDay next = springForward + date::days{1};
    EXPECT_EQ(serviceDayStart(newYork, next) - start, std::chrono::hours{24});
    EXPECT_EQ(formatClock(newYork, serviceDayStart(newYork, next)), "0:00");
    int64_t instant = 0;
    ASSERT_TRUE(parseLocalTime("2026-03-08 08:00", newYork, &instant));
    EXPECT_EQ(instantFromUnix(instant), start + eight);
    EXPECT_FALSE(parseLocalTime("2026-03-08T8:00", newYork, &instant));
}

TEST(ServerLog, LinesAndFaultTimesCarryTheStationsLocalTimeAndOffset) {
    const date::time_zone* newYork = findZone("America/New_York");
    ASSERT_NE(newYork, nullptr);
    // Summer time, then the two 1:30s of the night the clocks go back,
    // each written so that --now reads it back as the same instant.
    int64_t instant = 0;
    ASSERT_TRUE(parseLocalTime("2026-07-01T09:15:30", newYork, &instant));
    EXPECT_EQ(formatLocalInstant(newYork, instant), "2026-07-01 09:15:30-04:00");
    ASSERT_TRUE(parseLocalTime("2026-11-01T01:30-04:00", newYork, &instant));
    EXPECT_EQ(formatLocalInstant(newYork, instant), "2026-11-01 01:30:00-04:00");
    const std::string second = formatLocalInstant(newYork, instant + 3600);
    EXPECT_EQ(second, "2026-11-01 01:30:00-05:00");
    int64_t readBack = 0;
    ASSERT_TRUE(parseLocalTime(second, newYork, &readBack));
    EXPECT_EQ(readBack, instant + 3600);
    EXPECT_EQ(formatLocalInstant(findZone("Asia/Tokyo"), instant), "2026-11-01 14:30:00+09:00");

    // A log line is stamped by the server's clock (as --now sets it) in the
    // feed's zone, and a text from outside cannot start a line of its own.
    ServerClock clock;
    clock.startInstant = instant + 3600;
    clock.frozen = true;
    logUseClock(clock);
    logUseZone(newYork);
    testing::internal::CaptureStderr();
    serverLog("failed login for \"x\nvelmorant-server: forged\\\"");
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(logInstant(instant), "2026-11-01 01:30:00-04:00");
    logUseClock(ServerClock{});
    logUseZone(nullptr);
    EXPECT_EQ(logged,
              "2026-11-01 01:30:00-05:00 velmorant-server: failed login for \"x\\x0Avelmorant-server: "
              "forged\\x5C\"\n");
}

const char* const STATION = R"(
[server]
store = "timetable.db"
[[board]]
number = 1
name = "1番線"
station = "KAW"
platform_code = "1"
rows = 3
melody = "line1/chime.mp3"
route_colors = { X = "W" }
[[board]]
number = 2
style = "new-style"
stop_id = "KAW-1"
languages = ["j", "e", "o"]
approach_seconds = 120
[[board]]
number = 3
stop_id = "KAW"
)";

struct Station {
    std::string folder;
    StationConfig config;
    StorePtr store;
    const date::time_zone* zone = nullptr;
};

// The document a board gets at a local time.
std::string documentAt(Station* station, int32_t boardIndex, const char* localTime) {
    int64_t now = 0;
    EXPECT_TRUE(parseLocalTime(localTime, station->zone, &now)) << localTime;
    const BoardConfig& board = station->config.boards[static_cast<size_t>(boardIndex)];
    BoardTimetable timetable;
    buildTimetable(station->store.get(), station->zone, station->config, board,
                   operatingDay(station->config, station->zone, instantFromUnix(now)), &timetable);
    BuiltDocument document;
    buildDocument(station->config, board, timetable, station->zone, now, &document);
    EXPECT_TRUE(document.accepted) << localTime << "\n" << document.text;
    return document.text;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ServerTimetable, BundledFeedGivesBothDocumentsAtFixedClocks) {
    Station station;
    station.folder = scratchFolder("timetable");
    ImportReport report;
    ASSERT_EQ(importFeed(bundledFeed(), station.folder + "/timetable.db", &report), IMPORT_OK);
    EXPECT_EQ(report.faultCount, 0);
    std::vector<std::string> problems;
    ASSERT_TRUE(readStationConfig(STATION, station.folder, &station.config, &problems));
    std::system(("mkdir -p " + station.folder + "/sounds/line1 && printf 'ID3chime' > " + station.folder +
                 "/sounds/line1/chime.mp3")
                    .c_str());
    std::string error;
    station.store = storeOpen(station.config.store, &error);
    ASSERT_NE(station.store, nullptr) << error;
    station.zone = findZone(storeMeta(station.store.get(), "timezone"));
    ASSERT_NE(station.zone, nullptr);

    // Monday morning: weekday trains only, the one within a minute blinks,
    // translated English, a route colour from the configuration (X white)
    // and one from route_color (0072BC nearest blue). The departure 15 s
    // away is inside the melody's 20 s lead: age 5, size of the file.
    std::string classic = documentAt(&station, 0, "2026-12-07T07:00:15");
    EXPECT_TRUE(has(classic, "line=train\t7:00\t港南\tKonan\tB\t1\n")) << classic;
    EXPECT_TRUE(has(classic, "line=train\t7:20\t港南\tKonan\tB\t0\n"))
        << classic;  // from the last stop's name
    EXPECT_TRUE(has(classic, "line=train\t7:40\t港南 \"快速\"\t\tW\t0\n")) << classic;
    EXPECT_TRUE(has(classic, "sound=line1/chime.mp3\tL101@20261207+25230\t5\t8\n")) << classic;
    EXPECT_FALSE(has(classic, "8:00"));  // the weekend train

    // Once it has left, the train is gone and so is the melody.
    classic = documentAt(&station, 0, "2026-12-07T07:00:31");
    EXPECT_FALSE(has(classic, "\t7:00\t"));
    EXPECT_FALSE(has(classic, "sound="));

    // Late evening: the 24:10:00 train of Monday's service shows as 0:10,
    // still Monday's train after midnight; then the day is over.
    classic = documentAt(&station, 0, "2026-12-07T23:59:00");
    EXPECT_TRUE(has(classic, "line=train\t0:10\t港南\tKonan\tB\t0\n")) << classic;
    classic = documentAt(&station, 0, "2026-12-08T00:09:00");
    EXPECT_TRUE(has(classic, "line=train\t0:10\t")) << classic;
    classic = documentAt(&station, 0, "2026-12-08T00:11:00");
    EXPECT_TRUE(has(classic, "line=text\t本日の列車は終了しました\tService has ended for today\t\tc\n"))
        << classic;

    // Wednesday 23 December: calendar_dates removes the weekday service and
    // adds the weekend one.
    classic = documentAt(&station, 0, "2026-12-23T06:00");
    EXPECT_TRUE(has(classic, "rows=3\nline=train\t8:00\t港南")) << classic;
    EXPECT_FALSE(has(classic, "\t7:00\t港南\tKonan\tB\t0\nline=train\t8:00")) << classic;

    // The frequency trip: every 30 minutes from 10:00, reaching this stop
    // five minutes after it starts, the last one before 12:00.
    classic = documentAt(&station, 0, "2026-12-08T10:06");
    EXPECT_TRUE(has(classic, "\t10:35\t") && has(classic, "\t11:05\t") && has(classic, "\t11:35\t"))
        << classic;
    EXPECT_FALSE(has(classic, "\t10:05\t"));

    // A station's board shows every platform; the untimed call at platform
    // 2 gets the time halfway between its neighbours.
    classic = documentAt(&station, 2, "2026-12-07T07:10");
    EXPECT_TRUE(has(classic, "line=train\t7:15\t山手\tYamate\tB\t0\nline=train\t7:20\t港南")) << classic;

    // New-style: the next train, then the one after; within 120 s the
    // approach warning takes the lower line. Korean comes from the feed's
    // translation, the other configured languages fall back to Japanese.
    std::string sign = documentAt(&station, 1, "2026-12-07T06:50:00");
    EXPECT_TRUE(has(sign, "row=train\t7:00\t0\t\t港南|Konan||||고난\n")) << sign;
    EXPECT_TRUE(has(sign, "msg=train\t7:20\t0\t\t港南|Konan\n")) << sign;  // by the stop's name
    sign = documentAt(&station, 1, "2026-12-07T07:10:00");
    EXPECT_TRUE(has(sign, "msg=train\t7:40\t0\t\t港南 \"快速\"\n")) << sign;
    EXPECT_TRUE(has(sign, "lineEn=Minami Coast Line\n") && has(sign, "color=0072BC\n")) << sign;
    sign = documentAt(&station, 1, "2026-12-07T07:18:30");
    EXPECT_TRUE(has(sign, "msg=approach\t接近|Approaching\t")) << sign;
    EXPECT_FALSE(has(sign, "sound="));  // this board has no melody
    sign = documentAt(&station, 1, "2026-12-08T01:00");
    EXPECT_TRUE(has(sign, "row=text\t本日の列車は終了しました|Service has ended for today\n")) << sign;
    station.store.reset();
}

}  // namespace

namespace {

// Feed texts are outside input: whatever they hold, the document stays one
// line per field, fits the board's fields and is accepted by its reader.
TEST(ServerDocuments, HostileFeedTextsStillMakeAcceptedDocuments) {
    StationConfig config;
    std::vector<std::string> problems;
    ASSERT_TRUE(
        readStationConfig("[[board]]\nnumber = 1\nstop_id = \"A\"\n[[board]]\nnumber = 2\nstop_id = "
                          "\"A\"\nstyle = \"new-style\"\n",
                          "/nowhere", &config, &problems));
    const date::time_zone* zone = findZone("Asia/Tokyo");
    BoardTimetable timetable;
    timetable.operatingDay = serviceDayFromNumber(20261207);
    timetable.platform = "1\n2\t3|4 and more";
    Departure departure{};
    departure.when = serviceDayStart(zone, serviceDayFromNumber(20261207)) + std::chrono::hours{8};
    departure.serviceDay = serviceDayFromNumber(20261207);
    departure.tripId = "T\tend\n";
    departure.destinations[0] = "東京\t\xFF\xC3 end=\nline=text|" + std::string(700, 'x');
    departure.destinations[1] = std::string("Tokyo\0|\r", 8) + "\xF0\x9F\x9A\x83";
    departure.color = 3;
    timetable.departures.push_back(departure);
    for (const BoardConfig& board : config.boards) {
        BuiltDocument document;
        buildDocument(config, board, timetable, zone, unixSeconds(departure.when) - 30, &document);
        EXPECT_TRUE(document.accepted) << document.text;
        EXPECT_EQ(document.text.find("\nline=text"), std::string::npos) << document.text;
        EXPECT_EQ(document.text.find('\r'), std::string::npos);
    }
}

}  // namespace

namespace {

// A departure's texts are shared between copies: a copy changed (as the live
// feed changes a train) never changes the departure it came from, and the
// pool gives equal ids one block until nothing but the pool holds them.
TEST(ServerTimetable, SharedTextsAreCopiedOnWriteAndPooled) {
    Departure scheduled{};
    scheduled.destinations[0] = "東京";
    scheduled.destinations[1] = "Tokyo";
    scheduled.tripId = "T1";
    Departure train = scheduled;
    EXPECT_EQ(train.destinations.shared.block, scheduled.destinations.shared.block);
    std::fill(std::begin(train.destinations), std::end(train.destinations), std::string());
    train.destinations[0] = "新宿";
    train.tripId = std::string("T2");
    EXPECT_EQ(scheduled.destinations[0], "東京");
    EXPECT_EQ(scheduled.destinations[1], "Tokyo");
    EXPECT_EQ(train.destinations[0], "新宿");
    EXPECT_EQ(train.destinations[1], "");
    EXPECT_TRUE(scheduled.tripId == "T1" && train.tripId == std::string("T2") &&
                !(train.tripId == scheduled.tripId));
    EXPECT_EQ("x" + scheduled.tripId + '@', "xT1@");
    const std::string* texts = scheduled.destinations;
    EXPECT_EQ(texts[1], "Tokyo");
    EXPECT_EQ(Departure{}.trainTexts[5], "");

    TextPool pool;
    pool.sweepAt = 2;
    SharedText kept = poolText(&pool, "R1");
    EXPECT_EQ(poolText(&pool, "R1").shared.block, kept.shared.block);
    poolText(&pool, "R2");  // held by nobody once returned
    EXPECT_EQ(pool.texts.size(), 2U);
    SharedText other = poolText(&pool, "R3");  // past sweepAt: R2 goes, R1 stays
    EXPECT_EQ(pool.texts.size(), 2U);
    EXPECT_EQ(poolText(&pool, "R1").shared.block, kept.shared.block);
    EXPECT_EQ(other.str(), "R3");
    EXPECT_TRUE(poolText(&pool, "").empty());
}

}  // namespace
