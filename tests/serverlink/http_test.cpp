// The HTTP client against the scripted board server over loopback: what it
// sends, which replies it accepts, and that every misbehaviour ends in -1.
#include <gtest/gtest.h>

#include <string>

#include "boardserver_client.h"
#include "documents/documents.h"
#include "serverlink/serverlink.h"
#include "testfiles.h"

namespace {

const char* const DOCUMENT_PATH = "/api/boards/3/display.txt";

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override {
        port = boardServerPort();
        ASSERT_GT(port, 0) << "board server port file not readable";
        resetServer();
        pointClientAt("127.0.0.1", port);
    }

    // A GET into body with the given capacity; the result of httpGet.
    int32_t get(const char* path, int32_t capacity) {
        body.assign(static_cast<size_t>(capacity > 0 ? capacity : 1), '\0');
        const int32_t result = httpGet(path, reinterpret_cast<unsigned char*>(&body[0]), capacity, nullptr);
        body.resize(result > 0 ? static_cast<size_t>(result) : 0);
        return result;
    }

    int port = 0;
    std::string body;
};

}  // namespace

TEST_F(HttpClient, SendsExactlyTheThreeHeaderLines) {
    serveBytes(DOCUMENT_PATH, "velmorant 2\nend\n");
    ASSERT_EQ(get(DOCUMENT_PATH, 65535), 16);
    EXPECT_EQ(body, "velmorant 2\nend\n");
    const std::string expected =
        "GET /api/boards/3/display.txt HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nUser-Agent: velmorant-w2k/2.0\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(recordedRequest(-1), expected);
    EXPECT_EQ(recordedRequestCount(), 1);
}

TEST_F(HttpClient, AcceptsHttp11AndBodiesOverManyPieces) {
    scriptSteps(DOCUMENT_PATH, R"([{"version": "HTTP/1.1", "body_text": "one segment"}])");
    ASSERT_EQ(get(DOCUMENT_PATH, 100), 11);
    EXPECT_EQ(body, "one segment");

    // Larger than head and chunk buffers together: the pieces must join in
    // order with nothing lost at the boundaries.
    std::string large;
    for (int i = 0; i < 30000; ++i) {
        large += static_cast<char>('a' + i % 26);
    }
    scriptSteps(DOCUMENT_PATH,
                R"([{"body_hex": ")" + hexOf(large) + R"(", "delay_body_ms": 50, "split_at": 5}])");
    ASSERT_EQ(get(DOCUMENT_PATH, 65535), 30000);
    EXPECT_EQ(body, large);
}

