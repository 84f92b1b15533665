// The import's rules, each driven by a small feed written here: a feed that
// lost itself (a quote never closed, a table emptied, a shrink) refused with
// the store kept; two imports at once; duplicate rows and ambiguous zips;
// size limits and fault texts; a GTFS-JP feed's translations and headsigns.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "server/http/http.h"
#include "serverfixture.h"

namespace {

const std::map<std::string, std::string> BASE_FEED = {
    {"agency.txt", "agency_name,agency_timezone\nTest Rail,Asia/Tokyo\n"},
    {"stops.txt", "stop_id,stop_name\nA,Alpha\nB,Beta\nC,Gamma\n"},
    {"routes.txt", "route_id,route_short_name\nR,Red\n"},
    {"calendar.txt",
     "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
     "WD,1,1,1,1,1,1,1,20260101,20261231\n"},
    {"trips.txt", "route_id,service_id,trip_id,trip_headsign\nR,WD,T1,Gamma\nR,WD,T2,Gamma\n"},
    {"stop_times.txt",
     "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
     "T1,08:00:00,08:00:00,A,1\nT1,08:10:00,08:10:00,B,2\nT1,08:20:00,08:20:00,C,3\n"
     "T2,09:00:00,09:00:00,A,1\nT2,09:10:00,09:10:00,B,2\nT2,09:20:00,09:20:00,C,3\n"}};

// The base feed with some files replaced (an empty text removes the file).
std::string writeFeed(const std::string& folder, const std::map<std::string, std::string>& changes) {
    const std::string feed = folder + "/feed";
    std::system(("rm -rf " + feed + " && mkdir -p " + feed).c_str());
    std::map<std::string, std::string> files = BASE_FEED;
    for (const auto& [name, text] : changes) {
        files[name] = text;
    }
    for (const auto& [name, text] : files) {
        if (!text.empty()) {
            writeText(feed + "/" + name, text);
        }
    }
    return feed;
}

// The calls the store holds at A, B and C; -1 when it cannot be opened.
int64_t storedCalls(const std::string& store) {
    std::string error;
    StorePtr opened = storeOpen(store, &error);
    if (opened == nullptr) {
        return -1;
    }
    const int64_t calls = static_cast<int64_t>(storeCallsAt(opened.get(), {"A", "B", "C"}).size());
    opened.reset();
    return calls;
}

bool hasFault(const ImportReport& report, const std::string& part) {
    for (const std::string& fault : report.faults) {
        if (fault.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(ImportRefusals, AFeedThatLostItselfNeverReplacesTheStore) {
    const std::string folder = scratchFolder("refusals");
    const std::string store = folder + "/timetable.db";
    ImportReport first;
    ASSERT_EQ(importFeed(writeFeed(folder, {}), store, &first), IMPORT_OK);
    ASSERT_EQ(storedCalls(store), 6);

    const std::string header = "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n";
    const std::pair<std::string, std::string> lost[] = {
        // A stray quote swallows the rest of the file as one field.
        {header + "T1,08:00:00,08:00:00,A,1\nT1,\"08:10:00,08:10:00,B,2\nT1,08:20:00,08:20:00,C,3\n",
         "stop_times.txt: line 3: a quoted field is never closed"},
        {header, "stop_times.txt: no usable row"},
        {header + "T1,8h,8h,A,1\nT2,9h,9h,A,1\n", "stop_times.txt: no usable row"},
        // Two of the six stop times: fewer than half the store's.
        {header + "T1,08:00:00,08:00:00,A,1\nT1,08:10:00,08:10:00,B,2\n",
         "stop_times.txt: keeps 2 stop times of the 6"},
    };
    for (const auto& [stopTimes, reason] : lost) {
        ImportReport report;
        EXPECT_EQ(importFeed(writeFeed(folder, {{"stop_times.txt", stopTimes}}), store, &report),
                  IMPORT_REFUSED);
        EXPECT_EQ(report.refusal.rfind(reason, 0), 0u) << report.refusal;
        EXPECT_EQ(storedCalls(store), 6);
        EXPECT_NE(access((store + ".new").c_str(), F_OK), 0);
    }
    // The operator may accept a shrink; a broken file stays refused.
    ImportOptions accept;
    accept.acceptShrink = true;
    ImportReport shrunk;
    EXPECT_EQ(importFeed(writeFeed(folder, {{"stop_times.txt", lost[3].first}}), store, &shrunk, accept),
              IMPORT_OK);
    EXPECT_EQ(storedCalls(store), 2);
    EXPECT_EQ(importFeed(writeFeed(folder, {{"stop_times.txt", lost[0].first}}), store, &shrunk, accept),
              IMPORT_REFUSED);

    // The program: exit 1 with the reason on one line, exit 0 imported.
    writeFeed(folder, {{"stop_times.txt", lost[0].first}});
    const std::string command = std::string(VELMORANT_SERVER_BINARY) + " import " + folder +
                                "/feed --store " + store + " > " + folder + "/out.txt";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream out(folder + "/out.txt");
    std::string line;
    std::string last;
    while (std::getline(out, line)) {
        last = line;
    }
    EXPECT_EQ(last.rfind("refused: stop_times.txt: line 3: a quoted field", 0), 0u) << last;
    writeFeed(folder, {});
    status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(storedCalls(store), 6);
}

TEST(ImportRefusals, ASecondImportWhileOneRunsIsRefusedAndTheStoreStaysWhole) {
    const std::string folder = scratchFolder("twice");
    const std::string store = folder + "/timetable.db";
    const std::string feed = writeFeed(folder, {});
    ImportReport report;
    ASSERT_EQ(importFeed(feed, store, &report), IMPORT_OK);

    const pid_t child = fork();
    if (child == 0) {
        // Held between building the new store and putting it in place.
        setenv("VELMORANT_IMPORT_PAUSE_MS", "1500", 1);
        ImportReport childReport;
        _exit(importFeed(feed, store, &childReport));
    }
    for (int i = 0; i < 400 && access((store + ".new").c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ImportReport second;
    EXPECT_EQ(importFeed(feed, store, &second), IMPORT_REFUSED);
    EXPECT_EQ(second.refusal, store + ".lock: another import of this store is running");
    EXPECT_EQ(storedCalls(store), 6);  // the live store is untouched meanwhile
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == IMPORT_OK);
    EXPECT_EQ(storedCalls(store), 6);
    EXPECT_EQ(importFeed(feed, store, &second), IMPORT_OK);  // the lock went with the first import
}

TEST(ImportRows, DuplicateCallsAreKeptOnceAndScatteredTripsPutInOrder) {
    const std::string folder = scratchFolder("duplicates");
    const std::string store = folder + "/timetable.db";
    // T1's calls are split by T2's; its stop_sequence 1 comes three times,
    // once after T2; its call at B has no time.
    const std::string stopTimes =
        "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
        "T1,08:00:00,08:00:00,A,1\nT1,08:00:00,08:00:00,A,1\nT1,,,B,2\n"
        "T2,09:00:00,09:00:00,A,1\nT2,09:10:00,09:10:00,B,2\nT2,09:20:00,09:20:00,C,3\n"
        "T1,08:20:00,08:20:00,C,3\nT1,07:00:00,07:00:00,A,1\n";
    const std::string frequencies =
        "trip_id,start_time,end_time,headway_secs\nT2,10:00:00,11:00:00,600\nT2,10:00:00,11:00:00,600\n";
    ImportReport report;
    ASSERT_EQ(importFeed(writeFeed(folder, {{"stop_times.txt", stopTimes}, {"frequencies.txt", frequencies}}),
                         store, &report),
              IMPORT_OK);
    EXPECT_EQ(report.stopTimes, 6);
    EXPECT_TRUE(hasFault(report, "stop_times.txt:3: trip_id \"T1\" has stop_sequence 1 more than once"));
    EXPECT_TRUE(hasFault(report, "stop_times.txt: trip_id \"T1\" has stop_sequence 1 more than once"));
    EXPECT_TRUE(hasFault(report, "frequencies.txt:3: trip_id \"T2\" has start_time 10:00:00 more than once"));
    EXPECT_EQ(report.faultCount, 3);
    std::string error;
    StorePtr opened = storeOpen(store, &error);
    ASSERT_NE(opened.get(), nullptr) << error;
    const auto departures = [&](const std::string& stop) {
        std::map<std::string, int32_t> byTrip;
        for (const CallRecord& call : storeCallsAt(opened.get(), {stop})) {
            byTrip[call.tripId] = call.departure;
            EXPECT_EQ(call.terminates, stop == "C");
        }
        return byTrip;
    };
    // The first row of sequence 1 is kept; B's time lies between A's and C's.
    EXPECT_EQ(departures("A"), (std::map<std::string, int32_t>{{"T1", 8 * 3600}, {"T2", 9 * 3600}}));
    EXPECT_EQ(departures("B"),
              (std::map<std::string, int32_t>{{"T1", 8 * 3600 + 600}, {"T2", 9 * 3600 + 600}}));
    EXPECT_EQ(departures("C").size(), 2u);
    EXPECT_EQ(storeFrequencies(opened.get(), "T2").size(), 1u);
    opened.reset();
}

// A zip written by Python's zipfile, which (unlike libzip) writes a name twice.
std::string writeZip(const std::string& path, const std::string& entries) {
    const std::string script =
        "import zipfile,warnings\nwarnings.simplefilter('ignore')\n"
        "z=zipfile.ZipFile('" +
        path + "','w',zipfile.ZIP_DEFLATED)\n" + entries + "z.close()\n";
    writeText(path + ".py", script);
    EXPECT_EQ(std::system(("python3 " + path + ".py").c_str()), 0);
    return path;
}

std::string zipEntries(const std::string& folder) {
    std::string entries;
    for (const auto& [name, text] : BASE_FEED) {
        std::string escaped;
        for (char c : text) {
            escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        entries += "z.writestr('" + folder + name + "','" + escaped + "')\n";
    }
    return entries;
}

TEST(ImportSource, AmbiguousZipsAndOversizedFilesAreRefusedByName) {
    const std::string folder = scratchFolder("zips");
    const std::string store = folder + "/timetable.db";
    ImportReport report;
    ASSERT_EQ(importFeed(writeZip(folder + "/one.zip", zipEntries("gtfs/")), store, &report), IMPORT_OK);

    const std::string twice =
        writeZip(folder + "/twice.zip", zipEntries("") +
                                            "z.writestr('agency.txt','agency_name,agency_"
                                            "timezone\\nOther,Europe/London\\n')\n");
    ImportReport duplicate;
    EXPECT_EQ(importFeed(twice, store, &duplicate), IMPORT_REFUSED);
    EXPECT_EQ(duplicate.refusal, twice + ": the zip holds \"agency.txt\" twice");

    const std::string two = writeZip(folder + "/two.zip", zipEntries("east/") + zipEntries("west/"));
    ImportReport twoFeeds;
    EXPECT_EQ(importFeed(two, store, &twoFeeds), IMPORT_REFUSED);
    EXPECT_EQ(twoFeeds.refusal,
              two + ": the zip holds two feeds: \"east/agency.txt\" and \"west/agency.txt\"");

    // Past the limit on what one file may expand to, in a zip or a folder.
    ImportOptions small;
    small.entrySizeLimit = 100;
    ImportReport bomb;
    EXPECT_EQ(importFeed(folder + "/one.zip", store, &bomb, small), IMPORT_REFUSED);
    EXPECT_EQ(bomb.refusal, "calendar.txt: expands to 123 bytes, more than the limit of 100");
    EXPECT_EQ(importFeed(writeFeed(folder, {}), store, &bomb, small), IMPORT_REFUSED);
    EXPECT_EQ(bomb.refusal, "calendar.txt: larger than the limit of 100 bytes");
    EXPECT_EQ(storedCalls(store), 6);
}

TEST(ImportRows, FaultTextsAreShortEscapedAndNameLongTrips) {
    const std::string folder = scratchFolder("texts");
    const std::string store = folder + "/timetable.db";
    const std::string stopTimes = std::string("trip_id,departure_time,stop_id,stop_sequence\n") +
                                  "T1,08:00:00,A,1\nT1,999:00:00,B,2\nT" + std::string(1, '\0') +
                                  "9,08:00:00,A,1\nT2,09:00:00," + std::string(100000, 'x') +
                                  ",1\nT2,09:00:00,A,1\nT2,09:10:00,C,2\n";
    ImportReport report;
    ASSERT_EQ(importFeed(writeFeed(folder, {{"stop_times.txt", stopTimes}}), store, &report), IMPORT_OK);
    ASSERT_EQ(report.faults.size(), 3u);
    EXPECT_EQ(report.faults[0],
              "stop_times.txt:3: warning: time 999:00:00 is more than 48 hours into the service day (kept)");
    EXPECT_EQ(report.faults[1], "stop_times.txt:4: unknown trip_id \"T\\x009\"");
    EXPECT_EQ(report.faults[2].size(), FAULT_TEXT_LIMIT);
    EXPECT_EQ(report.stopTimes, 4);
}

TEST(ImportGtfsJp, TranslationsOfBothFormsAndStopHeadsigns) {
    const std::string folder = scratchFolder("gtfsjp");
    const std::string store = folder + "/timetable.db";
    ImportReport report;
    ASSERT_EQ(importFeed(std::string(VELMORANT_SOURCE_DIR) + "/tests/server/feed-jp", store, &report),
              IMPORT_OK)
        << (report.faults.empty() ? "" : report.faults[0]);
    EXPECT_EQ(report.faultCount, 0) << report.faults[0];
    std::string error;
    StorePtr opened = storeOpen(store, &error);
    ASSERT_NE(opened.get(), nullptr) << error;
    // The older form translates a text wherever it appears; readings are
    // not kept; the standard form still answers by record.
    EXPECT_EQ(storeTranslation(opened.get(), "stops", "stop_name", "en", "", "鷺ノ森"), "Saginomori");
    EXPECT_EQ(storeTranslation(opened.get(), "trips", "trip_headsign", "en", "", "鷺ノ森"), "Saginomori");
    EXPECT_EQ(storeTranslation(opened.get(), "stops", "stop_name", "ja-Hrkt", "", "鷺ノ森"), "");
    EXPECT_EQ(storeTranslation(opened.get(), "routes", "route_long_name", "en", "KS", "かすみ線"),
              "Kasumi Line");
    // The destination changes along the trip: the stop's headsign wins.
    std::map<std::string, std::string> headsigns;
    for (const CallRecord& call : storeCallsAt(opened.get(), {"KS01", "KS03"})) {
        headsigns[call.tripId + "@" + std::to_string(call.departure / 60)] = call.headsign;
    }
    opened.reset();
    EXPECT_EQ(headsigns["W101@" + std::to_string(7 * 60)], "鷺ノ森");
    EXPECT_EQ(headsigns["W101@" + std::to_string(7 * 60 + 10)], "霞ヶ丘");
}

}  // namespace
