// Which trains a board shows around the night and on the days the clocks
// change, each from a small feed written here: a 24-hour line whose agency
// dates the trips after midnight on the next service day, a railway whose
// last trains leave after midnight, and a line in New York's zone.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "server/http/http.h"
#include "server/signs/signs.h"
#include "serverfixture.h"

namespace {

using FeedFiles = std::map<std::string, std::string>;

struct InlineStation {
    StationConfig config;
    StorePtr store;
    const date::time_zone* zone = nullptr;
};

// A feed of one line A - B in a zone: stops, route and calendar are the same
// for every test; the trips and their stop times are the test's own.
FeedFiles lineFeed(const std::string& zone, const std::string& trips, const std::string& stopTimes) {
    return {{"agency.txt",
             "agency_id,agency_name,agency_url,agency_timezone\nM,Metro,https://x.invalid," + zone + "\n"},
            {"stops.txt", "stop_id,stop_name\nA,Alpha\nB,Beta\n"},
            {"routes.txt", "route_id,agency_id,route_short_name,route_long_name,route_type\nR,M,R,Red,1\n"},
            {"calendar.txt",
             "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
             "D,1,1,1,1,1,1,1,20260101,20271231\n"},
            {"trips.txt", "route_id,service_id,trip_id,trip_headsign\n" + trips},
            {"stop_times.txt", "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n" + stopTimes}};
}

// Writes the feed, imports it and reads the station's configuration.
void openStation(const FeedFiles& files, const std::string& toml, InlineStation* station) {
    const std::string folder = scratchFolder("departures");
    std::system(("mkdir -p " + folder + "/feed").c_str());
    for (const auto& [name, text] : files) {
        writeText(folder + "/feed/" + name, text);
    }
    ImportReport report;
    ASSERT_EQ(importFeed(folder + "/feed", folder + "/timetable.db", &report), IMPORT_OK);
    std::vector<std::string> problems;
    const std::string text = "[server]\nstore = \"timetable.db\"\n" + toml;
    writeText(folder + "/station.toml", text);
    ASSERT_TRUE(readStationConfig(text, folder, &station->config, &problems));
    station->config.path = folder + "/station.toml";
    std::string error;
    station->store = storeOpen(station->config.store, &error);
    ASSERT_NE(station->store, nullptr) << error;
    station->zone = findZone(storeMeta(station->store.get(), "timezone"));
    ASSERT_NE(station->zone, nullptr);
}

// The document of the station's first board at a local time.
std::string boardAt(const InlineStation& station, const char* localTime) {
    int64_t now = 0;
    EXPECT_TRUE(parseLocalTime(localTime, station.zone, &now)) << localTime;
    const BoardConfig& board = station.config.boards[0];
    BoardTimetable timetable;
    buildTimetable(station.store.get(), station.zone, station.config, board,
                   operatingDay(station.config, station.zone, instantFromUnix(now)), &timetable);
    BuiltDocument document;
    buildDocument(station.config, board, timetable, station.zone, now, &document);
    EXPECT_TRUE(document.accepted) << localTime << "\n" << document.text;
    return document.text;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Trips A -> B leaving A at the given GTFS times, one trip each.
void addTrips(const std::vector<std::string>& times, std::string* trips, std::string* stopTimes) {
    for (size_t i = 0; i < times.size(); ++i) {
        const std::string id = "T" + std::to_string(i);
        *trips += "R,D," + id + ",Beta\n";
        *stopTimes +=
            id + "," + times[i] + "," + times[i] + ",A,1\n" + id + "," + times[i] + "," + times[i] + ",B,2\n";
    }
}

const char* const CLASSIC_BOARD = "[[board]]\nnumber = 1\nstop_id = \"A\"\nrows = 3\n";
const char* const END_ROW = "line=text\t本日の列車は終了しました\tService has ended for today\t\tc\n";

TEST(ServerDepartures, TwentyFourHourLineDatedAfterMidnightNeverEnds) {
    // A train every 20 minutes all day; the agency dates the ones after
    // midnight on the next service day (00:00:00, not 24:00:00).
    std::vector<std::string> times;
    for (int32_t minute = 0; minute < 24 * 60; minute += 20) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:00", minute / 60, minute % 60);
        times.push_back(text);
    }
    std::string trips;
    std::string stopTimes;
    addTrips(times, &trips, &stopTimes);
    InlineStation station;
    openStation(lineFeed("Asia/Tokyo", trips, stopTimes), CLASSIC_BOARD, &station);
    std::string board = boardAt(station, "2026-12-07T23:50");
    EXPECT_TRUE(has(board, "line=train\t0:00\tBeta\t") && has(board, "line=train\t0:20\t")) << board;
    board = boardAt(station, "2026-12-08T03:50");
    EXPECT_TRUE(has(board, "line=train\t4:00\t") && has(board, "line=train\t4:20\t")) << board;
    EXPECT_FALSE(has(board, "本日の列車は終了しました")) << board;
}

TEST(ServerDepartures, LastTrainsAfterMidnightThenEndOfServiceAndFirstTrain) {
    // The last two trains are dated on the next service day at 00:01 and
    // 00:31; the first train of the morning leaves at 5:02.
    std::string trips;
    std::string stopTimes;
    addTrips({"00:01:00", "00:31:00", "05:02:00", "23:40:00"}, &trips, &stopTimes);
    InlineStation station;
    openStation(
        lineFeed("Asia/Tokyo", trips, stopTimes),
        std::string(CLASSIC_BOARD) + "[[board]]\nnumber = 2\nstop_id = \"A\"\nstyle = \"new-style\"\n",
        &station);
    std::string board = boardAt(station, "2026-12-07T23:50");
    EXPECT_TRUE(has(board, "line=train\t0:01\t") && has(board, "line=train\t0:31\t")) << board;
    // Tomorrow's first train is named after them, not listed as a train.
    EXPECT_TRUE(!has(board, "line=train\t5:02\t") &&
                has(board, "line=text\t始発 5:02\tFirst train 5:02\t\tc\n"))
        << board;
    board = boardAt(station, "2026-12-08T00:40");
    EXPECT_TRUE(has(board, END_ROW) && has(board, "line=text\t始発 5:02\tFirst train 5:02\t\tc\n")) << board;
    board = boardAt(station, "2026-12-08T04:10");  // the new operating day, before its first train
    EXPECT_TRUE(has(board, "line=train\t5:02\t")) << board;

    // The new-style sign says the same on its two lines.
    std::swap(station.config.boards[0], station.config.boards[1]);
    board = boardAt(station, "2026-12-08T00:40");
    EXPECT_TRUE(has(board, "row=text\t本日の列車は終了しました|Service has ended for today\n") &&
                has(board, "msg=frame\t始発 5:02|First train 5:02\n"))
        << board;
}

TEST(ServerDepartures, ClockChangeDaysInNewYork) {
    std::string trips;
    std::string stopTimes;
    addTrips({"01:30:00", "04:30:00"}, &trips, &stopTimes);
    InlineStation station;
    openStation(lineFeed("America/New_York", trips, stopTimes), CLASSIC_BOARD, &station);
    // Spring forward: the 4:30 train is shown from 4:00 on, when the day
    // has started by the wall clock though only three hours have passed.
    std::string board = boardAt(station, "2026-03-08T04:10");
    EXPECT_TRUE(has(board, "line=train\t4:30\t")) << board;
    EXPECT_FALSE(has(board, "本日の列車は終了しました")) << board;

    // Fall back: 1:30 happens twice, and an offset names the second.
    int64_t first = 0;
    int64_t second = 0;
    ASSERT_TRUE(parseLocalTime("2026-11-01T01:30", station.zone, &first));
    ASSERT_TRUE(parseLocalTime("2026-11-01T01:30-05:00", station.zone, &second));
    EXPECT_EQ(second - first, 3600);
    EXPECT_FALSE(parseLocalTime("2026-11-01T01:30-5", station.zone, &second));
    // The day's times count from noon minus twelve hours, which that day is
    // the first 1:00: 01:30:00 is the second 1:30.
    board = boardAt(station, "2026-11-01T01:20-05:00");
    EXPECT_TRUE(has(board, "line=train\t1:30\t") && has(board, "\t始発 4:30\t")) << board;
    board = boardAt(station, "2026-11-01T01:40-05:00");
    EXPECT_TRUE(has(board, END_ROW) && has(board, "\t始発 4:30\t")) << board;
}

}  // namespace

