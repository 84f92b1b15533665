// The melody cache on a real directory with the scripted board server: the
// name check, the request path a name becomes, local paths, when a download
// happens, the ".part"/".old" handling and the one remembered failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "boardserver_client.h"
#include "documents/documents.h"
#include "platform/platform.h"
#include "serverlink/serverlink.h"
#include "testfiles.h"

namespace {

#ifdef _WIN32
const char16_t SEPARATOR[] = u"\\";
#else
const char16_t SEPARATOR[] = u"/";
#endif

TEST(MelodyName, AcceptsPlainNamesAndOneSubDirectory) {
    for (const char16_t* name :
         {u"chime.mp3", u"line1/chime.WAV", u"a.Mp3", u"発車 メロディ.wav", u"con1.mp3", u"comx.mp3",
          u"com10.mp3", u"lpt0.wav", u"console.mp3", u"dir.x/a.mp3"}) {
        EXPECT_TRUE(melodyNameIsValid(name)) << std::string(name, name + textLength(name)).size();
    }
    EXPECT_TRUE(melodyNameIsValid((std::u16string(156, u'a') + u".mp3").c_str()));
}

TEST(MelodyName, RefusesWhatCouldEscapeOrBeMisread) {
    const char16_t* const refused[] = {
        u"/chime.mp3", u"a//b.mp3", u"a/b/c.mp3", u".chime.mp3", u"../x.mp3", u"a\\b.mp3", u"c:x.mp3",
        u"x.ogg", u"x.mp3 ", u".mp3", u"a.mp", u"a/.mp3", u"dir/", u"a*b.mp3", u"a?b.wav", u"a\"b.wav",
        u"a<b.wav", u"a>b.wav", u"a|b.wav", u"a\tb.wav", u"a\x1f.mp3",
        // Windows would write another file than the one checked:
        u"dir./a.mp3", u"dir /a.mp3", u"CON.mp3", u"con.wav", u"Nul.mp3", u"aux/a.mp3", u"prn.x.mp3",
        u"COM1.mp3", u"lpt9.wav", u"com3/x.mp3", u"nul .mp3"};
    for (const char16_t* name : refused) {
        EXPECT_FALSE(melodyNameIsValid(name)) << "refused name number " << (&name - refused);
    }
    EXPECT_FALSE(melodyNameIsValid((std::u16string(157, u'a') + u".mp3").c_str()));
    EXPECT_FALSE(melodyNameIsValid(nullptr));
}

class MelodyCache : public ::testing::Test {
protected:
    void SetUp() override {
        const int port = boardServerPort();
        ASSERT_GT(port, 0) << "board server port file not readable";
        resetServer();
        pointClientAt("127.0.0.1", port);
        base = makeScratchDirectory("melody");
        copyText(gMelody.melodyBaseDir, PATH_CAPACITY, (base + SEPARATOR).c_str());
        gMelody.melodyFailedName[0] = 0;
        gMelody.melodyFailedSize = 0;
    }

    std::u16string cached(const std::u16string& relative) {
        std::u16string path = base + SEPARATOR + u"sounds" + SEPARATOR;
        for (char16_t c : relative) {
            path += c == u'/' ? SEPARATOR[0] : c;
        }
        return path;
    }

    // The file's bytes, or "<missing>".
    std::string contents(const std::u16string& path) {
        uint32_t size = 0;
        unsigned char* bytes = readWholeFile(path.c_str(), 1 << 20, &size);
        if (bytes == nullptr) {
            return "<missing>";
        }
        std::string text(reinterpret_cast<char*>(bytes), size);
        heapFree(bytes);
        return text;
    }

    void placeCached(const std::u16string& relative, const std::string& bytes) {
        createDirectoryAt((base + SEPARATOR + u"sounds").c_str());
        ASSERT_TRUE(writeFileBytes(cached(relative), bytes));
    }

