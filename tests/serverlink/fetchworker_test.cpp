// The fetch worker against the scripted board server: hand-over order and
// the newest-wins slot, the generation check across a settings load, the
// link state, melodies fetched before their document is handed over, and
// the thread itself running and stopping.
#include <gtest/gtest.h>

#include <string>

#include "boardserver_client.h"
#include "documents/documents.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "serverlink/serverlink.h"
#include "testfiles.h"

namespace {

#ifdef _WIN32
const char16_t SEPARATOR[] = u"\\";
#else
const char16_t SEPARATOR[] = u"/";
#endif

std::string documentLabelled(const std::string& label, const std::string& sound = "") {
    return "velmorant 2\nlabelJp=" + label + "\n" + sound + "end\n";
}

std::u16string text(const char16_t* value) {
    return std::u16string(value);
}

// What the main thread does on WM_DOCUMENT_READY, reduced to the slot.
bool takeFromSlot(BoardDocument* out) {
    lockEnter(&gLink.handoverLock);
    const bool pending = gLink.handoverPending != 0;
    if (pending) {
        *out = gDocuments.handoverDocument;
        gLink.handoverPending = 0;
    }
    lockLeave(&gLink.handoverLock);
    return pending;
}

BoardDocument taken;
std::u16string melodyPathAtPost;
bool melodyPresentAtPost;

void checkMelodyAtPost() {
    FileInfo info;
    melodyPresentAtPost = queryFileInfo(melodyPathAtPost.c_str(), &info) != 0;
}

class FetchWorker : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool lockReady = (lockInit(&gLink.handoverLock), true);
        (void)lockReady;
        port = boardServerPort();
        ASSERT_GT(port, 0) << "board server port file not readable";
        resetServer();
        scratch = makeScratchDirectory("fetch");
        copyText(gMelody.melodyBaseDir, PATH_CAPACITY, (scratch + SEPARATOR).c_str());
        gMelody.melodyFailedName[0] = 0;
        gMelody.melodyFailedSize = 0;
        loadBoardSettings(3, 1, port);
        gLink.handoverPending = 0;
        gLink.serverOk = 0;
        documentReadyPosts.count = 0;
        documentReadyPosts.onPost = nullptr;
        setDocumentReadyPost(recordDocumentReadyPost);
        gFetchWorker.fetchWorkerStop = 0;
    }

    void TearDown() override {
        documentReadyPosts.onPost = nullptr;
    }

    // Writes and loads a settings file, as the program does at a reload.
    void loadBoardSettings(int board, int melodies, int serverPort) {
        const std::u16string file = joinPath(scratch, u"velmorant.ini");
        const std::string contents = "server=127.0.0.1\nport=" + std::to_string(serverPort) +
                                     "\nboard=" + std::to_string(board) + "\n" +
                                     utf8Of(u"取得間隔=0.3\nメロディ=") + std::to_string(melodies) + "\n";
        ASSERT_TRUE(writeFileBytes(file, contents));
        copyText(gSettingsFile.path, PATH_CAPACITY, file.c_str());
        setSettingsPublisher(publishConnectionSettings);
        loadSettings();
    }

    int port = 0;
    std::u16string scratch;
};

}  // namespace

TEST_F(FetchWorker, HandsDocumentsOverInOrderAndNewestWins) {
    scriptSteps("/api/boards/3/display.txt", R"([{"body_text": ")"
                                             "velmorant 2\\nlabelJp=first\\nend\\n"
                                             R"("},)"
                                             R"( {"body_text": ")"
                                             "velmorant 2\\nlabelJp=second\\nend\\n"
                                             R"("},)"
                                             R"( {"body_text": ")"
                                             "velmorant 2\\nlabelJp=third\\nend\\n"
                                             R"("}])");
    const uint32_t before = tickCount();
    ASSERT_EQ(fetchOnce(), 1);
    EXPECT_EQ(gLink.serverOk, 1);
    EXPECT_EQ(documentReadyPosts.count, 1);
    EXPECT_LE(gLink.lastFetchOkTick - before, tickCount() - before);
    ASSERT_TRUE(takeFromSlot(&taken));
    EXPECT_EQ(text(taken.labelJp), u"first");
    EXPECT_FALSE(takeFromSlot(&taken));

    // Two hand-overs before a take: only the newer is there, taken once.
    ASSERT_EQ(fetchOnce(), 1);
    ASSERT_EQ(fetchOnce(), 1);
    EXPECT_EQ(documentReadyPosts.count, 3);
    ASSERT_TRUE(takeFromSlot(&taken));
    EXPECT_EQ(text(taken.labelJp), u"third");
    EXPECT_FALSE(takeFromSlot(&taken));
    EXPECT_EQ(recordedRequest(-1).rfind("GET /api/boards/3/display.txt HTTP/1.0\r\n", 0), 0u);
}

