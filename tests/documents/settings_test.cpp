// The settings file on real files: each encoding with Japanese keys, the
// size limit, value syntax and the checks of a load; the platform's own
// code page 932 converter (iconv on the host, Windows under Wine); and the
// sample settings file shipped in the release package.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "documents/documents.h"
#include "platform/platform.h"
#include "testfiles.h"

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        directory = makeScratchDirectory("settings");
        path = joinPath(directory, u"velmorant.ini");
        copyText(gSettingsFile.path, path.c_str());
        gSettings.kioskChild = 0;
    }

    // Writes the bytes and loads them.
    void load(const std::string& bytes) {
        ASSERT_TRUE(writeFileBytes(path, bytes));
        loadSettings();
    }

    void loadUtf8(const std::u16string& text) {
        load(utf8Of(text));
    }

    std::u16string directory;
    std::u16string path;
};

std::u16string str(const char16_t* text) {
    return std::u16string(text);
}

const std::string SJIS_SERVER = "\x83\x54\x81\x5b\x83\x6f\x81\x5b";  // サーバー
const std::string SJIS_FULLWIDTH_EQUALS = "\x81\x81";                // ＝
const std::string SJIS_BOARD = "\x91\xe4";                           // 台

}  // namespace

TEST_F(SettingsFile, MissingFileGivesDefaultsAndNotFound) {
    const int32_t before = gSettingsFile.generation;
    loadSettings();
    EXPECT_EQ(gSettingsFile.found, 0);
    EXPECT_EQ(str(gSettings.settings.server), u"127.0.0.1");
    EXPECT_EQ(gSettings.settings.port, 8020);
    EXPECT_EQ(gSettings.settings.board, 1);
    EXPECT_EQ(gSettings.settings.fetchIntervalMs, 1000);
    EXPECT_EQ(str(gSettings.settings.fontFace), u"MS Gothic");
    EXPECT_EQ(str(gSettings.settings.labelFontFace), u"MS PGothic");
    EXPECT_EQ(gSettings.settings.preventSleep, 1);
    EXPECT_EQ(gSettings.settings.showUnlitDots, 1);
    EXPECT_EQ(gSettings.settings.melodyEnabled, 1);
    EXPECT_EQ(gSettings.settings.bootScreen, 0);
    EXPECT_EQ(gSettings.settings.dailyRestartMinute, -1);
    EXPECT_EQ(gSettings.settings.backgroundColor, 0u);
    EXPECT_STREQ(gSettings.serverAnsi, "127.0.0.1");
    EXPECT_EQ(gSettingsFile.generation, before + 1);
    gSettings.kioskChild = 1;
    loadSettings();
    EXPECT_EQ(gSettings.settings.bootScreen, 1);
}

TEST_F(SettingsFile, EmptyFileIsFoundWithDefaults) {
    load("");
    EXPECT_EQ(gSettingsFile.found, 1);
    EXPECT_EQ(gSettings.settings.port, 8020);
    FileInfo info;
    ASSERT_EQ(queryFileInfo(path.c_str(), &info), 1);
    EXPECT_EQ(gSettingsFile.writeTime, info.lastWriteTime);
}

TEST_F(SettingsFile, Utf8WithoutSignatureJapaneseKeysAndFullWidthEquals) {
    loadUtf8(u"サーバー＝ 192.168.0.10\n台=３\nポート=9000\r\n取得間隔=1.5\nメロディ=0\n");
    EXPECT_EQ(gSettingsFile.found, 1);
    EXPECT_EQ(str(gSettings.settings.server), u"192.168.0.10");
    EXPECT_STREQ(gSettings.serverAnsi, "192.168.0.10");
    EXPECT_EQ(gSettings.settings.board, 3);
    EXPECT_EQ(gSettings.settings.port, 9000);
    EXPECT_EQ(gSettings.settings.fetchIntervalMs, 1500);
    EXPECT_EQ(gSettings.settings.melodyEnabled, 0);
}

TEST_F(SettingsFile, Utf8WithSignature) {
    load("\xEF\xBB\xBF" + utf8Of(u"フォント=IPAGothic\nラベルフォント = IPAPGothic\n"));
    EXPECT_EQ(str(gSettings.settings.fontFace), u"IPAGothic");
    EXPECT_EQ(str(gSettings.settings.labelFontFace), u"IPAPGothic");
}

TEST_F(SettingsFile, Utf16WithSignatureAndOddLastByte) {
    load("\xFF\xFE" + utf16leOf(u"サーバー＝board.example\n台=7\n") + "X");
    EXPECT_EQ(gSettingsFile.found, 1);
    EXPECT_EQ(str(gSettings.settings.server), u"board.example");
    EXPECT_EQ(gSettings.settings.board, 7);
    // The odd byte must not turn into a unit that changes the last value.
    load("\xFF\xFE" + utf16leOf(u"台=8") + "\x35");
    EXPECT_EQ(gSettings.settings.board, 8);
}