    std::u16string base;
};

TEST_F(MelodyCache, LocalPathUsesTheCacheDirectoryAndRefusesWhatDoesNotFit) {
    char16_t path[PATH_CAPACITY];
    ASSERT_EQ(melodyLocalPath(path, PATH_CAPACITY, u"line1/chime.mp3"), 1);
    EXPECT_EQ(std::u16string(path), cached(u"line1/chime.mp3"));

    // Room is kept for ".part": a path of 254 units fits, 255 do not.
    copyText(gMelody.melodyBaseDir, PATH_CAPACITY, u"C:\\b\\");
    const int32_t fixed = 5 + 7;  // base, "sounds" and separator
    EXPECT_EQ(melodyLocalPath(path, PATH_CAPACITY, (std::u16string(254 - fixed - 4, u'n') + u".mp3").c_str()),
              1);
    EXPECT_EQ(textLength(path), 254);
    EXPECT_EQ(melodyLocalPath(path, PATH_CAPACITY, (std::u16string(255 - fixed - 4, u'n') + u".mp3").c_str()),
              0);
    EXPECT_EQ(path[0], 0);
}

TEST_F(MelodyCache, DownloadsAMissingFileIntoItsSubDirectory) {
    serveBytes("/sounds/line1/%E7%99%BA%E8%BB%8A.mp3", "melody bytes");
    melodyEnsure(u"line1/発車.mp3", 12);
    EXPECT_EQ(contents(cached(u"line1/発車.mp3")), "melody bytes");
    EXPECT_EQ(contents(cached(u"line1/発車.mp3.part")), "<missing>");
    EXPECT_EQ(recordedRequest(-1).rfind("GET /sounds/line1/%E7%99%BA%E8%BB%8A.mp3 HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(gMelody.melodyFailedName[0], 0);
}

TEST_F(MelodyCache, KeepsACachedFileWhenNoSizeIsGivenOrTheSizeMatches) {
    placeCached(u"chime.mp3", "old");
    serveBytes("/sounds/chime.mp3", "new bytes");
    melodyEnsure(u"chime.mp3", 0);
    melodyEnsure(u"chime.mp3", -5);
    melodyEnsure(u"chime.mp3", 3);
    EXPECT_EQ(recordedRequestCount(), 0);
    EXPECT_EQ(contents(cached(u"chime.mp3")), "old");
}

TEST_F(MelodyCache, SizeMismatchDownloadsAgainAndKeepsTheOldFile) {
    placeCached(u"chime.mp3", "old");
    placeCached(u"chime.mp3.old", "older");
    serveBytes("/sounds/chime.mp3", "new bytes");
    melodyEnsure(u"chime.mp3", 9);
    EXPECT_EQ(contents(cached(u"chime.mp3")), "new bytes");
    EXPECT_EQ(contents(cached(u"chime.mp3.old")), "old");
    EXPECT_EQ(recordedRequestCount(), 1);
    // The result is not compared with the size: a server file that keeps
    // differing is fetched in every cycle.
    melodyEnsure(u"chime.mp3", 5);
    melodyEnsure(u"chime.mp3", 5);
    EXPECT_EQ(recordedRequestCount(), 3);
}

TEST_F(MelodyCache, FailedDownloadLeavesNoPartAndIsRememberedUntilReplaced) {
    placeCached(u"a.mp3", "kept");
    scriptSteps("/sounds/a.mp3", R"([{"fill": 5000, "reset_body": 100}])");
    melodyEnsure(u"a.mp3", 5000);
    EXPECT_EQ(contents(cached(u"a.mp3")), "kept");
    EXPECT_EQ(contents(cached(u"a.mp3.part")), "<missing>");
    EXPECT_EQ(std::u16string(gMelody.melodyFailedName), u"a.mp3");
    EXPECT_EQ(gMelody.melodyFailedSize, 5000);
    EXPECT_EQ(recordedRequestCount(), 1);

    // The same pair is not asked for again; another size is.
    melodyEnsure(u"a.mp3", 5000);
    EXPECT_EQ(recordedRequestCount(), 1);
    scriptSteps("/sounds/a.mp3", R"([{"status": 404}])");
    melodyEnsure(u"a.mp3", 6000);
    EXPECT_EQ(recordedRequestCount(), 2);
    EXPECT_EQ(gMelody.melodyFailedSize, 6000);

    // Another name failing (an empty 200 counts) replaces the remembered
    // pair; then the first pair is asked for again, and a success does not
    // clear the memory.
    scriptSteps("/sounds/b.mp3", R"([{"body_text": ""}])");
    melodyEnsure(u"b.mp3", 0);
    EXPECT_EQ(std::u16string(gMelody.melodyFailedName), u"b.mp3");
    EXPECT_EQ(contents(cached(u"b.mp3")), "<missing>");
    EXPECT_EQ(contents(cached(u"b.mp3.part")), "<missing>");
    serveBytes("/sounds/a.mp3", std::string(6000, 'z'));
    melodyEnsure(u"a.mp3", 6000);
    EXPECT_EQ(contents(cached(u"a.mp3")), std::string(6000, 'z'));
    EXPECT_EQ(contents(cached(u"a.mp3.old")), "kept");
    EXPECT_EQ(std::u16string(gMelody.melodyFailedName), u"b.mp3");
    EXPECT_EQ(recordedRequestCount(), 4);
}

TEST_F(MelodyCache, RefusedNamesMakeNoRequestAndNoFile) {
    for (const char16_t* name : {u"../x.mp3", u"con.mp3", u"dir./x.mp3", u"x.ogg"}) {
        melodyEnsure(name, 10);
    }
    copyText(gMelody.melodyBaseDir, PATH_CAPACITY,
             (base + SEPARATOR + std::u16string(200, u'd') + SEPARATOR).c_str());
    melodyEnsure((std::u16string(60, u'n') + u".mp3").c_str(), 10);
    EXPECT_EQ(recordedRequestCount(), 0);
    FileInfo info;
    EXPECT_EQ(queryFileInfo((base + SEPARATOR + u"sounds").c_str(), &info), 0);
    EXPECT_EQ(gMelody.melodyFailedName[0], 0);
}

#ifndef _WIN32
// A full disk: the ".part" name leads to /dev/full, where every write fails.
// The download must fail and the cached file must stay as it was. (The
// Windows build has no such device to point a file name at.)
TEST_F(MelodyCache, WriteFailureFailsTheDownloadAndKeepsTheOldFile) {
    placeCached(u"full.mp3", "intact");
    serveBytes("/sounds/full.mp3", std::string(20000, 'n'));
    std::string part;
    for (char16_t c : cached(u"full.mp3.part")) {
        part += static_cast<char>(c);
    }
    ASSERT_EQ(symlink("/dev/full", part.c_str()), 0);
    melodyEnsure(u"full.mp3", 20000);
    EXPECT_EQ(contents(cached(u"full.mp3")), "intact");
    EXPECT_EQ(contents(cached(u"full.mp3.old")), "<missing>");
    FileInfo info;
    EXPECT_EQ(queryFileInfo(cached(u"full.mp3.part").c_str(), &info), 0);
    EXPECT_EQ(std::u16string(gMelody.melodyFailedName), u"full.mp3");
    EXPECT_EQ(recordedRequestCount(), 1);
}
#endif

}  // namespace

// How a melody name becomes a request path: percent-encoding of its UTF-8
// bytes, the slash kept, the 500-byte conversion limit, and cutting at a
// small capacity without ever splitting an escape.
namespace {

std::string pathOf(const std::u16string& name, int32_t capacity = SOUND_PATH_CAPACITY) {
    std::string out(static_cast<size_t>(capacity) + 8, '#');
    soundRequestPath(&out[0], capacity, name.c_str());
    EXPECT_EQ(out.substr(static_cast<size_t>(capacity)), std::string(8, '#')) << "wrote past the capacity";
    return std::string(out.c_str());
}

}  // namespace

TEST(SoundRequestPath, EscapesEverythingButTheSafeBytes) {
    EXPECT_EQ(pathOf(u"a b.mp3"), "/sounds/a%20b.mp3");
    EXPECT_EQ(pathOf(u"発車.wav"), "/sounds/%E7%99%BA%E8%BB%8A.wav");
    EXPECT_EQ(pathOf(u"line1/chime.WAV"), "/sounds/line1/chime.WAV");
    EXPECT_EQ(pathOf(u"A-Z_0.9~%+?.mp3"), "/sounds/A-Z_0.9%7E%25%2B%3F.mp3");
    EXPECT_EQ(pathOf(u""), "/sounds/");
}

TEST(SoundRequestPath, Utf8FormMustFitInto500Bytes) {
    // 499 bytes and the terminator fit; 500 bytes do not convert at all.
    EXPECT_EQ(pathOf(std::u16string(499, u'a')), "/sounds/" + std::string(499, 'a'));
    EXPECT_EQ(pathOf(std::u16string(500, u'a')), "/sounds/");
    EXPECT_EQ(pathOf(std::u16string(167, u'あ')), "/sounds/");  // 501 bytes
    // The longest valid melody name, all three-byte characters, fits 1600.
    const std::string longest = pathOf(std::u16string(156, u'漢') + u".mp3");
    EXPECT_EQ(longest.size(), 8u + 156u * 9u + 4u);
}

TEST(SoundRequestPath, SmallCapacitiesNeverSplitAnEscape) {
    const std::u16string name = u"発a車 b.mp3";
    const std::string full = pathOf(name);
    for (int32_t capacity = 1; capacity < 40; ++capacity) {
        const std::string cut = pathOf(name, capacity);
        ASSERT_LT(cut.size(), static_cast<size_t>(capacity));
        EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << capacity;
        // The cut falls between whole encoded bytes.
        if (cut.size() > 8) {
            const size_t percent = cut.rfind('%');
            EXPECT_TRUE(percent == std::string::npos || percent + 3 <= cut.size()) << capacity;
            EXPECT_LE(cut.size(), static_cast<size_t>(capacity) - 2) << capacity;
        }
    }
    EXPECT_EQ(pathOf(name, 12), "/sounds/");
    EXPECT_EQ(pathOf(name, 13), "/sounds/%E7");
    EXPECT_EQ(pathOf(name, 5), "/sou");
}