TEST_F(FetchWorker, FailuresHandNothingOver) {
    const int32_t attempts = gLink.fetchAttempts;
    scriptSteps("/api/boards/3/display.txt",
                R"([{"body_text": ""}, {"status": 404, "body_text": "velmorant 2\nend\n"},)"
                R"( {"body_text": "not a document"}, {"fill": 65536}])");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(fetchOnce(), 0) << i;
    }
    EXPECT_EQ(gLink.fetchAttempts, attempts + 4);
    EXPECT_EQ(gLink.serverOk, 0);
    EXPECT_EQ(gLink.handoverPending, 0);
    EXPECT_EQ(documentReadyPosts.count, 0);
    EXPECT_EQ(recordedRequestCount(), 4);
}

TEST_F(FetchWorker, DocumentFetchedAcrossASettingsLoadIsDropped) {
    scriptSteps("/api/boards/3/display.txt",
                R"([{"delay_head_ms": 2000, "body_text": "velmorant 2\nlabelJp=stale\nend\n"}])");
    serveBytes("/api/boards/4/display.txt", documentLabelled("board4"));
    static volatile int32_t result;
    result = -5;
    const PlatformThread cycle = startThread([](void*) { result = fetchOnce(); }, nullptr);
    ASSERT_NE(cycle, 0);
    // Once the request is on the wire, the operator's new settings arrive.
    ASSERT_GE(waitForRequests(1, 10000), 1);
    loadBoardSettings(4, 1, port);
    waitForThread(cycle);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(gLink.handoverPending, 0);
    EXPECT_EQ(documentReadyPosts.count, 0);

    ASSERT_EQ(fetchOnce(), 1);
    EXPECT_EQ(recordedRequest(-1).rfind("GET /api/boards/4/display.txt HTTP/1.0\r\n", 0), 0u);
    ASSERT_TRUE(takeFromSlot(&taken));
    EXPECT_EQ(text(taken.labelJp), u"board4");
}

TEST_F(FetchWorker, MelodyIsOnDiskBeforeItsDocumentIsHandedOver) {
    serveBytes("/api/boards/3/display.txt", documentLabelled("m", "sound=line1/chime.mp3\tkey\t0\t6\n"));
    serveBytes("/sounds/line1/chime.mp3", "chime!");
    melodyPathAtPost = scratch + SEPARATOR + u"sounds" + SEPARATOR + u"line1" + SEPARATOR + u"chime.mp3";
    melodyPresentAtPost = false;
    documentReadyPosts.onPost = checkMelodyAtPost;
    ASSERT_EQ(fetchOnce(), 1);
    EXPECT_TRUE(melodyPresentAtPost);
    EXPECT_EQ(recordedRequestCount(), 2);
    EXPECT_EQ(recordedRequest(-1).rfind("GET /sounds/line1/chime.mp3 ", 0), 0u);

    // A failed melody download does not hold the document back.
    serveBytes("/api/boards/3/display.txt", documentLabelled("m2", "sound=gone.mp3\tkey\t0\t6\n"));
    documentReadyPosts.onPost = nullptr;
    EXPECT_EQ(fetchOnce(), 1);
    ASSERT_TRUE(takeFromSlot(&taken));
    EXPECT_EQ(text(taken.labelJp), u"m2");
}

