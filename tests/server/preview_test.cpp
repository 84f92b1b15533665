// The live preview through its entry point: a classic board's train row in
// its colours, blinking and alternating; a scroll row that keeps its own run
// while other boards are previewed; a new-style sign with both lines lit in
// the language faces a board PC has; the picture; unknown boards; and
// documents whose every dot must equal what the real board showed for them.
#include "server/preview/preview.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "documents/documents.h"
#include "render/newstyle.h"

namespace {

std::map<int, std::string> documents;

void serveTestDocuments() {
    setPreviewDocumentSource([](int32_t number, std::string* body) {
        const auto found = documents.find(number);
        if (found == documents.end()) {
            return false;
        }
        *body = found->second;
        return true;
    });
}

BoardDocument readDocument(const std::string& text) {
    static BoardDocument document;
    EXPECT_EQ(parseDisplayDocument(reinterpret_cast<const unsigned char*>(text.data()),
                                   static_cast<int32_t>(text.size()), &document),
              1);
    return document;
}

// The dots of a box, row by row.
std::vector<uint8_t> box(const PreviewDots& d, int x0, int x1, int y0, int y1) {
    std::vector<uint8_t> dots;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            dots.push_back(d.dots[static_cast<size_t>(y * d.width + x)]);
        }
    }
    return dots;
}

int litCount(const std::vector<uint8_t>& dots) {
    int lit = 0;
    for (uint8_t v : dots) {
        lit += v != 0 ? 1 : 0;
    }
    return lit;
}

bool onlyColour(const std::vector<uint8_t>& dots, uint8_t colour) {
    for (uint8_t v : dots) {
        if (v != 0 && v != colour) {
            return false;
        }
    }
    return true;
}

// A board tick where every period of these documents begins.
constexpr int64_t T0 = 4290000000;

const std::string CLASSIC =
    "velmorant 2\nplatform=1\nwidth=256\nrows=3\n"
    "line=train\t7:20\t港南\tKonan\tB\t1\n"
    "line=text\t{R}運転見合わせ\tSuspended\t\tc\n"
    "line=scroll\tまもなく列車がまいります。危ないですから黄色い線の内側までお下がりください\tY\nend\n";

TEST(ServerPreview, ClassicRowsBlinkAlternateAndScrollPerBoard) {
    documents[3] = CLASSIC;
    documents[6] = "velmorant 2\nwidth=200\nrows=1\nline=scroll\tほかの板の流れる文字\tG\nend\n";
    serveTestDocuments();
    const BoardDocument doc = readDocument(CLASSIC);

    PreviewDots on;
    ASSERT_TRUE(renderBoardPreview(3, T0 + 100, on));
    ASSERT_EQ(on.width, doc.width);
    ASSERT_EQ(on.height, doc.rows * BOARD_ROW_DOTS);
    for (int k = 0; k < PALETTE_SIZE; ++k) {
        EXPECT_EQ(on.palette[k], CLASSIC_PALETTE[k]);
    }
    const auto time = [&](const PreviewDots& d) { return box(d, doc.timeX, doc.destX, 0, 16); };
    const auto destination = [&](const PreviewDots& d) { return box(d, doc.destX, d.width, 0, 16); };
    EXPECT_GT(litCount(time(on)), 20);
    EXPECT_TRUE(onlyColour(time(on), doc.timeColor));
    EXPECT_GT(litCount(destination(on)), 40);
    EXPECT_TRUE(onlyColour(destination(on), parseColorCode(u"B")));
    EXPECT_TRUE(onlyColour(box(on, 0, on.width, 16, 32), parseColorCode(u"R")));
    EXPECT_GT(litCount(box(on, 0, on.width, 16, 32)), 40);

    // Half a blink period later only the time is dark; in the English phase
    // the destination changes and the time stays.
    PreviewDots off;
    PreviewDots english;
    ASSERT_TRUE(renderBoardPreview(3, T0 + 600, off));
    ASSERT_TRUE(renderBoardPreview(3, T0 + doc.jpMs + 100, english));
    EXPECT_EQ(litCount(time(off)), 0);
    EXPECT_EQ(destination(off), destination(on));
    EXPECT_EQ(time(english), time(on));
    EXPECT_NE(destination(english), destination(on));
    EXPECT_GT(litCount(destination(english)), 20);

    // The scroll row moves `scroll` dots a second, also while another board's
    // scroll is previewed in between.
    PreviewDots other;
    PreviewDots first;
    PreviewDots second;
    ASSERT_TRUE(renderBoardPreview(6, T0 + 3500, other));
    ASSERT_TRUE(renderBoardPreview(3, T0 + 3000, first));
    ASSERT_TRUE(renderBoardPreview(6, T0 + 3700, other));
    ASSERT_TRUE(renderBoardPreview(3, T0 + 4000, second));
    const int shift = doc.scroll;
    EXPECT_GT(litCount(box(second, 0, second.width, 32, 48)), 40);
    EXPECT_TRUE(onlyColour(box(second, 0, second.width, 32, 48), parseColorCode(u"Y")));
    EXPECT_EQ(box(second, 0, second.width - shift, 32, 48), box(first, shift, first.width, 32, 48));
    // Runs repeat: long afterwards the text is still passing.
    PreviewDots later;
    ASSERT_TRUE(renderBoardPreview(3, T0 + 3600000 + 4000, later));
    EXPECT_GT(litCount(box(later, 0, later.width, 32, 48)), 40);

    std::string png;
    ASSERT_TRUE(encodePreviewPng(on, 3, &png));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    const auto be32 = [&](size_t at) {
        return (static_cast<uint32_t>(static_cast<uint8_t>(png[at])) << 24) |
               (static_cast<uint32_t>(static_cast<uint8_t>(png[at + 1])) << 16) |
               (static_cast<uint32_t>(static_cast<uint8_t>(png[at + 2])) << 8) |
               static_cast<uint32_t>(static_cast<uint8_t>(png[at + 3]));
    };
    EXPECT_EQ(be32(16), static_cast<uint32_t>(on.width * 3));
    EXPECT_EQ(be32(20), static_cast<uint32_t>(on.height * 3));
    EXPECT_FALSE(encodePreviewPng(on, 0, &png));
}

