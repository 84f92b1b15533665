// The command line, the placement path and the window title.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "documents/documents.h"
#include "shell/shell.h"

namespace {

// The result points into the words, so they live until the next call.
std::vector<std::u16string> words;

CommandLine read(std::vector<std::u16string> arguments) {
    words = std::move(arguments);
    words.insert(words.begin(), u"velmorant.exe");
    std::vector<char16_t*> pointers;
    for (auto& word : words) {
        pointers.push_back(word.data());
    }
    CommandLine line;
    readCommandLine(static_cast<int32_t>(pointers.size()), pointers.data(), &line);
    return line;
}

std::u16string str(const char16_t* text) {
    return text == nullptr ? u"<null>" : std::u16string(text);
}

}  // namespace

TEST(CommandLine, SwitchesIgnoreCaseAndKioskWins) {
    CommandLine line = read({u"/KIOSK", u"/Child", u"/snap", u"a.bmp", u"500"});
    EXPECT_EQ(line.kiosk, 1);
    EXPECT_EQ(line.child, 1);
    EXPECT_EQ(str(line.snapshotFile), u"a.bmp");
    EXPECT_EQ(line.snapshotMs, 500);
    EXPECT_EQ(line.settingsFile, nullptr);
    line = read({});
    EXPECT_EQ(line.kiosk + line.child + line.reboot, 0);
    EXPECT_EQ(line.snapshotFile, nullptr);
}

TEST(CommandLine, SnapNeedsTwoArgumentsElseTheyAreSettingsPaths) {
    CommandLine line = read({u"/snap", u"picture.bmp"});
    EXPECT_EQ(line.snapshotFile, nullptr);
    EXPECT_EQ(str(line.settingsFile), u"picture.bmp");
    line = read({u"board.ini", u"/snap", u"x.bmp", u"abc"});
    EXPECT_EQ(str(line.snapshotFile), u"x.bmp");
    EXPECT_EQ(line.snapshotMs, 0);  // no digits: 0
    EXPECT_EQ(str(line.settingsFile), u"board.ini");
    line = read({u"/snap", u"x.bmp", u"-20", u"later.ini"});
    EXPECT_EQ(line.snapshotMs, -20);
    EXPECT_EQ(str(line.settingsFile), u"later.ini");
    line = read({u"/snap", u"x.bmp", u"１５００"});
    EXPECT_EQ(line.snapshotMs, 1500);
}

TEST(CommandLine, RebootStopsReadingAtOnce) {
    CommandLine line = read({u"first.ini", u"/Reboot", u"/kiosk", u"second.ini"});
    EXPECT_EQ(line.reboot, 1);
    EXPECT_EQ(line.kiosk, 0);
    EXPECT_EQ(str(line.settingsFile), u"first.ini");
}

TEST(PlacementPath, SettingsPathCutTo255ThenPos) {
    char16_t out[PATH_CAPACITY];
    buildPlacementPath(u"C:\\board\\velmorant.ini", out, PATH_CAPACITY);
    EXPECT_EQ(str(out), u"C:\\board\\velmorant.ini.pos");
    const std::u16string longPath(259, u'p');
    buildPlacementPath(longPath.c_str(), out, PATH_CAPACITY);
    EXPECT_EQ(str(out), std::u16string(255, u'p') + u".pos");
}

TEST(Title, BothFormatsAndTheNoNameForm) {
    BoardDocument document;
    resetToClassicDefaults(&document);
    char16_t title[TITLE_CAPACITY];
    formatTitle(document, u"127.0.0.1", 8020, title, TITLE_CAPACITY);
    EXPECT_EQ(str(title), u"発車標  [127.0.0.1:8020]");
    copyText(document.platform, u"3");
    copyText(document.labelJp, u"東京方面");
    formatTitle(document, u"board.local", 80, title, TITLE_CAPACITY);
    EXPECT_EQ(str(title), u"発車標 - 3番線 東京方面  [board.local:80]");
    document.isNewStyle = 1;
    copyText(document.viaJp, u"新宿");
    document.platform[0] = 0;
    formatTitle(document, u"s", 1, title, TITLE_CAPACITY);
    EXPECT_EQ(str(title), u"発車標 - 新宿 方面  [s:1]");
    // The longest title fits whole.
    copyText(document.platform, u"1234567");
    copyText(document.viaJp, std::u16string(31, u'v').c_str());
    const std::u16string server(127, u's');
    formatTitle(document, server.c_str(), 65535, title, TITLE_CAPACITY);
    EXPECT_EQ(str(title).size(), std::u16string(u"発車標 - 1234567番線 ").size() + 31 + 3 + 3 + 127 + 7);
}