namespace {

TEST(ServerDepartures, LanguageTagsCompareWithoutCase) {
    std::string trips;
    std::string stopTimes;
    addTrips({"08:00:00"}, &trips, &stopTimes);
    FeedFiles files = lineFeed("Asia/Tokyo", trips, stopTimes);
    files["trips.txt"] = "route_id,service_id,trip_id,trip_headsign\nR,D,T0,港南\n";
    files["feed_info.txt"] = "feed_publisher_name,feed_publisher_url,feed_lang\nM,https://x.invalid,JA-jp\n";
    files["translations.txt"] =
        "table_name,field_name,language,translation,record_id,field_value\n"
        "trips,trip_headsign,EN-us,Konan,,港南\ntrips,trip_headsign,KO,고난,T0,\n"
        "trips,trip_headsign,zh-hant-TW,港南站,,港南\n";
    InlineStation station;
    openStation(files,
                "[[board]]\nnumber = 1\nstop_id = \"A\"\nstyle = \"new-style\"\nlanguages = [\"j\", \"e\", "
                "\"t\", \"o\"]\n",
                &station);
    const std::string board = boardAt(station, "2026-12-07T07:50");
    EXPECT_TRUE(has(board, "row=train\t8:00\t0\t\t港南|Konan|||港南站|고난\n")) << board;
    EXPECT_EQ(languageSlotOf("en_GB"), 1);
    EXPECT_EQ(languageSlotOf("ZH-HK"), 4);
    EXPECT_EQ(languageSlotOf("ja-Latn"), -1);
}

}  // namespace