TEST_F(HttpClient, OnlyStatus200Succeeds) {
    for (const char* status : {"404", "301", "204", "500"}) {
        scriptSteps(DOCUMENT_PATH,
                    std::string(R"([{"status": )") + status + R"(, "body_text": "velmorant 2\nend\n"}])");
        EXPECT_EQ(get(DOCUMENT_PATH, 65535), -1) << status;
    }
    // A reply too short to hold a status, and one that is not HTTP at all.
    scriptSteps(DOCUMENT_PATH, R"([{"raw_hex": ")" + hexOf("HTTP/1.0\r\n\r\n") + R"("}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
    scriptSteps(DOCUMENT_PATH, R"([{"raw_hex": ")" + hexOf("XTTP/1.0 200 OK\r\n\r\nbody") + R"("}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
    // A head too short for a status line fails even when body bytes that
    // arrive with it would put "200" where the status digits belong: the
    // outcome must not depend on how the reply is cut into segments.
    scriptSteps(DOCUMENT_PATH, R"([{"raw_hex": ")" + hexOf("H\r\n\r\n1234200 body") + R"("}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
    // An empty 200 is a success of length 0 (the worker treats it as none).
    scriptSteps(DOCUMENT_PATH, R"([{"body_text": ""}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), 0);
}

TEST_F(HttpClient, HeadMustEndWithin4095Bytes) {
    scriptSteps(DOCUMENT_PATH, R"([{"long_head": 6000}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 65535), -1);

    // A head whose blank line ends at byte 4095 exactly still fits; one byte
    // more does not.
    const std::string start = "HTTP/1.0 200 OK\r\nX-Padding: ";
    const std::string fits = start + std::string(4095 - start.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), 4095u);
    scriptSteps(DOCUMENT_PATH, R"([{"raw_hex": ")" + hexOf(fits + "tail") + R"("}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), 4);
    EXPECT_EQ(body, "tail");
    const std::string tooLong = start + std::string(4096 - start.size() - 4, 'p') + "\r\n\r\n";
    scriptSteps(DOCUMENT_PATH, R"([{"raw_hex": ")" + hexOf(tooLong + "tail") + R"("}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
}

TEST_F(HttpClient, BodyOfExactlyTheCapacityFitsOneMoreFails) {
    scriptSteps(DOCUMENT_PATH, R"([{"fill": 100}, {"fill": 101}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), 100);
    EXPECT_EQ(body, std::string(100, 'x'));
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
    // The same across the chunk loop, at the document capacity.
    scriptSteps(DOCUMENT_PATH, R"([{"fill": 65535}, {"fill": 65536}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 65535), 65535);
    EXPECT_EQ(get(DOCUMENT_PATH, 65535), -1);
}

TEST_F(HttpClient, BrokenConnectionsFail) {
    scriptSteps(DOCUMENT_PATH, R"([{"close_silently": true}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
    // LF-only line ends never make a blank line the client accepts.
    scriptSteps(DOCUMENT_PATH, R"([{"lf_only": true, "body_text": "velmorant 2\nend\n"}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
    // A reset inside the body is an error, not an end.
    scriptSteps(DOCUMENT_PATH, R"([{"fill": 3000, "reset_body": 10}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 65535), -1);
    // An orderly close ends the body wherever it comes: the declared length
    // is not read.
    scriptSteps(DOCUMENT_PATH, R"([{"fill": 3000, "cut_body": 10}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 65535), 10);
}

TEST_F(HttpClient, SilenceAfterTheHeadTimesOut) {
    // The one slow case: the receive time-out is 5000 ms.
    scriptSteps(DOCUMENT_PATH, R"([{"fill": 10, "delay_body_ms": 6500, "split_at": 2}])");
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);
}

TEST_F(HttpClient, DottedHostMakesNoLookupNamesAreLookedUpEveryTime) {
    serveBytes(DOCUMENT_PATH, "doc");
    const int32_t before = gFetchWorker.httpNameLookups;
    ASSERT_EQ(get(DOCUMENT_PATH, 100), 3);
    EXPECT_EQ(gFetchWorker.httpNameLookups, before);

    pointClientAt("localhost", port);
    ASSERT_EQ(get(DOCUMENT_PATH, 100), 3);
    ASSERT_EQ(get(DOCUMENT_PATH, 100), 3);
    EXPECT_EQ(gFetchWorker.httpNameLookups, before + 2);
    // The Host line carries the configured text, not the address.
    EXPECT_NE(recordedRequest(-1).find("\r\nHost: localhost:" + std::to_string(port) + "\r\n"),
              std::string::npos);
}

TEST_F(HttpClient, ConnectionSettingsComeFromTheLastSettingsLoad) {
    serveBytes(DOCUMENT_PATH, "doc");
    // Writing the settings record alone changes nothing for the client; a
    // settings load publishes host and port together.
    gSettings.settings.port = 1;
    ASSERT_EQ(get(DOCUMENT_PATH, 100), 3);

    const std::u16string directory = makeScratchDirectory("httpsettings");
    const std::u16string file = joinPath(directory, u"velmorant.ini");
    ASSERT_TRUE(writeFileBytes(file, "server=127.0.0.1\nport=" + std::to_string(port) + "\n"));
    copyText(gSettingsFile.path, PATH_CAPACITY, file.c_str());
    setSettingsPublisher(publishConnectionSettings);
    loadSettings();
    ASSERT_EQ(get(DOCUMENT_PATH, 100), 3);
    ASSERT_TRUE(writeFileBytes(file, "server=127.0.0.1\nport=1\n"));
    setSettingsPublisher(publishConnectionSettings);
    loadSettings();
    EXPECT_EQ(get(DOCUMENT_PATH, 100), -1);  // nothing listens on port 1
}

TEST_F(HttpClient, FileSinkReceivesTheBody) {
    const std::u16string directory = makeScratchDirectory("httpfile");
    const std::u16string path = joinPath(directory, u"body.bin");
    std::string bytes;
    for (int i = 0; i < 20000; ++i) {
        bytes += static_cast<char>(i * 7);
    }
    serveBytes("/sounds/x.mp3", bytes);
    OutFile* file = openFileForWrite(path.c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(httpGet("/sounds/x.mp3", nullptr, 0, file), 20000);
    ASSERT_EQ(closeWrittenFile(file), 1);
    uint32_t size = 0;
    unsigned char* written = readWholeFile(path.c_str(), 100000, &size);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(written), size), bytes);
    heapFree(written);
}

// A file sink that cannot take the bytes (a full disk) fails the request
// instead of reporting a body that never reached the file. Linux's /dev/full
// refuses every write; under Wine it is reached through the Z: drive.
TEST_F(HttpClient, FileSinkWriteFailureFails) {
#ifdef _WIN32
    const char16_t* const fullDevice = u"Z:\\dev\\full";
#else
    const char16_t* const fullDevice = u"/dev/full";
#endif
    serveBytes("/sounds/x.mp3", std::string(20000, 'b'));
    OutFile* file = openFileForWrite(fullDevice);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(httpGet("/sounds/x.mp3", nullptr, 0, file), -1);
    closeWrittenFile(file);
}