TEST_F(SettingsFile, ShiftJisWithJapaneseKeys) {
    load(SJIS_SERVER + SJIS_FULLWIDTH_EQUALS + "10.1.2.3\r\n" + SJIS_BOARD + "=4\r\n");
    EXPECT_EQ(gSettingsFile.found, 1);
    EXPECT_EQ(str(gSettings.settings.server), u"10.1.2.3");
    EXPECT_EQ(gSettings.settings.board, 4);
}

TEST_F(SettingsFile, CommentsSectionsAndUnknownKeys) {
    loadUtf8(u"  ;台=5\n[section]\n［日本語］\n台=6\nServer=elsewhere\nno separator here\n\n");
    EXPECT_EQ(gSettings.settings.board, 6);
    EXPECT_EQ(str(gSettings.settings.server), u"127.0.0.1");
    loadUtf8(u"台=2\n台=9\n");
    EXPECT_EQ(gSettings.settings.board, 9);  // a later line overrides
    loadUtf8(u"server=\n");
    EXPECT_EQ(str(gSettings.settings.server), u"");  // any text, also empty, is taken
}

TEST_F(SettingsFile, ChecksCorrectPortBoardAndInterval) {
    loadUtf8(u"port=0\nboard=-3\n取得間隔=0.25\n");
    EXPECT_EQ(gSettings.settings.port, 8020);
    EXPECT_EQ(gSettings.settings.board, 1);
    EXPECT_EQ(gSettings.settings.fetchIntervalMs, 300);
    loadUtf8(u"port=70000\n取得間隔=2.0005\n");
    EXPECT_EQ(gSettings.settings.port, 8020);
    EXPECT_EQ(gSettings.settings.fetchIntervalMs, 2000);
    loadUtf8(u"port=abc\n取得間隔=-1\n");
    EXPECT_EQ(gSettings.settings.port, 8020);
    EXPECT_EQ(gSettings.settings.fetchIntervalMs, 1000);
    loadUtf8(u"取得間隔=.5\n");
    EXPECT_EQ(gSettings.settings.fetchIntervalMs, 500);
}

TEST_F(SettingsFile, DailyRestartValues) {
    const struct {
        const char16_t* value;
        int32_t minute;
    } cases[] = {
        {u"4:30", 270}, {u"4", 240},  {u"4：05", 245},  {u"24:00", -1}, {u"4:60", -1},
        {u"", -1},      {u"0:00", 0}, {u"23:59", 1439}, {u"-1:00", -1}, {u"4:", 240},
    };
    for (const auto& item : cases) {
        loadUtf8(std::u16string(u"定期再起動=") + item.value + u"\n");
        EXPECT_EQ(gSettings.settings.dailyRestartMinute, item.minute) << std::string(utf8Of(item.value));
    }
}

TEST_F(SettingsFile, BackgroundColourValues) {
    loadUtf8(u"背景色=#102030\n");
    EXPECT_EQ(gSettings.settings.backgroundColor, 0x302010u);
    loadUtf8(u"背景色=#102030\n背景色=1234\n");
    EXPECT_EQ(gSettings.settings.backgroundColor, 0x302010u);  // four digits: previous value stays
    loadUtf8(u"背景色=  ## #AABBCC\n");
    EXPECT_EQ(gSettings.settings.backgroundColor, 0xCCBBAAu);
}

TEST_F(SettingsFile, SwitchesAndCutServer) {
    loadUtf8(u"スリープ防止=0\n消灯ドット=0\n起動画面=2\nserver=" + std::u16string(200, u'h') + u"\n");
    EXPECT_EQ(gSettings.settings.preventSleep, 0);
    EXPECT_EQ(gSettings.settings.showUnlitDots, 0);
    EXPECT_EQ(gSettings.settings.bootScreen, 2);
    EXPECT_EQ(textLength(gSettings.settings.server), 127);
    EXPECT_EQ(std::string(gSettings.serverAnsi), std::string(127, 'h'));
}

TEST_F(SettingsFile, OneMebibyteIsReadOneByteMoreIsNotFound) {
    std::string bytes = "台=5\n";
    bytes.resize(1048576, ' ');
    bytes[1048575] = '\n';
    load(bytes);
    EXPECT_EQ(gSettingsFile.found, 1);
    EXPECT_EQ(gSettings.settings.board, 5);
    bytes.push_back(' ');
    load(bytes);
    EXPECT_EQ(gSettingsFile.found, 0);
    EXPECT_EQ(gSettings.settings.board, 1);
}

