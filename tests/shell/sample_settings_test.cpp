// The sample settings file shipped in the release package: it must read as
// the defaults (so copying it unchanged changes nothing), and every key the
// board knows must appear in it, active or as a commented example.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "documents/documents.h"

namespace {

const char SAMPLE[] = VELMORANT_SOURCE_DIR "/docs/velmorant.ini";

std::string sampleBytes() {
    std::ifstream in(SAMPLE, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

TEST(SampleSettings, ReadsAsTheDefaultsInBothModes) {
    const std::string bytes = sampleBytes();
    ASSERT_GT(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF") << "saved as UTF-8 with signature";

    const std::string path(SAMPLE);
    copyTextN(settingsPath, PATH_CAPACITY, std::u16string(path.begin(), path.end()).c_str(),
              static_cast<int32_t>(path.size()));
    for (int32_t child = 0; child <= 1; ++child) {
        kioskChild = child;
        loadSettings();
        EXPECT_EQ(settingsFound, 1);
        EXPECT_EQ(std::u16string(settings.server), u"127.0.0.1");
        EXPECT_EQ(settings.port, 8020);
        EXPECT_EQ(settings.board, 1);
        EXPECT_EQ(settings.fetchIntervalMs, 1000);
        EXPECT_EQ(std::u16string(settings.fontFace), u"MS Gothic");
        EXPECT_EQ(std::u16string(settings.labelFontFace), u"MS PGothic");
        EXPECT_EQ(settings.preventSleep, 1);
        EXPECT_EQ(settings.showUnlitDots, 1);
        EXPECT_EQ(settings.melodyEnabled, 1);
        EXPECT_EQ(settings.bootScreen, child) << "left to the mode's default";
        EXPECT_EQ(settings.dailyRestartMinute, -1);
        EXPECT_EQ(settings.backgroundColor, 0u);
    }
    kioskChild = 0;
}

TEST(SampleSettings, ListsEveryKey) {
    const std::string bytes = sampleBytes();
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