TEST(ServerPreview, NewStyleSignInEveryInstalledLanguageAndUnknownBoards) {
    const std::string sign =
        "velmorant-new 1\nplatform=1\nlangs=jeso\nlangMs=4000\n"
        "row=train\t7:20\t0\t\t港南|Konan||东港|港南|항남\n"
        "msg=approach\t接近|Approaching\tまもなく列車がまいります|A train is "
        "approaching||列车即将进站||열차가 들어옵니다\n"
        "end\n";
    documents[9] = sign;
    serveTestDocuments();

    // One preview per language of the cycle: j, e, s, o.
    PreviewDots phases[4];
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(renderBoardPreview(9, T0 + 4000 * i + 100, phases[i]));
        ASSERT_EQ(phases[i].width, NEW_STYLE_COLUMNS);
        ASSERT_EQ(phases[i].height, NEW_STYLE_ROWS);
        EXPECT_GT(litCount(box(phases[i], 0, 384, 0, 24)), 100) << i;
        EXPECT_GT(litCount(box(phases[i], 0, 384, 24, 48)), 1000) << i;
        // The right-hand half of the train line is the phase's language.
        EXPECT_GT(litCount(box(phases[i], 210, 384, 0, 24)), 40) << i;
    }
    for (int k = 0; k < NEW_STYLE_PALETTE_SIZE; ++k) {
        EXPECT_EQ(phases[0].palette[k], NEW_STYLE_PALETTE[k]);
    }
    EXPECT_NE(box(phases[2], 210, 384, 0, 24), box(phases[0], 210, 384, 0, 24));
    EXPECT_NE(box(phases[3], 210, 384, 0, 24), box(phases[2], 210, 384, 0, 24));
    // The language faces a board PC is given: SimSun, PMingLiU and Gulim are
    // there, the first Chinese candidate is not.
    EXPECT_TRUE(textEquals(gNewStyle.fontSlots[LANGUAGE_SIMPLIFIED].face, u"SimSun"));
    EXPECT_TRUE(textEquals(gNewStyle.fontSlots[LANGUAGE_TRADITIONAL].face, u"PMingLiU"));
    EXPECT_TRUE(textEquals(gNewStyle.fontSlots[LANGUAGE_KOREAN].face, u"Gulim"));

    // The sign's scroll line runs on between previews and across runs.
    const std::string scrolling =
        "velmorant-new 1\nscroll=40\nrow=text\t本日は|Today\n"
        "msg=scroll\t\tこの先の踏切で安全確認を行ったため、列車が遅れております\nend\n";
    documents[10] = scrolling;
    const int shift = readDocument(scrolling).scroll;
    PreviewDots first;
    PreviewDots second;
    PreviewDots later;
    ASSERT_TRUE(renderBoardPreview(10, T0, first));
    ASSERT_TRUE(renderBoardPreview(9, T0 + 100, phases[0]));
    ASSERT_TRUE(renderBoardPreview(10, T0 + 5000, first));
    ASSERT_TRUE(renderBoardPreview(10, T0 + 6000, second));
    ASSERT_TRUE(renderBoardPreview(10, T0 + 3600000 + 6000, later));
    EXPECT_GT(litCount(box(second, 0, 384, 24, 48)), 100);
    EXPECT_EQ(box(second, 0, 384 - shift, 24, 48), box(first, shift, 384, 24, 48));
    EXPECT_GT(litCount(box(later, 0, 384, 24, 48)), 100);

    PreviewDots none;
    EXPECT_FALSE(renderBoardPreview(42, T0, none));
    setPreviewDocumentSource(nullptr);
    EXPECT_FALSE(renderBoardPreview(9, T0, none));
}

// The references were recorded from velmorant.exe under Wine by
// tools/preview-reference.py: fixed-pitch classic text squeezed and in the
// small font, emboldened Japanese and bold Latin sign texts, and a Chinese
// sign in its fixed-pitch face.
TEST(ServerPreview, MatchesTheBoardDotForDot) {
    for (const char* name : {"classic", "sign-japanese", "sign-chinese"}) {
        const std::string base = std::string(VELMORANT_SOURCE_DIR) + "/tests/server/preview/" + name;
        std::stringstream document;
        document << std::ifstream(base + ".txt", std::ios::binary).rdbuf();
        std::ifstream reference(base + ".dots");
        documents[20] = document.str();
        serveTestDocuments();
        PreviewDots dots;
        ASSERT_TRUE(renderBoardPreview(20, T0, dots)) << name;
        int rows = 0;
        int differing = 0;
        for (std::string line; std::getline(reference, line); ++rows) {
            ASSERT_EQ(static_cast<int>(line.size()), dots.width) << name;
            for (int x = 0; x < dots.width; ++x) {
                differing += line[static_cast<size_t>(x)] - '0' !=
                             dots.dots[static_cast<size_t>(rows * dots.width + x)];
            }
        }
        EXPECT_EQ(rows, dots.height) << name;
        EXPECT_EQ(differing, 0) << name;
    }
}

}  // namespace