TEST_F(SettingsFile, RemovedKeyReturnsToDefault) {
    loadUtf8(u"台=5\n");
    EXPECT_EQ(gSettings.settings.board, 5);
    loadUtf8(u"; nothing\n");
    EXPECT_EQ(gSettings.settings.board, 1);
}

TEST(SettingsEncoding, Utf8StructureCheck) {
    const auto valid = [](const std::string& bytes) {
        return isValidUtf8(reinterpret_cast<const unsigned char*>(bytes.data()),
                           static_cast<uint32_t>(bytes.size()));
    };
    EXPECT_EQ(valid(""), 1);
    EXPECT_EQ(valid("plain ascii"), 1);
    EXPECT_EQ(valid(utf8Of(u"台=5")), 1);
    EXPECT_EQ(valid("\xED\xA0\x80"), 1);  // surrogates are not tested
    EXPECT_EQ(valid("\x91\xe4"), 0);      // Shift-JIS
    EXPECT_EQ(valid("\xE3\x81"), 0);      // cut short
    EXPECT_EQ(valid("\xF8\x80\x80\x80\x80"), 0);
    EXPECT_EQ(valid("\x80"), 0);
}

TEST(SettingsEncoding, ShiftJisThroughThePlatformConverter) {
    const std::string bytes = "\x83\x54\x81\x5b\x83\x6f\x81\x5b\x81\x81";  // サーバー＝
    char16_t text[16];
    const int32_t units =
        convertToUtf16(CODEPAGE_SHIFT_JIS, reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int32_t>(bytes.size()), text, 15);
    ASSERT_EQ(units, 5);
    text[units] = 0;
    EXPECT_EQ(std::u16string(text), u"サーバー＝");

    const std::string sjis = "\x91\xe4=2";  // 台=2
    char16_t* decoded = decodeSettingsBytes(reinterpret_cast<const unsigned char*>(sjis.data()),
                                            static_cast<uint32_t>(sjis.size()));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::u16string(decoded), u"台=2");
    heapFree(decoded);
}

// The sample settings file of the release package must read as the defaults
// in both modes (so copying it unchanged changes nothing), and every key the
// board knows must appear in it, active or as a commented example.
TEST(SampleSettings, ReadsAsTheDefaultsAndListsEveryKey) {
    const std::string path = VELMORANT_SOURCE_DIR "/docs/velmorant.ini";
    std::stringstream read;
    read << std::ifstream(path, std::ios::binary).rdbuf();
    const std::string bytes = read.str();
    ASSERT_GT(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF") << "saved as UTF-8 with signature";

    copyTextN(gSettingsFile.path, PATH_CAPACITY, std::u16string(path.begin(), path.end()).c_str(),
              static_cast<int32_t>(path.size()));
    for (int32_t child = 0; child <= 1; ++child) {
        gSettings.kioskChild = child;
        loadSettings();
        EXPECT_EQ(gSettingsFile.found, 1);
        EXPECT_EQ(std::u16string(gSettings.settings.server), u"127.0.0.1");
        EXPECT_EQ(gSettings.settings.port, 8020);
        EXPECT_EQ(gSettings.settings.board, 1);
        EXPECT_EQ(gSettings.settings.fetchIntervalMs, 1000);
        EXPECT_EQ(std::u16string(gSettings.settings.fontFace), u"MS Gothic");
        EXPECT_EQ(std::u16string(gSettings.settings.labelFontFace), u"MS PGothic");
        EXPECT_EQ(gSettings.settings.preventSleep, 1);
        EXPECT_EQ(gSettings.settings.showUnlitDots, 1);
        EXPECT_EQ(gSettings.settings.melodyEnabled, 1);
        EXPECT_EQ(gSettings.settings.bootScreen, child) << "left to the mode's default";
        EXPECT_EQ(gSettings.settings.dailyRestartMinute, -1);
        EXPECT_EQ(gSettings.settings.backgroundColor, 0u);
    }
    gSettings.kioskChild = 0;

    const char* keys[] = {"サーバー", "ポート",         "台",           "取得間隔",
                          "フォント", "ラベルフォント", "スリープ防止", "消灯ドット",
                          "メロディ", "起動画面",       "定期再起動",   "背景色"};
    for (const char* key : keys) {
        // At the start of a line, active or commented out.
        const std::string active = std::string("\n") + key + " =";
        const std::string commented = std::string("\n; ") + key + " =";
        EXPECT_TRUE(bytes.find(active) != std::string::npos || bytes.find(commented) != std::string::npos)
            << key;
    }
}
