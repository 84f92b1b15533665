// The server program from the outside: import faults and refusals that keep
// the old store, the station configuration's checks, and "serve" answering
// HTTP/1.0 board requests on loopback, melodies included, switching to a
// re-imported store while it runs and ending cleanly on SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "server/http/http.h"
#include "serverfixture.h"

namespace {

std::string copyOfFeed(const std::string& folder) {
    const std::string feed = folder + "/feed";
    std::system(("cp -r " + bundledFeed() + " " + feed).c_str());
    return feed;
}

TEST(ServerImport, FaultsAreReportedAndARefusedFeedKeepsTheOldStore) {
    const std::string folder = scratchFolder("import");
    const std::string store = folder + "/timetable.db";
    // What an import that was killed left behind is no obstacle.
    writeText(store + ".new", "half a store");
    ImportReport first;
    ASSERT_EQ(importFeed(bundledFeed(), store, &first), IMPORT_OK);

    // A second import while one runs is refused.
    const int running = open((store + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_EQ(flock(running, LOCK_EX), 0);
    ImportReport second;
    EXPECT_EQ(importFeed(bundledFeed(), store, &second), IMPORT_REFUSED);
    close(running);

    // Bad rows are skipped and reported with file and line; past 100 only
    // counted.
    const std::string feed = copyOfFeed(folder);
    std::string stopTimes =
        "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
        "L101,07:00:00,07:00:30,KAW-1,2\n"
        "NOPE,07:00:00,07:00:30,KAW-1,2\n"
        "L101,07:00:00,7h,KAW-1,3\n";
    for (int i = 0; i < 120; ++i) {
        stopTimes += "L101,07:00:00,07:00:00,GONE,9\n";
    }
    writeText(feed + "/stop_times.txt", stopTimes);
    writeText(feed + "/frequencies.txt", "");  // an empty optional file is no fault
    ImportReport faulty;
    ImportOptions shrinkAccepted;
    shrinkAccepted.acceptShrink = true;  // one good row of the store's many
    ASSERT_EQ(importFeed(feed, store, &faulty, shrinkAccepted), IMPORT_OK);
    EXPECT_EQ(faulty.faultCount, 122);
    ASSERT_EQ(faulty.faults.size(), 100u);
    EXPECT_EQ(faulty.faults[0], "stop_times.txt:3: unknown trip_id \"NOPE\"");
    EXPECT_EQ(faulty.faults[1], "stop_times.txt:4: time \"7h\" is not H:MM:SS");
    EXPECT_EQ(faulty.stopTimes, 1);

    // A missing required column or file refuses the feed; the store stays.
    writeText(feed + "/stop_times.txt", "trip_id,departure_time,stop_id\nL101,07:00:30,KAW-1\n");
    std::remove((feed + "/calendar.txt").c_str());
    std::remove((feed + "/calendar_dates.txt").c_str());
    ImportReport refused;
    EXPECT_EQ(importFeed(feed, store, &refused), IMPORT_REFUSED);
    bool columnReported = false;
    bool calendarReported = false;
    for (const std::string& fault : refused.faults) {
        columnReported |= fault == "stop_times.txt:1: required column stop_sequence missing";
        calendarReported |= fault.rfind("calendar.txt: required file missing", 0) == 0;
    }
    EXPECT_TRUE(columnReported && calendarReported);
    std::string error;
    StorePtr kept = storeOpen(store, &error);
    ASSERT_NE(kept.get(), nullptr) << error;
    EXPECT_EQ(storeCallsAt(kept.get(), {"KAW-1"}).size(), 1u);  // the faulty feed's one good row
    kept.reset();
    EXPECT_NE(access((store + ".new").c_str(), F_OK), 0);
}

TEST(ServerImport, AnImportKilledHalfwayLeavesTheOldStore) {
    const std::string folder = scratchFolder("killed");
    const std::string store = folder + "/timetable.db";
    ImportReport report;
    ASSERT_EQ(importFeed(bundledFeed(), store, &report), IMPORT_OK);

    // A feed big enough to be caught in the middle of its import.
    const std::string feed = copyOfFeed(folder);
    std::string stops = "stop_id,stop_name\n";
    std::string trips = "route_id,service_id,trip_id\n";
    std::string stopTimes = "trip_id,departure_time,stop_id,stop_sequence\n";
    for (int s = 0; s < 250; ++s) {
        stops += "S" + std::to_string(s) + ",駅\n";
    }
    for (int t = 0; t < 600; ++t) {
        trips += "L,WD,T" + std::to_string(t) + "\n";
        for (int s = 0; s < 250; ++s) {
            stopTimes +=
                "T" + std::to_string(t) + ",10:00:00,S" + std::to_string(s) + "," + std::to_string(s) + "\n";
        }
    }
    writeText(feed + "/stops.txt", stops);
    writeText(feed + "/trips.txt", trips);
    writeText(feed + "/stop_times.txt", stopTimes);

    const pid_t child = fork();
    if (child == 0) {
        ImportReport childReport;
        _exit(importFeed(feed, store, &childReport));
    }
    // Killed once the new store has begun to fill.
    struct stat info {};
    for (int i = 0; i < 2000 && !(stat((store + ".new").c_str(), &info) == 0 && info.st_size > 65536); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the import ended before it could be killed";

    std::string error;
    StorePtr kept = storeOpen(store, &error);
    ASSERT_NE(kept.get(), nullptr) << error;
    StopRecord stop;
    EXPECT_TRUE(storeStop(kept.get(), "KAW-1", &stop));  // still the old timetable
    EXPECT_FALSE(storeStop(kept.get(), "S1", &stop));
    kept.reset();
    // The half file left behind does not stop the next import.
    EXPECT_EQ(importFeed(feed, store, &report), IMPORT_OK);
}

TEST(ServerConfig, DefaultsAndRefusals) {
    StationConfig config;
    std::vector<std::string> problems;
    ASSERT_TRUE(readStationConfig("[[board]]\nnumber = 3\nstop_id = \"A\"\ncolour = 1\n", "/etc/velmorant",
                                  &config, &problems));
    EXPECT_EQ(config.port, 8020);
    EXPECT_EQ(config.store, "/etc/velmorant/timetable.db");
    EXPECT_EQ(config.boards[0].rows, 3);
    EXPECT_FALSE(config.boards[0].newStyle);
    ASSERT_EQ(problems.size(), 1u);  // the unknown key is named, not fatal
    EXPECT_NE(problems[0].find("colour"), std::string::npos);

    const char* const refused[] = {
        "[[board]]\nnumber = 1\n",                                                           // no stop
        "[[board]]\nnumber = 1\nstop_id = \"A\"\nstyle = \"modern\"\n",                      // style
        "[[board]]\nnumber = 1\nstop_id = \"A\"\n[[board]]\nnumber = 1\nstop_id = \"B\"\n",  // same number
        "[[board]]\nnumber = 1\nstop_id = \"A\"\nmelody = \"../x.mp3\"\n",    // a name boards refuse
        "[[board]]\nnumber = 1\nstop_id = \"A\"\nrows = 9\n",                 // range
        "[server]\nport = \"80\"\n[[board]]\nnumber = 1\nstop_id = \"A\"\n",  // type
        "[[board]\n",                                                         // not TOML
        "[server]\n",                                                         // no board
    };
    for (const char* text : refused) {
        problems.clear();
        EXPECT_FALSE(readStationConfig(text, ".", &config, &problems)) << text;
        EXPECT_FALSE(problems.empty()) << text;
    }
}

// One HTTP/1.0 request as a board sends it; the whole reply until close.
std::string boardRequest(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return std::string();
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUser-Agent: velmorant-w2k/2.0\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), 0);
    std::string reply;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {  // ends only when the server closes
        reply.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return reply;
}

TEST(ServerServe, AnswersBoardsSwitchesStoresAndStopsOnSigterm) {
    const std::string folder = scratchFolder("serve");
    writeText(folder + "/station.toml",
              "[server]\nport = 0\n[[board]]\nnumber = 4\nstation = \"KAW\"\nplatform_code = \"1\"\n"
              "melody = \"発車.mp3\"\nmelody_lead_seconds = 30\n");
    std::system(("mkdir -p " + folder + "/sounds && printf 'RIFFmelody' > " + folder +
                 "/sounds/発車.mp3 && " + "printf secret > " + folder + "/secret.mp3")
                    .c_str());
    ImportReport report;
    ASSERT_EQ(importFeed(bundledFeed(), folder + "/timetable.db", &report), IMPORT_OK);

    const std::string portFile = folder + "/port";
    const pid_t child = fork();
    if (child == 0) {
        execl(VELMORANT_SERVER_BINARY, "velmorant-server", "serve", "--config",
              (folder + "/station.toml").c_str(), "--now", "2026-12-07T07:19:45", "--frozen", "--port-file",
              portFile.c_str(), nullptr);
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FILE* file = std::fopen(portFile.c_str(), "r");
        if (file != nullptr) {
            if (std::fscanf(file, "%d", &port) != 1) {
                port = 0;
            }
            std::fclose(file);
        }
    }
    ASSERT_GT(port, 0);

    const std::string document = boardRequest(port, "/api/boards/4/display.txt");
    EXPECT_EQ(document.rfind("HTTP/1.1 200", 0), 0u) << document;
    EXPECT_NE(document.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(document.find("\r\n\r\nvelmorant 2\n"), std::string::npos);
    EXPECT_NE(document.find("line=train\t7:20\t港南\tKonan\tB\t1\n"), std::string::npos) << document;
    EXPECT_NE(document.find("sound=発車.mp3\tL103@20261207+26400\t15\t10\n"), std::string::npos) << document;
    EXPECT_EQ(boardRequest(port, "/api/boards/5/display.txt").rfind("HTTP/1.1 404", 0), 0u);
    // A second server on the port in use is refused rather than given a
    // share of the boards.
    const std::string second = "timeout 10 " + std::string(VELMORANT_SERVER_BINARY) + " serve --config " +
                               folder + "/station.toml --port " + std::to_string(port) + " 2>/dev/null";
    const int secondStatus = std::system(second.c_str());
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 1) << secondStatus;
    // The live preview of the same board, from the same document.
    const std::string preview = boardRequest(port, "/api/boards/4/preview.png");
    EXPECT_EQ(preview.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(preview.find("Content-Type: image/png\r\n"), std::string::npos);
    EXPECT_NE(preview.find("\r\n\r\n\x89PNG"), std::string::npos);
    EXPECT_EQ(boardRequest(port, "/api/boards/5/preview.png").rfind("HTTP/1.1 404", 0), 0u);

    // The melody under its encoded name; names a board refuses, and any way
    // out of the folder, are not served.
    const std::string melody = boardRequest(port, "/sounds/%E7%99%BA%E8%BB%8A.mp3");
    EXPECT_EQ(melody.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(melody.substr(melody.size() - 10), "RIFFmelody");
    for (const char* path :
         {"/sounds/../secret.mp3", "/sounds/%2E%2E/secret.mp3", "/sounds/x/../../secret.mp3",
          "/sounds/CON.mp3", "/sounds/%FF.mp3", "/sounds/missing.mp3"}) {
        EXPECT_EQ(boardRequest(port, path).rfind("HTTP/1.1 404", 0), 0u) << path;
    }

    // A re-import replaces the store under the running server: the next
    // document comes from the new timetable, without a failed request.
    const std::string feed = copyOfFeed(folder);
    writeText(feed + "/trips.txt",
              "route_id,service_id,trip_id,trip_headsign,direction_id\nL,WD,L103,新港,0\nL,WD,L101,港南,0\n");
    ASSERT_EQ(importFeed(feed, folder + "/timetable.db", &report), IMPORT_OK);
    bool switched = false;
    for (int i = 0; i < 40 && !switched; ++i) {
        const std::string reply = boardRequest(port, "/api/boards/4/display.txt");
        ASSERT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
        switched = reply.find("line=train\t7:20\t新港\t") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(switched);

    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