TEST_F(FetchWorker, NoDownloadWhileMelodiesAreOff) {
    loadBoardSettings(3, 0, port);
    serveBytes("/api/boards/3/display.txt", documentLabelled("quiet", "sound=chime.mp3\tkey\t0\t6\n"));
    serveBytes("/sounds/chime.mp3", "chime!");
    ASSERT_EQ(fetchOnce(), 1);
    EXPECT_EQ(recordedRequestCount(), 1);
    FileInfo info;
    EXPECT_EQ(queryFileInfo((scratch + SEPARATOR + u"sounds").c_str(), &info), 0);
}

TEST_F(FetchWorker, ThreadKeepsFetchingAndPublishesTheLinkState) {
    serveBytes("/api/boards/3/display.txt", documentLabelled("live"));
    const PlatformThread worker = startFetchWorker();
    ASSERT_NE(worker, 0);
    // Bounded wait for three hand-overs (each cycle sleeps 300 ms).
    for (int i = 0; i < 200 && documentReadyPosts.count < 3; ++i) {
        sleepMs(50);
    }
    gFetchWorker.fetchWorkerStop = 1;
    waitForThread(worker);
    ASSERT_GE(documentReadyPosts.count, 3);
    EXPECT_EQ(gLink.serverOk, 1);
    ASSERT_TRUE(takeFromSlot(&taken));
    EXPECT_EQ(text(taken.labelJp), u"live");
    // The local address, when the PC's name resolves, is dotted decimal.
    const std::u16string address = text(gLink.localAddressText);
    if (!address.empty()) {
        int dots = 0;
        for (char16_t c : address) {
            dots += c == u'.';
            EXPECT_TRUE(c == u'.' || (c >= u'0' && c <= u'9'));
        }
        EXPECT_EQ(dots, 3);
    }
}

TEST_F(FetchWorker, UnreachableServerOnlyCountsAttempts) {
    loadBoardSettings(3, 1, 1);  // nothing listens on port 1
    const int32_t attempts = gLink.fetchAttempts;
    const PlatformThread worker = startFetchWorker();
    ASSERT_NE(worker, 0);
    for (int i = 0; i < 200 && gLink.fetchAttempts < attempts + 3; ++i) {
        sleepMs(50);
    }
    gFetchWorker.fetchWorkerStop = 1;
    waitForThread(worker);
    EXPECT_GE(gLink.fetchAttempts, attempts + 3);
    EXPECT_EQ(gLink.serverOk, 0);
    EXPECT_EQ(gLink.handoverPending, 0);
    EXPECT_EQ(documentReadyPosts.count, 0);
}

TEST_F(FetchWorker, SettingsLoadsWhileTheThreadRuns) {
    // The operator's edits land while the worker is between and inside its
    // cycles. Every load rebuilds the settings the worker works from; the
    // ThreadSanitizer build fails this test if the worker ever reads them
    // unguarded. Afterwards the worker follows the last load.
    serveBytes("/api/boards/3/display.txt", documentLabelled("three"));
    serveBytes("/api/boards/4/display.txt", documentLabelled("four"));
    const PlatformThread worker = startFetchWorker();
    ASSERT_NE(worker, 0);
    for (int i = 0; i < 40; ++i) {
        loadBoardSettings(3 + i % 2, i % 2, port);
        sleepMs(25);
    }
    loadBoardSettings(4, 1, port);
    const int32_t postsBefore = documentReadyPosts.count;
    for (int i = 0; i < 200 && documentReadyPosts.count < postsBefore + 2; ++i) {
        sleepMs(25);
    }
    gFetchWorker.fetchWorkerStop = 1;
    waitForThread(worker);
    ASSERT_GE(documentReadyPosts.count, postsBefore + 2);
    ASSERT_TRUE(takeFromSlot(&taken));
    EXPECT_EQ(text(taken.labelJp), u"four");
    EXPECT_EQ(recordedRequest(-1).rfind("GET /api/boards/4/display.txt HTTP/1.0\r\n", 0), 0u);
}
