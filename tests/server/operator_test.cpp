// What the operator sets, as the boards' documents show it: a delay keeps
// the scheduled time with its text and moves the train's departure,
// blinking, approach warning and melody; a cancellation drops the train for
// a notice; notices as classic rows and new-style lower lines; the approach
// warning forced either way; a melody played by hand. Then the API's
// request readers and the password hashes.
#include "server/operator/operator.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "serverfixture.h"

namespace {

const char* const STATION = R"(
[[board]]
number = 1
station = "KAW"
platform_code = "1"
rows = 3
melody = "chime.mp3"
[[board]]
number = 2
style = "new-style"
stop_id = "KAW-1"
melody = "chime.mp3"
)";

struct Fixture {
    StationConfig config;
    StorePtr store;
    const date::time_zone* zone = nullptr;
};

std::string documentAt(Fixture* f, size_t board, const char* localTime, const BoardOverlay& overlay) {
    int64_t now = 0;
    EXPECT_TRUE(parseLocalTime(localTime, f->zone, &now));
    BoardTimetable timetable;
    buildTimetable(f->store.get(), f->zone, f->config, f->config.boards[board],
                   operatingDay(f->config, f->zone, instantFromUnix(now)), &timetable);
    BuiltDocument document;
    buildDocument(f->config, f->config.boards[board], timetable, f->zone, now, &document, &overlay);
    EXPECT_TRUE(document.accepted) << localTime << "\n" << document.text;
    return document.text;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(OperatorDocuments, DelaysCancellationsNoticesAndControlsReachBothBoards) {
    Fixture f;
    const std::string folder = scratchFolder("operator");
    ImportReport report;
    ASSERT_EQ(importFeed(bundledFeed(), folder + "/timetable.db", &report), IMPORT_OK);
    std::vector<std::string> problems;
    ASSERT_TRUE(readStationConfig(STATION, folder, &f.config, &problems));
    mkdir((folder + "/sounds").c_str(), 0755);
    writeText(folder + "/sounds/chime.mp3", std::string(1000, 'x'));
    std::string error;
    f.store = storeOpen(folder + "/timetable.db", &error);
    ASSERT_NE(f.store, nullptr) << error;
    f.zone = findZone(storeMeta(f.store.get(), "timezone"));

    // L103 leaves at 7:20, X1 at 7:40 on this Monday.
    BoardOverlay overlay;
    overlay.changes = {{"L103", serviceDayFromNumber(20261207), 5, false},
                       {"X1", serviceDayFromNumber(20261207), 0, true}};
    std::string classic = documentAt(&f, 0, "2026-12-07T07:19:30", overlay);
    EXPECT_TRUE(has(classic, "line=train\t7:20\t港南\u3000約5分遅れ\tKonan 5 min late\tB\t0\n")) << classic;
    EXPECT_TRUE(
        has(classic, "line=text\t7:40発 港南 \"快速\"行は運休です\tThe 7:40 train is cancelled\tR\tc\n"));
    EXPECT_FALSE(has(classic, "\t7:40\t"));
    // No melody at the scheduled lead time; it comes with the delay.
    EXPECT_FALSE(has(classic, "sound="));
    classic = documentAt(&f, 0, "2026-12-07T07:24:50", overlay);
    EXPECT_TRUE(has(classic, "line=train\t7:20\t港南\u3000約5分遅れ\tKonan 5 min late\tB\t1\n")) << classic;
    EXPECT_TRUE(has(classic, "sound=chime.mp3\tL103@20261207+"));
    // The cancellation notice goes when the train would have left.
    EXPECT_FALSE(has(documentAt(&f, 0, "2026-12-07T07:40:30", overlay), "運休"));

    // A notice takes the lowest row; the next train keeps the top.
    overlay.changes.clear();
    BoardNotice notice;
    notice.textJp = "強風のため徐行運転中";
    notice.textEn = "Slow running: strong wind";
    overlay.notices = {notice};
    classic = documentAt(&f, 0, "2026-12-07T07:10:00", overlay);
    EXPECT_TRUE(has(classic, "line=train\t7:20\t港南\tKonan\tB\t0\nline=train\t7:40\t"));
    EXPECT_TRUE(has(classic, "line=text\t強風のため徐行運転中\tSlow running: strong wind\tY\tc\nsound") ||
                has(classic, "line=text\t強風のため徐行運転中\tSlow running: strong wind\tY\tc\nend"))
        << classic;

    // New-style: the notice is the framed lower line, scrolling when asked;
    // the approach warning comes first, at the delayed time, or by hand.
    std::string sign = documentAt(&f, 1, "2026-12-07T07:10:00", overlay);
    EXPECT_TRUE(has(sign, "msg=frame\t強風のため徐行運転中|Slow running: strong wind\n")) << sign;
    overlay.notices[0].scrolling = true;
    sign = documentAt(&f, 1, "2026-12-07T07:10:00", overlay);
    EXPECT_TRUE(has(sign, "msg=scroll\tY\t強風のため徐行運転中\u3000Slow running: strong wind\n")) << sign;
    overlay.approach = APPROACH_ON;
    EXPECT_TRUE(has(documentAt(&f, 1, "2026-12-07T07:10:00", overlay), "msg=approach\t"));
    overlay = BoardOverlay{};
    overlay.changes = {{"L103", serviceDayFromNumber(20261207), 5, false}};
    sign = documentAt(&f, 1, "2026-12-07T07:19:30", overlay);
    // On the sign the delay has the lower line; the train line keeps its
    // destination readable.
    EXPECT_TRUE(has(sign, "row=train\t7:20\t0\t\t港南|Konan\n")) << sign;
    EXPECT_TRUE(has(sign, "msg=frame\t7:20発 港南行 約5分遅れ|7:20 to Konan: 5 min late\n")) << sign;
    EXPECT_FALSE(has(sign, "msg=approach"));
    EXPECT_TRUE(has(documentAt(&f, 1, "2026-12-07T07:24:30", overlay), "msg=approach\t"));
    overlay.approach = APPROACH_OFF;
    EXPECT_FALSE(has(documentAt(&f, 1, "2026-12-07T07:24:30", overlay), "msg=approach"));

    // A melody by hand: its own key, its age from the moment it was asked.
    overlay = BoardOverlay{};
    overlay.manualMelodyKey = "hand-1-abc";
    ASSERT_TRUE(parseLocalTime("2026-12-07T07:09:57", f.zone, &overlay.manualMelodyAt));
    EXPECT_TRUE(
        has(documentAt(&f, 0, "2026-12-07T07:10:00", overlay), "sound=chime.mp3\thand-1-abc\t3\t1000\n"));
    EXPECT_FALSE(has(documentAt(&f, 0, "2026-12-07T07:11:00", overlay), "hand-1-abc"));
    f.store.reset();
}

TEST(OperatorInput, RequestBodiesAndPasswords) {
    NoticeInput notice;
    std::string error;
    ASSERT_TRUE(readNoticeInput(
        R"({"boards":[1,"2"],"text_jp":"お知らせ","color":"赤","scrolling":"true","start":"2026-12-07T07:00","end":""})",
        true, &notice, &error))
        << error;
    EXPECT_EQ(notice.boards, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(notice.color, 3);
    EXPECT_TRUE(notice.scrolling);
    EXPECT_TRUE(readNoticeInput(R"({"boards":"all","text_jp":"x"})", true, &notice, &error));
    EXPECT_TRUE(notice.boards.empty());
    // Changing a notice needs no texts; making one does.
    EXPECT_TRUE(readNoticeInput(R"({"color":"G"})", false, &notice, &error));
    for (const char* bad : {"", "[]", "{\"text_jp\":\"\"}", "{\"text_jp\":5}",
                            "{\"text_jp\":\"x\",\"boards\":[0]}", "{\"text_jp\":\"x\",\"color\":\"purple\"}",
                            "{\"text_jp\":\"x\",\"start\":\"tomorrow\"}", "{\"text_jp\":\"a\\u0000b\"}"}) {
        EXPECT_FALSE(readNoticeInput(bad, true, &notice, &error)) << bad;
    }
    TrainInput train;
    EXPECT_TRUE(readTrainInput(R"({"board":1,"trip_id":"L103","service_date":20261207,"minutes":5})", true,
                               &train, &error));
    EXPECT_EQ(train.minutes, 5);
    EXPECT_EQ(serviceDayNumber(train.serviceDay), 20261207);
    // A number of a date's size that is no date names no service day: it
    // must not roll over into a real one (20261232 would be 2027-01-01).
    EXPECT_FALSE(
        readTrainInput(R"({"trip_id":"L103","service_date":20261232,"minutes":5})", true, &train, &error));
    EXPECT_FALSE(
        readTrainInput(R"({"trip_id":"L103","service_date":20261207,"minutes":0})", true, &train, &error));
    EXPECT_FALSE(readTrainInput(R"({"trip_id":"L103"})", false, &train, &error));
    int32_t approach = APPROACH_AUTO;
    EXPECT_TRUE(readApproachInput(R"({"mode":"off"})", &approach, &error));
    EXPECT_EQ(approach, APPROACH_OFF);
    EXPECT_FALSE(readApproachInput(R"({"mode":true})", &approach, &error));

    const std::string hash = hashPassword("correct horse");
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_TRUE(passwordMatches(hash, "correct horse"));
    EXPECT_FALSE(passwordMatches(hash, "correct hors"));
    EXPECT_FALSE(passwordMatches("", ""));
    EXPECT_NE(newSecret(), newSecret());
}

TEST(OperatorDatabase, DelaysOfPastServiceDaysAreDroppedAndTheHistorySaysSo) {
    std::string error;
    const OperatorDbPtr owner(operatorDbOpen(scratchFolder("operator-drop") + "/operator.db", &error));
    OperatorDb* db = owner.get();
    ASSERT_NE(db, nullptr) << error;
    for (int32_t day : {20261204, 20261206, 20261207}) {
        ChangeRecord record;
        record.change.tripId = "L103";
        record.change.serviceDay = serviceDayFromNumber(day);
        record.change.delayMinutes = 5;
        ASSERT_TRUE(operatorDbSaveChange(db, record, false, 100, "op", "delay"));
    }
    EXPECT_EQ(operatorDbDropChangesBefore(db, serviceDayFromNumber(20261206), 200), 1);
    EXPECT_EQ(operatorDbDropChangesBefore(db, serviceDayFromNumber(20261206), 300), 0);
    OperatorState state;
    ASSERT_TRUE(operatorDbLoad(db, &state));
    ASSERT_EQ(state.changes.size(), 2u);
    EXPECT_EQ(serviceDayNumber(state.changes[0].change.serviceDay), 20261206);
    // What was set stays in the history, with one line for what was dropped
    // and none for a drop that found nothing.
    const std::vector<HistoryRecord> history = operatorDbHistory(db, 10);
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[0].who, "server");
    EXPECT_EQ(history[0].what, "dropped 1 delays or cancellations of service days before 2026-12-06");
}

TEST(OperatorDatabase, AnOldDatabaseKeepsEveryChangeAsAChangeOfEveryRun) {
    const std::string path = scratchFolder("operator-old") + "/operator.db";
    {
        // train_changes as databases were written before changes named runs.
        SQLite::Database old(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        old.exec(
            "CREATE TABLE train_changes(trip_id TEXT NOT NULL, service_date INTEGER NOT NULL,"
            " board INTEGER NOT NULL, minutes INTEGER NOT NULL, cancelled INTEGER NOT NULL,"
            " PRIMARY KEY(trip_id, service_date));"
            "INSERT INTO train_changes VALUES('F1', 20261207, 1, 5, 0), ('X1', 20261207, 2, 0, 1);");
    }
    std::string error;
    OperatorDbPtr db(operatorDbOpen(path, &error));
    ASSERT_NE(db, nullptr) << error;
    OperatorState state;
    ASSERT_TRUE(operatorDbLoad(db.get(), &state));
    ASSERT_EQ(state.changes.size(), 2u);
    EXPECT_EQ(state.changes[0].change.tripId, "F1");
    EXPECT_EQ(state.changes[0].change.delayMinutes, 5);
    EXPECT_TRUE(state.changes[1].change.cancelled);
    EXPECT_EQ(state.changes[1].board, 2);
    // Each still names every run of its trip that day.
    Departure run{};
    run.tripId = "F1";
    run.serviceDay = serviceDayFromNumber(20261207);
    run.firstDeparture = 37800;
    EXPECT_EQ(changeNames(state.changes[0].change, run), CHANGE_NAMES_TRIP);

    // Clearing one run keeps the other runs late; the run's own change wins.
    ChangeRecord clear;
    clear.change = {"F1", serviceDayFromNumber(20261207), 0, false, 37800};
    ASSERT_TRUE(operatorDbSaveChange(db.get(), clear, true, 100, "op", "cleared"));
    db.reset(operatorDbOpen(path, &error));  // opening again migrates nothing twice
    ASSERT_NE(db, nullptr) << error;
    ASSERT_TRUE(operatorDbLoad(db.get(), &state));
    ASSERT_EQ(state.changes.size(), 3u);
    for (const ChangeRecord& record : state.changes) {
        if (record.change.tripId == "F1") {
            const bool own = changeNames(record.change, run) == CHANGE_NAMES_RUN;
            EXPECT_EQ(record.change.delayMinutes, own ? 0 : 5);
            EXPECT_EQ(record.change.runStart, own ? 37800 : RUN_EVERY);
        }
    }
    // The board shows the run as timetabled, from staff.
    BoardOverlay overlay;
    overlayFromState(state, 1, 0, &overlay);
    run.when = instantFromUnix(1000);
    std::vector<Departure> shown;
    std::vector<BoardNotice> notices;
    applyTrainChanges(StationConfig{}, overlay, {run}, nullptr, 0, &shown, &notices);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].delayMinutes, 0);
    EXPECT_EQ(shown[0].source, TRAIN_FROM_STAFF);
    // A change of every run replaces those of single runs.
    ChangeRecord every;
    every.change = {"F1", serviceDayFromNumber(20261207), 2, false, RUN_EVERY};
    ASSERT_TRUE(operatorDbSaveChange(db.get(), every, false, 200, "op", "late"));
    ASSERT_TRUE(operatorDbLoad(db.get(), &state));
    EXPECT_EQ(state.changes.size(), 2u);
}

}  // namespace