namespace {

TEST(ServerDepartures, RowsNameTheirRouteAndNothingIsInvented) {
    // Route S comes first in the feed but runs one train; R runs two. The
    // stop has no platform_code.
    std::string trips = "S,D,S0,Beta,1234M\n";
    std::string stopTimes = "S0,07:55:00,07:55:00,A,1\nS0,08:05:00,08:05:00,B,2\n";
    addTrips({"08:00:00", "08:10:00"}, &trips, &stopTimes);
    FeedFiles files = lineFeed("Asia/Tokyo", trips, stopTimes);
    files["trips.txt"] = "route_id,service_id,trip_id,trip_headsign,trip_short_name\n" + trips;
    files["routes.txt"] =
        "route_id,agency_id,route_short_name,route_long_name,route_type,route_color\n"
        "S,M,Exp,Express,1,00A000\nR,M,,Red,1,E60012\n";
    files["feed_info.txt"] = "feed_publisher_name,feed_publisher_url,feed_lang\nM,https://x.invalid,en\n";
    InlineStation station;
    openStation(files,
                "[[board]]\nnumber = 5\nstop_id = \"A\"\ntrain_template = \"{route} {train} {destination}\"\n"
                "[[board]]\nnumber = 6\nstop_id = \"A\"\nstyle = \"new-style\"\n",
                &station);
    std::string board = boardAt(station, "2026-12-07T07:50");
    EXPECT_TRUE(has(board, "line=train\t7:55\tExp 1234M Beta\tExp 1234M Beta\tG\t0\n") &&
                has(board, "line=train\t8:00\tRed Beta\tRed Beta\tR\t0\n"))
        << board;
    EXPECT_TRUE(has(board, "platform=\nlabelJp=\nlabelEn=\n")) << board;  // no "Track 5"
    std::swap(station.config.boards[0], station.config.boards[1]);
    board = boardAt(station, "2026-12-07T07:50");
    EXPECT_TRUE(has(board, "lineJp=Red\nlineEn=Red\n") && has(board, "color=E60012\n")) << board;

    // The server shares a timetable between boards of the same platform,
    // but not one made by another board's template.
    BoardApi api;
    ServerClock clock;
    clock.frozen = true;
    ASSERT_TRUE(parseLocalTime("2026-12-07T07:50", station.zone, &clock.startInstant));
    std::string error;
    Runtime* operatorSide = operatorStart(station.config.path, station.config, clock);
    ASSERT_TRUE(boardApiStart(&api, station.config, clock, operatorSide, &error)) << error;
    EXPECT_TRUE(withFreshSlot(&api, 5, [](const BoardSlot& slot) {
        EXPECT_TRUE(has(slot.shown.body, "line=train\t7:55\tExp 1234M Beta\t")) << slot.shown.body;
    }));
    EXPECT_TRUE(withFreshSlot(&api, 6, [](const BoardSlot& slot) {
        EXPECT_TRUE(has(slot.shown.body, "row=train\t7:55\t0\t\tBeta|Beta\n")) << slot.shown.body;
    }));
    operatorStop(operatorSide);
}

TEST(ServerDepartures, DocumentsBuiltAheadAreTheOnesABoardWouldGetInTheirSecond) {
    // Trains seconds apart, so that the document changes from second to second.
    std::string trips;
    std::string stopTimes;
    addTrips({"07:50:01", "07:50:02", "07:50:03", "07:50:04", "07:52:00", "07:53:00", "07:54:00"}, &trips,
             &stopTimes);
    InlineStation station;
    openStation(lineFeed("Asia/Tokyo", trips, stopTimes), CLASSIC_BOARD, &station);
    ServerClock clock;  // running from 07:50:00, its next second 100 ms away
    ASSERT_TRUE(parseLocalTime("2026-12-07T07:50", station.zone, &clock.startInstant));
    clock.startMonotonicMs = monotonicMs() - 900;
    Runtime* operatorSide = operatorStart(station.config.path, station.config, clock);
    BoardApi api;
    std::string error;
    ASSERT_TRUE(boardApiStart(&api, station.config, clock, operatorSide, &error)) << error;
    std::vector<HttpRoute> routes;
    addBoardRoutes(&api, &routes);
    HttpRequest poll;
    poll.matches = {"/api/boards/1/display.txt", "1"};
    boardBuilderStart(&api);
    int32_t builtAhead = 0;
    std::vector<std::string> served;
    for (int32_t step = 0; step < 80 && served.size() < 4; ++step) {
        HttpResponse response;
        routes[0].handler(poll, response);  // the board polls
        withFreshSlot(&api, 1, [&](const BoardSlot& slot) {
            builtAhead += slot.ahead.builtFor == slot.shown.builtFor + 1 ? 1 : 0;
            // What is served is what the board would get built in that second.
            BuiltDocument document;
            BoardTimetable timetable;
            buildTimetable(station.store.get(), station.zone, station.config, station.config.boards[0],
                           operatingDay(station.config, station.zone, instantFromUnix(slot.shown.builtFor)),
                           &timetable);
            buildDocument(station.config, station.config.boards[0], timetable, station.zone,
                          slot.shown.builtFor, &document);
            EXPECT_EQ(slot.shown.body, document.text);
            if (served.empty() || served.back() != slot.shown.body) {
                served.push_back(slot.shown.body);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    boardBuilderStop(&api);
    operatorStop(operatorSide);
    EXPECT_GT(builtAhead, 0);      // the builder worked ahead of the polls
    EXPECT_EQ(served.size(), 4u);  // the trains left one by one
}

}  // namespace

namespace {

TEST(ServerCheck, NamesUnknownStopsMissingMelodiesAndAnExpiredFeed) {
    std::string trips;
    std::string stopTimes;
    addTrips({"08:00:00"}, &trips, &stopTimes);
    FeedFiles files = lineFeed("Asia/Tokyo", trips, stopTimes);
    files["calendar.txt"] =
        "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
        "D,1,1,1,1,1,1,1,20260101,20261210\n";
    InlineStation station;
    openStation(files,
                "[[board]]\nnumber = 1\nstop_id = \"A\"\n"
                "[[board]]\nnumber = 2\nstop_id = \"Z\"\n"
                "[[board]]\nnumber = 3\nstation = \"A\"\nplatform_code = \"9\"\n"
                "[[board]]\nnumber = 4\nstop_id = \"A\"\nmelody = \"gone.mp3\"\n",
                &station);
    ServerClock clock;
    clock.frozen = true;
    ASSERT_TRUE(parseLocalTime("2026-12-01T12:00", station.zone, &clock.startInstant));
    std::vector<std::string> faults =
        stationFaults(station.config, station.store.get(), station.zone, clock.startInstant);
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_TRUE(has(faults[0], "board 2: stop_id \"Z\"")) << faults[0];
    EXPECT_TRUE(has(faults[1], "board 3: station \"A\" has no platform \"9\"")) << faults[1];
    EXPECT_TRUE(has(faults[2], "board 4: melody file")) << faults[2];
    EXPECT_EQ(checkBoards(station.config, clock), 1);

    // Five days before the calendar ends there is service; on the day after
    // it there is none for a week.
    station.config.boards.resize(1);
    EXPECT_EQ(checkBoards(station.config, clock), 0);
    ASSERT_TRUE(parseLocalTime("2026-12-11T12:00", station.zone, &clock.startInstant));
    faults = stationFaults(station.config, station.store.get(), station.zone, clock.startInstant);
    ASSERT_EQ(faults.size(), 1u);
    // The day and the time as the station's clock shows them.
    EXPECT_TRUE(
        has(faults[0], "no service on the 7 days from 2026-12-11 (it is now 2026-12-11 12:00:00+09:00)"))
        << faults[0];
    EXPECT_EQ(checkBoards(station.config, clock), 1);
}

}  // namespace

namespace {

TEST(ServerDepartures, OneLanguageFeedsShowEachTextOnceInTheStationsLanguages) {
    // An English-only feed at a station that shows English only, with its
    // own end-of-service text and phase timing.
    std::string trips;
    std::string stopTimes;
    addTrips({"08:00:00"}, &trips, &stopTimes);
    FeedFiles files = lineFeed("America/New_York", trips, stopTimes);
    files["feed_info.txt"] = "feed_publisher_name,feed_publisher_url,feed_lang\nM,https://x.invalid,en\n";
    InlineStation english;
    openStation(files,
                "[station]\nlanguages = [\"e\"]\njapanese_ms = 10000\nenglish_ms = 0\n"
                "end_of_service = \"|No more trains today\"\ncancelled = \"|Cancelled: {time}[ to "
                "{destination}]\"\n" +
                    std::string(CLASSIC_BOARD) +
                    "[[board]]\nnumber = 2\nstop_id = \"A\"\nstyle = \"new-style\"\n",
                &english);
    std::string board = boardAt(english, "2026-12-07T07:50");
    EXPECT_TRUE(has(board, "jpMs=10000\nenMs=0\nline=train\t8:00\tBeta\t\t\t0\n")) << board;
    board = boardAt(english, "2026-12-07T08:10");
    EXPECT_TRUE(has(board, "line=text\tNo more trains today\t\t\tc\nline=text\tFirst train 8:00\t\t\tc\n"))
        << board;
    // A cancellation in the station's words and language.
    BoardOverlay overlay;
    overlay.changes.push_back(TrainChange{"T0", serviceDayFromNumber(20261207), 0, true});
    BoardTimetable timetable;
    buildTimetable(english.store.get(), english.zone, english.config, english.config.boards[0],
                   serviceDayFromNumber(20261207), &timetable);
    BuiltDocument cancelled;
    buildDocument(english.config, english.config.boards[0], timetable, english.zone,
                  unixSeconds(timetable.departures[0].when) - 600, &cancelled, &overlay);
    EXPECT_TRUE(has(cancelled.text, "line=text\tCancelled: 8:00 to Beta\t\tR\tc\n")) << cancelled.text;
    std::swap(english.config.boards[0], english.config.boards[1]);
    board = boardAt(english, "2026-12-07T07:50");
    EXPECT_TRUE(has(board, "langs=e\n") && has(board, "row=train\t8:00\t0\t\t|Beta\n")) << board;

    // A Japanese-only feed: English only where the feed translates, here the
    // last station's name for a headsign that is that name.
    trips.clear();
    stopTimes.clear();
    addTrips({"09:00:00", "09:10:00"}, &trips, &stopTimes);
    files = lineFeed("Asia/Tokyo", trips, stopTimes);
    files["stops.txt"] = "stop_id,stop_name\nA,山手\nB,港南\n";
    files["trips.txt"] = "route_id,service_id,trip_id,trip_headsign\nR,D,T0,港南\nR,D,T1,港南 臨時\n";
    files["feed_info.txt"] = "feed_publisher_name,feed_publisher_url,feed_lang\nM,https://x.invalid,ja\n";
    files["translations.txt"] =
        "table_name,field_name,language,translation,record_id,field_value\nstops,stop_name,en,Konan,B,\n";
    InlineStation japanese;
    openStation(files, CLASSIC_BOARD, &japanese);
    board = boardAt(japanese, "2026-12-07T08:50");
    EXPECT_TRUE(has(board, "line=train\t9:00\t港南\tKonan\t") &&
                has(board, "line=train\t9:10\t港南 臨時\t\t"))
        << board;
}

}  // namespace

namespace {

TEST(ServerDepartures, ATrainTakingNobodyOnIsLeftOutOrShownAsNotInService) {
    std::string trips;
    std::string stopTimes;
    addTrips({"08:00:00", "08:10:00"}, &trips, &stopTimes);
    FeedFiles files = lineFeed("Asia/Tokyo", trips, "");
    files["stop_times.txt"] =
        "trip_id,arrival_time,departure_time,stop_id,stop_sequence,pickup_type\n"
        "T0,08:00:00,08:00:00,A,1,1\nT0,08:05:00,08:05:00,B,2,0\n"
        "T1,08:10:00,08:10:00,A,1,0\nT1,08:15:00,08:15:00,B,2,0\n";
    InlineStation station;
    openStation(files,
                std::string(CLASSIC_BOARD) + "melody = \"m.mp3\"\n[[board]]\nnumber = 2\nstop_id = \"A\"\n" +
                    "show_not_in_service = true\nmelody = \"m.mp3\"\n",
                &station);
    std::system(("mkdir -p " + station.config.sounds).c_str());
    writeText(station.config.sounds + "/m.mp3", "ID3melody");
    EXPECT_TRUE(has(boardAt(station, "2026-12-07T08:09:50"), "sound=m.mp3\t"));
    std::string board = boardAt(station, "2026-12-07T07:59:50");
    EXPECT_TRUE(has(board, "line=train\t8:10\t") && !has(board, "\t8:00\t")) << board;
    std::swap(station.config.boards[0], station.config.boards[1]);
    board = boardAt(station, "2026-12-07T07:59:50");
    EXPECT_TRUE(has(board, "line=train\t8:00\t回送\tNot in service\t")) << board;
    EXPECT_FALSE(has(board, "sound=")) << board;  // no melody for a train nobody boards
}

}  // namespace
