// The new-style LED content at chosen ticks: dot primitives and the position
// diagram compared dot for dot, the language cycle and the blink phase, and
// the text lines through a fake glyph source whose "font" draws every
// character as a block 8 dots wide (spaces as nothing), so that where text
// lands can be checked exactly. The AnyLedGlyphSource cases hold for every
// glyph source; the Windows build runs them with GDI's fonts as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ledsources.h"
#include "render/newstyle.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

namespace {

uint32_t fakeScratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];

struct DrawnText {
    std::u16string text;
    int32_t slot;
    int32_t height;
    int32_t weight;
    int32_t cell;
    int32_t baseline;
};
std::vector<DrawnText> drawn;
DrawnText pending;
int32_t fakeCharWidth = 8;
// When set, characters from U+2E80 on are this wide (the others
// fakeCharWidth), as in a real Japanese face.
int32_t fakeWideCharWidth = 0;

int32_t fakeWidth(char16_t c) {
    return fakeWideCharWidth > 0 && c >= 0x2E80 ? fakeWideCharWidth : fakeCharWidth;
}

int32_t fakeMeasure(const char16_t* text, int32_t length, int32_t slot, int32_t height, int32_t weight) {
    pending = DrawnText{std::u16string(text, static_cast<size_t>(length)), slot, height, weight, 0, 0};
    int32_t width = 0;
    for (int32_t i = 0; i < length; ++i) {
        width += fakeWidth(text[i]);
    }
    return width;
}

// Each visible character inks columns 1..width-2 of its cell, from three
// rows above the baseline up to the baseline row itself.
void fakeDraw(const char16_t* text, int32_t length, int32_t cx, int32_t cell, int32_t baselineY) {
    for (int32_t y = 0; y < cell; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            fakeScratch[y * LED_SCRATCH_WIDTH + x] = 0;
        }
    }
    const int32_t bottom = baselineY;
    int32_t left = 0;
    for (int32_t i = 0; i < length; ++i) {
        const int32_t w = fakeWidth(text[i]);
        left += w;
        if (text[i] == u' ' || text[i] == u'\u3000') {
            continue;
        }
        for (int32_t y = bottom - 3; y <= bottom; ++y) {
            for (int32_t x = left - w + 1; x < left - 1 && x < cx; ++x) {
                if (y >= 0 && y < cell) {
                    fakeScratch[y * LED_SCRATCH_WIDTH + x] = 0xFFFFFF;
                }
            }
        }
    }
    pending.cell = cell;
    pending.baseline = baselineY;
    drawn.push_back(pending);
}

const LedGlyphSource fakeGlyphs = {fakeMeasure, fakeDraw, fakeScratch};

uint8_t dot(int32_t x, int32_t y) {
    return gNewStyle.newStyleGrid.dots[y * NEW_STYLE_STRIDE + x];
}

// The dots of a rectangle of the grid as text: '.' unlit, '#' colour c,
// '?' any other colour.
std::vector<std::string> picture(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t c) {
    std::vector<std::string> rows;
    for (int32_t r = 0; r < h; ++r) {
        std::string row;
        for (int32_t k = 0; k < w; ++k) {
            const uint8_t v = dot(x + k, y + r);
            row += v == 0 ? '.' : (v == c ? '#' : '?');
        }
        rows.push_back(row);
    }
    return rows;
}

bool wasDrawn(const std::u16string& text) {
    for (const DrawnText& d : drawn) {
        if (d.text == text) {
            return true;
        }
    }
    return false;
}

const DrawnText* findDrawn(const std::u16string& text) {
    for (const DrawnText& d : drawn) {
        if (d.text == text) {
            return &d;
        }
    }
    return nullptr;
}

int32_t countColour(uint8_t c) {
    int32_t n = 0;
    for (uint8_t v : gNewStyle.newStyleGrid.dots) {
        n += v == c ? 1 : 0;
    }
    return n;
}

// Where a train-line text (drawn as the train line draws it: height 21,
// bold, cell 24, in the given slot) stands whole and unsqueezed in the line
// from row y: its first lit column and the width from there to its last,
// with an unlit column on either side; first is -1 when no such copy is there.
struct Placed {
    int32_t first;  // the grid column of its first lit column, or -1
    int32_t width;  // first to last lit column
};

Placed findWholeText(const char16_t* text, int32_t slot, int32_t y = 0) {
    static NewStyleGrid alone;
    std::memset(alone.dots, 0, sizeof alone.dots);
    drawLedText(text, slot, 21, 700, 24, alone.dots, NEW_STYLE_STRIDE, NEW_STYLE_COLUMNS, NEW_STYLE_ROWS, 0,
                0, LED_WHITE, 0, 0);
    const auto column = [](const uint8_t* dots, int32_t c) {
        std::string rows;
        for (int32_t r = 0; r < 24; ++r) {
            rows += static_cast<char>(dots[r * NEW_STYLE_STRIDE + c]);
        }
        return rows;
    };
    const uint8_t* line = gNewStyle.newStyleGrid.dots + y * NEW_STYLE_STRIDE;
    const std::string dark(24, '\0');
    int32_t first = -1;
    int32_t last = -1;
    for (int32_t c = 0; c < NEW_STYLE_COLUMNS; ++c) {
        if (column(alone.dots, c) != dark) {
            first = first < 0 ? c : first;
            last = c;
        }
    }
    if (first < 0) {
        return {-1, 0};
    }
    const int32_t width = last - first + 1;
    for (int32_t x = 0; x + width <= NEW_STYLE_COLUMNS; ++x) {
        bool same = (x == 0 || column(line, x - 1) == dark) &&
                    (x + width == NEW_STYLE_COLUMNS || column(line, x + width) == dark);
        for (int32_t k = 0; k < width && same; ++k) {
            same = column(line, x + k) == column(alone.dots, first + k);
        }
        if (same) {
            return {x, width};
        }
    }
    return {-1, width};
}

}  // namespace

void resetNewStyleTestBoard() {
    std::memset(&gDocuments.currentDocument, 0, sizeof gDocuments.currentDocument);
    gDocuments.currentDocument.isNewStyle = 1;
    gDocuments.currentDocument.langMs = 4000;
    gDocuments.currentDocument.blinkMs = 1000;
    gDocuments.currentDocument.scroll = 40;
    gDocuments.currentDocument.side = u'L';
    fillFontSlots(nullptr);
    resetNewStyleScroll();
    gLink.serverOk = 1;
    gLink.lastFetchOkTick = 0;
    std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);
}

namespace {

class NewStyleLeds : public ::testing::Test {
protected:
    void SetUp() override {
        resetNewStyleTestBoard();
        setLedGlyphSource(&fakeGlyphs);
        fakeCharWidth = 8;
        fakeWideCharWidth = 0;
        drawn.clear();
    }
    void TearDown() override {
        setLedGlyphSource(nullptr);
        gLink.serverOk = 0;
    }
    // The fake source records what a frame asks it to draw; the ink of texts
    // drawn before is kept between frames, so it is forgotten first.
    void compose(uint32_t now) {
        drawn.clear();
        forgetLedText();
        gLink.lastFetchOkTick = now;
        composeNewStyleLeds(now, currentBoardStatus());
    }
};

TEST_F(NewStyleLeds, RingStadiumAndClipping) {
    ledRing(6, 6);
    const std::vector<std::string> ring = {
        ".............", "....#####....", "...#######...", "..##.....##..", ".##.......##.",
        ".##.......##.", ".##.......##.", ".##.......##.", ".##.......##.", "..##.....##..",
        "...#.....#...", ".####...####.", ".............",
    };
    EXPECT_EQ(picture(0, 0, 13, 13, LED_AMBER), ring);

    std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);
    ledStadium(100, 10, 120, 18, 7);
    const std::vector<std::string> stadium = {
        "....#############.....", "..#...............#...", ".#.................#..",
        ".#.................#..", "#...................#.", ".#.................#..",
        ".#.................#..", "..#...............#...", "....#############.....",
    };
    EXPECT_EQ(picture(100, 10, 22, 9, 7), stadium);

    // Shapes hanging over every edge lose only the dots outside the grid.
    std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);
    ledRect(-5, -5, 400, 60, 2);
    ledStadium(370, 40, 420, 60, 2);
    ledRing(-3, 46);
    ledChevrons(378, 2, 3);
    ledTrainPicture(370, 40);
    setLed(384, 0, 2);
    setLed(0, 48, 2);
    setLed(-1, -1, 2);
    EXPECT_EQ(dot(383, 47), 8);  // the picture's S row, cut at the right edge
    EXPECT_EQ(dot(0, 40), 0);
    ledLine(-10, 1000, 47, 2);
    EXPECT_EQ(countColour(2) >= NEW_STYLE_COLUMNS, true);
    EXPECT_EQ(dot(0, 47), 2);
    EXPECT_EQ(dot(383, 47), 2);
}

TEST_F(NewStyleLeds, ChevronPhasesAndShape) {
    for (int32_t phase = 0; phase < 4; ++phase) {
        std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);
        ledChevrons(10, 20, phase);
        for (int32_t i = 0; i < 3; ++i) {
            const uint8_t expected = (phase == i || phase == 3) ? LED_AMBER : LED_DIM_AMBER;
            // The middle row of chevron i is three dots at 10i..10i+2, its
            // ends seven rows up and down at 10i+7..10i+9.
            EXPECT_EQ(dot(10 + 10 * i, 20), expected) << phase << " " << i;
            EXPECT_EQ(dot(10 + 10 * i + 2, 20), expected);
            EXPECT_EQ(dot(10 + 10 * i + 3, 20), 0);
            EXPECT_EQ(dot(10 + 10 * i + 7, 13), expected);
            EXPECT_EQ(dot(10 + 10 * i + 9, 27), expected);
        }
    }
    // One chevron alone: 3 dots thick over rows y-7..y+7, its point in
    // column x on row y.
    std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);
    ledChevrons(0, 8, 0);
    const std::vector<std::string> first = {
        ".......###", "......###.", ".....###..", "....###...", "...###....",
        "..###.....", ".###......", "###.......", ".###......", "..###.....",
        "...###....", "....###...", ".....###..", "......###.", ".......###",
    };
    EXPECT_EQ(picture(0, 1, 10, 15, LED_AMBER), first);
    EXPECT_EQ(picture(10, 1, 10, 15, LED_DIM_AMBER), first);
}

TEST_F(NewStyleLeds, TrainPictureLettersAndPlacement) {
    ledTrainPicture(100, 5);
    EXPECT_EQ(dot(100, 5), 0);   // row 0 starts with spaces
    EXPECT_EQ(dot(106, 5), 0);   // K is the unlit colour
    EXPECT_EQ(dot(107, 6), 7);   // row 1 column 7: G
    EXPECT_EQ(dot(104, 7), 1);   // row 2 column 4: W
    EXPECT_EQ(dot(101, 9), 9);   // row 4 column 1: B
    EXPECT_EQ(dot(111, 11), 9);  // row 6 column 11: B
    EXPECT_EQ(dot(110, 11), 0);  // row 6 column 10: K
    EXPECT_EQ(dot(101, 12), 8);  // row 7: S
    EXPECT_EQ(dot(107, 16), 1);  // row 11 column 7: W
    // Spaces leave what was there: a lit dot under the first column of row 0
    // survives, one under a K does not.
    std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);
    setLed(200, 20, 3);
    setLed(206, 20, 3);
    setLed(234, 20, 3);  // row 0 column 34 is a space
    ledTrainPicture(200, 20);
    EXPECT_EQ(dot(200, 20), 3);
    EXPECT_EQ(dot(206, 20), 0);
    EXPECT_EQ(dot(234, 20), 3);
    EXPECT_EQ(dot(233, 20), 0);
    int32_t amber = 0;
    for (int32_t r = 0; r < 13; ++r) {
        for (int32_t c = 0; c < 35; ++c) {
            amber += dot(200 + c, 20 + r) == 3 ? 1 : 0;
        }
    }
    EXPECT_EQ(amber, 2);
}

TEST_F(NewStyleLeds, LanguageCycleWithRepeatsAndUnavailableSlots) {
    copyText(gDocuments.currentDocument.langs, u"j,e");
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 0), 0);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 3999), 0);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 4000), 1);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 7999), 1);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 8000), 0);

    copyText(gDocuments.currentDocument.langs, u"jje");
    int32_t japanese = 0;
    for (uint32_t t = 0; t < 12000; t += 1000) {
        japanese += currentLanguage(gDocuments.currentDocument, t) == 0 ? 1 : 0;
    }
    EXPECT_EQ(japanese, 8);

    // No Chinese face on this machine: "s" drops out of the cycle.
    copyText(gDocuments.currentDocument.langs, u"js");
    for (uint32_t t = 0; t < 16000; t += 1000) {
        EXPECT_EQ(currentLanguage(gDocuments.currentDocument, t), 0);
    }
    gNewStyle.fontSlots[LANGUAGE_SIMPLIFIED].available = 1;
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 4000), LANGUAGE_SIMPLIFIED);

    copyText(gDocuments.currentDocument.langs, u"x?o");
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 4000), 0);  // nothing usable: Japanese

    copyText(gDocuments.currentDocument.langs, u"ek");
    gDocuments.currentDocument.langMs = 0;  // falls back to 4000
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 3999), 1);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 4000), 2);
    gDocuments.currentDocument.langMs = -5;
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 4000), 2);
    gDocuments.currentDocument.langMs = 1000;
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 0xFFFFFFFFu),
              static_cast<int32_t>((0xFFFFFFFFu / 1000u) % 2u == 0 ? 1 : 2));
}

TEST_F(NewStyleLeds, BlinkPhase) {
    gDocuments.currentDocument.blinkMs = 1000;
    EXPECT_TRUE(blinkPhaseOn(gDocuments.currentDocument, 0));
    EXPECT_TRUE(blinkPhaseOn(gDocuments.currentDocument, 499));
    EXPECT_FALSE(blinkPhaseOn(gDocuments.currentDocument, 500));
    EXPECT_FALSE(blinkPhaseOn(gDocuments.currentDocument, 999));
    EXPECT_TRUE(blinkPhaseOn(gDocuments.currentDocument, 1000));
    gDocuments.currentDocument.blinkMs = 0;
    EXPECT_TRUE(blinkPhaseOn(gDocuments.currentDocument, 700));
    gDocuments.currentDocument.blinkMs = -3;
    EXPECT_TRUE(blinkPhaseOn(gDocuments.currentDocument, 700));
}

TEST_F(NewStyleLeds, LedTextBaselineSqueezeCentreAndLimits) {
    uint8_t target[40 * 30] = {};
    // Height 18 in a cell of 24: baseline (18 + 24) / 2 - 18 * 12 / 100 = 19.
    EXPECT_EQ(drawLedText(u"AB", 0, 18, 700, 24, target, 40, 40, 30, 3, 2, 5, 0, 0), 16);
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].baseline, 19);
    EXPECT_EQ(drawn[0].cell, 24);
    EXPECT_EQ(target[(2 + 16) * 40 + 3], 0);  // column 0 of a character is blank
    EXPECT_EQ(target[(2 + 16) * 40 + 4], 5);  // ink from row 16 ...
    EXPECT_EQ(target[(2 + 19) * 40 + 9], 5);  // ... to the baseline row 19
    EXPECT_EQ(target[(2 + 20) * 40 + 9], 0);
    EXPECT_EQ(target[(2 + 15) * 40 + 9], 0);

    // Squeezed to 8 of 16 columns: pairs of columns merge, so the blank
    // column between the two characters disappears.
    std::memset(target, 0, sizeof target);
    EXPECT_EQ(drawLedText(u"AB", 0, 18, 700, 24, target, 40, 40, 30, 0, 0, 5, 8, 0), 8);
    for (int32_t c = 0; c < 8; ++c) {
        EXPECT_EQ(target[19 * 40 + c], 5) << c;
    }
    EXPECT_EQ(target[19 * 40 + 8], 0);

    // Centred: x is the middle of the output.
    std::memset(target, 0, sizeof target);
    EXPECT_EQ(drawLedText(u"A", 0, 18, 700, 24, target, 40, 40, 30, 20, 0, 5, 0, 1), 8);
    EXPECT_EQ(target[19 * 40 + 16], 0);
    EXPECT_EQ(target[19 * 40 + 17], 5);
    EXPECT_EQ(target[19 * 40 + 22], 5);
    EXPECT_EQ(target[19 * 40 + 23], 0);

    // Columns and rows outside the limits are dropped, not written.
    std::memset(target, 0, sizeof target);
    drawLedText(u"ABCDEFGH", 0, 18, 700, 24, target, 40, 20, 10, -4, -12, 5, 0, 0);
    for (int32_t r = 0; r < 30; ++r) {
        for (int32_t c = 0; c < 40; ++c) {
            if (r >= 10 || c >= 20) {
                EXPECT_EQ(target[r * 40 + c], 0) << r << "," << c;
            }
        }
    }
    EXPECT_EQ(target[7 * 40 + 0], 5);

    // The cell is held to the 32-row scratch; wide text to its 2048 columns.
    drawn.clear();
    fakeCharWidth = 300;
    static uint8_t wide[48 * 4096];
    EXPECT_EQ(drawLedText(u"ABCDEFGHIJ", 0, 18, 700, 40, wide, 4096, 4096, 48, 0, 0, 5, 0, 0), 2048);
    EXPECT_EQ(drawn[0].cell, 32);
    EXPECT_EQ(wide[(drawn[0].baseline) * 4096 + 2047], 5);
    EXPECT_EQ(wide[(drawn[0].baseline) * 4096 + 2048], 0);

    EXPECT_EQ(drawLedText(u"", 0, 18, 700, 24, target, 40, 40, 30, 0, 0, 5, 0, 0), 0);
    setLedGlyphSource(nullptr);
    EXPECT_EQ(drawLedText(u"A", 0, 18, 700, 24, target, 40, 40, 30, 0, 0, 5, 0, 0), 0);
}

TEST_F(NewStyleLeds, TrainLineDropsSpacesInTheJapanesePhase) {
    copyText(gDocuments.currentDocument.langs, u"je");
    gDocuments.currentDocument.row.kind = ROW_TRAIN;
    copyText(gDocuments.currentDocument.row.time, u"9:05");
    copyText(gDocuments.currentDocument.row.trainTexts.text[0], u"東京\u3000行");
    copyText(gDocuments.currentDocument.row.trainTexts.text[1], u"Tokyo");

    compose(100);
    ASSERT_TRUE(wasDrawn(u"9:05"));
    EXPECT_EQ(findDrawn(u"9:05")->slot, 1);
    EXPECT_EQ(findDrawn(u"9:05")->height, 22);
    ASSERT_TRUE(wasDrawn(u"東京\u3000行"));
    ASSERT_TRUE(wasDrawn(u"東京行"));
    EXPECT_EQ(findDrawn(u"東京行")->slot, 0);
    // The time, left-aligned at 12.
    EXPECT_EQ(dot(13, 20), LED_WHITE);

    // English phase: the English text at 292, the Japanese one still at 178.
    compose(4100);
    EXPECT_TRUE(wasDrawn(u"Tokyo"));
    EXPECT_EQ(findDrawn(u"Tokyo")->slot, 1);
    EXPECT_FALSE(wasDrawn(u"東京行"));
    EXPECT_TRUE(wasDrawn(u"東京\u3000行"));

    // A blinking time is left out in the off half of the blink.
    gDocuments.currentDocument.row.blink = 1;
    compose(600);
    EXPECT_FALSE(wasDrawn(u"9:05"));
    EXPECT_EQ(dot(13, 20), 0);
    compose(1100);
    EXPECT_TRUE(wasDrawn(u"9:05"));

    // The lower train line sits 24 rows lower.
    std::memset(&gDocuments.currentDocument.row, 0, sizeof gDocuments.currentDocument.row);
    gDocuments.currentDocument.msg.kind = MSG_TRAIN;
    copyText(gDocuments.currentDocument.msg.time, u"9:12");
    copyText(gDocuments.currentDocument.msg.texts.text[0], u"品川");
    compose(100);
    EXPECT_EQ(dot(13, 44), LED_WHITE);
    EXPECT_EQ(dot(13, 20), 0);
}

TEST_F(NewStyleLeds, TextRowUsesTheLanguageWithFallback) {
    copyText(gDocuments.currentDocument.langs, u"jo");
    gNewStyle.fontSlots[LANGUAGE_KOREAN].available = 1;
    gDocuments.currentDocument.row.kind = ROW_TEXT;
    copyText(gDocuments.currentDocument.row.texts.text[0], u"まもなく");
    compose(0);
    ASSERT_TRUE(wasDrawn(u"まもなく"));
    compose(4000);  // Korean phase, no Korean text: the Japanese one, Korean slot
    ASSERT_TRUE(wasDrawn(u"まもなく"));
    EXPECT_EQ(findDrawn(u"まもなく")->slot, LANGUAGE_KOREAN);
    copyText(gDocuments.currentDocument.row.texts.text[5], u"곧");
    compose(4000);
    EXPECT_TRUE(wasDrawn(u"곧"));
}

TEST_F(NewStyleLeds, StatusMessageReplacesEverything) {
    gDocuments.currentDocument.row.kind = ROW_TEXT;
    copyText(gDocuments.currentDocument.row.texts.text[0], u"まもなく");
    gDocuments.currentDocument.msg.kind = MSG_FRAME;

    gLink.serverOk = 0;
    drawn.clear();
    forgetLedText();
    composeNewStyleLeds(5000, currentBoardStatus());
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].text, u"サーバーに接続しています");
    EXPECT_GT(countColour(LED_WHITE), 0);
    EXPECT_EQ(countColour(LED_AMBER), 0);  // no frame

    gLink.serverOk = 1;
    gLink.lastFetchOkTick = 1000;
    drawn.clear();
    forgetLedText();
    composeNewStyleLeds(1000 + STALE_LINK_MS + 1, currentBoardStatus());
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].text, u"サーバーと通信できません");
    EXPECT_EQ(countColour(LED_WHITE), 0);
    EXPECT_GT(countColour(LED_AMBER_TEXT), 0);

    drawn.clear();
    forgetLedText();
    composeNewStyleLeds(1000 + STALE_LINK_MS, currentBoardStatus());  // exactly 15 s: still fresh
    EXPECT_TRUE(wasDrawn(u"まもなく"));
    EXPECT_GT(countColour(LED_AMBER), 0);

    // Tick wrap-around: a document fetched just before the counter wrapped.
    gLink.lastFetchOkTick = 0xFFFFFF00u;
    drawn.clear();
    forgetLedText();
    composeNewStyleLeds(0x00000100u, currentBoardStatus());
    EXPECT_TRUE(wasDrawn(u"まもなく"));
}

TEST_F(NewStyleLeds, FrameAndApproach) {
    copyText(gDocuments.currentDocument.langs, u"je");
    gDocuments.currentDocument.msg.kind = MSG_FRAME;
    copyText(gDocuments.currentDocument.msg.texts.text[0], u"ご注意");
    compose(0);
    EXPECT_EQ(dot(1, 25), LED_AMBER);
    EXPECT_EQ(dot(382, 46), LED_AMBER);
    EXPECT_EQ(dot(1, 36), LED_AMBER);
    EXPECT_EQ(dot(2, 36), 0);
    EXPECT_EQ(dot(0, 25), 0);
    // 24 dots centred at 192, baseline (16 + 20) / 2 - 1 = 17, from row 26.
    EXPECT_EQ(dot(181, 26 + 17), LED_AMBER_TEXT);

    gDocuments.currentDocument.msg.kind = MSG_APPROACH;
    parseLangTexts(std::u16string(u"接近|Approach").data(), &gDocuments.currentDocument.msg.texts);
    parseLangTexts(std::u16string(u"電車がきます|A train is approaching").data(),
                   &gDocuments.currentDocument.msg.texts2);
    compose(0);  // Japanese phase: the English message beside the label
    ASSERT_TRUE(wasDrawn(u"A train is approaching"));
    EXPECT_EQ(findDrawn(u"A train is approaching")->slot, 1);
    EXPECT_FALSE(wasDrawn(u"電車がきます"));
    EXPECT_TRUE(wasDrawn(u"接近"));
    EXPECT_FALSE(wasDrawn(u"Approach"));
    EXPECT_EQ(dot(0, 25), LED_AMBER);
    EXPECT_EQ(dot(185, 46), LED_AMBER);
    EXPECT_EQ(dot(186, 30), 0);
    EXPECT_EQ(dot(188, 30), LED_AMBER);
    EXPECT_EQ(dot(189, 30), 0);
    // 接近: 16 dots centred at 93 (85..100), baseline (18 + 22) / 2 - 2 = 18:
    // unlit letters in the lit block.
    EXPECT_EQ(dot(85, 25 + 18), LED_AMBER);
    EXPECT_EQ(dot(86, 25 + 18), 0);
    EXPECT_EQ(dot(86, 25 + 14), LED_AMBER);

    compose(4000);  // English phase: still the English message
    EXPECT_TRUE(wasDrawn(u"A train is approaching"));
    EXPECT_TRUE(wasDrawn(u"接近"));
}

// Grid rows 24..47 of a composition.
std::vector<uint8_t> lowerHalf() {
    return std::vector<uint8_t>(gNewStyle.newStyleGrid.dots + 24 * NEW_STYLE_STRIDE,
                                gNewStyle.newStyleGrid.dots + 48 * NEW_STYLE_STRIDE);
}

TEST_F(NewStyleLeds, PositionDiagramAtEveryPosition) {
    gDocuments.currentDocument.msg.kind = MSG_POS;
    // now 0: highlight, chevron phase 0; now 1000: no highlight, phase 0.
    for (int32_t p : {0, 1, 2, 3, 7}) {
        gDocuments.currentDocument.msg.position = p;
        compose(1000);
        // Without highlight every station is an outline and every arrow
        // shows chevrons.
        for (int32_t left : {2, 143, 286}) {
            EXPECT_EQ(dot(left, 35), LED_AMBER) << p;
            EXPECT_EQ(dot(left + 6, 35), 0) << p;
        }
        EXPECT_EQ(dot(102, 36), LED_AMBER) << p;
        EXPECT_EQ(dot(245, 36), LED_AMBER) << p;
        EXPECT_EQ(dot(102 + 10, 36), LED_DIM_AMBER) << p;
        const std::vector<uint8_t> plain = lowerHalf();

        compose(0);
        const std::vector<uint8_t> lit = lowerHalf();
        if (p == 7) {
            EXPECT_EQ(lit, plain);
            continue;
        }
        EXPECT_NE(lit, plain) << p;
        if (p == 0 || p == 2) {
            const int32_t left = p == 0 ? 286 : 143;
            const int32_t right = p == 0 ? 332 : 189;
            // A filled stadium with the train picture in its middle.
            EXPECT_EQ(dot(left + 2, 35), LED_AMBER) << p;
            EXPECT_EQ(dot(right - 2, 35), LED_AMBER) << p;
            EXPECT_EQ(dot(left + 8, 27), LED_AMBER) << p;
            EXPECT_EQ(dot(left + 7, 27), 0) << p;
            const int32_t trainX = left + (right - left - 34) / 2;
            EXPECT_EQ(dot(trainX + 1, 29 + 4), 9) << p;
            EXPECT_EQ(dot(trainX + 1, 29 + 7), 8) << p;
            // The other stations stay outlines.
            EXPECT_EQ(dot(2 + 6, 35), 0) << p;
        } else {
            const int32_t arrowX = p == 1 ? 245 : 102;
            const int32_t otherX = p == 1 ? 102 : 245;
            EXPECT_EQ(dot(arrowX - 1 + 1, 30 + 4), 9) << p;
            EXPECT_EQ(dot(arrowX - 1 + 1, 30 + 7), 8) << p;
            EXPECT_EQ(dot(otherX, 36), LED_AMBER) << p;
            // Stations are not highlighted between stations.
            EXPECT_EQ(dot(143 + 6, 35), 0) << p;
            EXPECT_EQ(dot(286 + 6, 35), 0) << p;
        }
    }

    // Station 0 carries a ring; all three carry their name at the name x.
    gDocuments.currentDocument.msg.position = 7;
    copyText(gDocuments.currentDocument.msg.stationNames[1].text[0], u"新橋");
    copyText(gDocuments.currentDocument.msg.stationLabels[2], u"JY25");
    compose(1000);
    EXPECT_EQ(dot(2 + 9, 36 - 5), LED_AMBER);  // top of the ring
    EXPECT_EQ(dot(2 + 9, 36 + 5), 0);          // its open bottom
    ASSERT_TRUE(wasDrawn(u"新橋"));
    EXPECT_EQ(findDrawn(u"新橋")->height, 16);
    EXPECT_EQ(dot(196, 26 + 17), LED_WHITE);
    ASSERT_TRUE(wasDrawn(u"JY25"));
    EXPECT_EQ(findDrawn(u"JY25")->slot, 1);
    // A highlighted station shows no label.
    gDocuments.currentDocument.msg.position = 0;
    compose(0);
    EXPECT_FALSE(wasDrawn(u"JY25"));
}

TEST_F(NewStyleLeds, ScrollMovesAtFortyDotsBySecondAndRestarts) {
    gDocuments.currentDocument.msg.kind = MSG_SCROLL;
    copyText(gDocuments.currentDocument.msg.scrollText, u"ABCD");  // 32 dots
    gDocuments.currentDocument.scroll = 0;                         // the default speed
    const uint32_t t0 = 50000;
    const int32_t baseline = (17 + 22) / 2 - 17 * 12 / 100;  // 17
    const int32_t row = 25 + baseline;

    compose(t0);
    EXPECT_EQ(countColour(LED_GREEN), 0);  // starts just beyond the right edge
    compose(t0 + 1000);                    // 40 dots in
    EXPECT_EQ(dot(344, row), 0);
    EXPECT_EQ(dot(345, row), LED_GREEN);
    EXPECT_EQ(dot(375, row), 0);
    EXPECT_EQ(dot(374, row), LED_GREEN);
    EXPECT_FALSE(wasDrawn(u"ABCD"));  // rendered once, then only copied

    // Gone past the left edge after (384 + 32) / 40 s: starts again.
    compose(t0 + 10400);
    EXPECT_EQ(dot(1, row), 0);
    compose(t0 + 10425);
    EXPECT_EQ(countColour(LED_GREEN), 0);
    compose(t0 + 11425);
    EXPECT_EQ(dot(345, row), LED_GREEN);

    // A given speed.
    gDocuments.currentDocument.scroll = 80;
    compose(t0 + 12425);  // 2 s into this run: 160 dots
    EXPECT_EQ(dot(224, row), 0);
    EXPECT_EQ(dot(225, row), LED_GREEN);

    // Another lower line forgets the scroll; when it returns it starts anew.
    gDocuments.currentDocument.msg.kind = MSG_FRAME;
    compose(t0 + 13000);
    gDocuments.currentDocument.msg.kind = MSG_SCROLL;
    compose(t0 + 14000);
    EXPECT_TRUE(wasDrawn(u"ABCD"));
    EXPECT_EQ(countColour(LED_GREEN), 0);

    // A new text starts anew too.
    compose(t0 + 15000);
    EXPECT_EQ(dot(305, row), LED_GREEN);
    copyText(gDocuments.currentDocument.msg.scrollText, u"XY");
    compose(t0 + 15000);
    EXPECT_EQ(countColour(LED_GREEN), 0);

    // A board left unpainted for most of the tick range restarts cleanly.
    compose(t0 + 0x80000000u);
    compose(t0 + 0x80000000u + 1000);
    EXPECT_EQ(dot(305, row), LED_GREEN);
}

TEST_F(NewStyleLeds, TextsDrawnAgainComeFromTheKeptInkAndMatchAFreshDrawing) {
    static uint8_t first[30 * 600];
    static uint8_t again[30 * 600];
    static uint8_t fresh[30 * 600];
    auto draw = [](const char16_t* text, int32_t cell, uint8_t* target) {
        std::memset(target, 0, 30 * 600);
        return drawLedText(text, 0, 18, 700, cell, target, 600, 600, 30, 0, 0, 5, 0, 0);
    };
    drawn.clear();
    EXPECT_EQ(draw(u"AB CD", 24, first), 40);
    EXPECT_EQ(draw(u"AB CD", 24, again), 40);
    EXPECT_EQ(drawn.size(), 1u);  // the second time, the source was not asked
    EXPECT_EQ(std::memcmp(first, again, sizeof first), 0);
    // Another cell height is another drawing.
    draw(u"AB CD", 20, again);
    EXPECT_EQ(drawn.size(), 2u);

    // More texts than are kept, in turn: each matches a fresh drawing.
    for (int32_t round = 0; round < 3; ++round) {
        for (int32_t i = 0; i < 30; ++i) {
            std::u16string text(static_cast<size_t>(1 + i % 9), static_cast<char16_t>(u'A' + i));
            if (i % 10 == 0) {
                text.append(100, u'x');  // longer than an entry holds
            }
            forgetLedText();
            const int32_t w = draw(text.c_str(), 24, fresh);
            const int32_t k = (i * 7 + round) % 30;
            std::u16string other(static_cast<size_t>(1 + k % 9), static_cast<char16_t>(u'A' + k));
            draw(other.c_str(), 24, again);  // fills the kept entries with others
            EXPECT_EQ(draw(text.c_str(), 24, again), w);
            ASSERT_EQ(std::memcmp(fresh, again, sizeof fresh), 0) << round << " " << i;
        }
    }

    // New faces: the kept ink is dropped with them.
    draw(u"AB CD", 24, first);
    fakeCharWidth = 6;
    fillFontSlots(nullptr);
    EXPECT_EQ(draw(u"AB CD", 24, again), 30);
}

}  // namespace

// ---------------------------------------------------------------------------
// What holds for every glyph source

namespace {

// One composition at now of a document that has just arrived.
void composeLedsAt(uint32_t now) {
    forgetLedText();
    gLink.lastFetchOkTick = now;
    composeNewStyleLeds(now, currentBoardStatus());
}

// A train on the upper or the lower line, its names as the document gives
// them ("name|English").
void setTrain(bool lower, const char16_t* texts) {
    std::memset(&gDocuments.currentDocument.row, 0, sizeof gDocuments.currentDocument.row);
    std::memset(&gDocuments.currentDocument.msg, 0, sizeof gDocuments.currentDocument.msg);
    char16_t split[LANG_TEXT_CAPACITY * 2];
    copyText(split, texts);
    if (lower) {
        gDocuments.currentDocument.msg.kind = MSG_TRAIN;
        copyText(gDocuments.currentDocument.msg.time, u"9:05");
        parseLangTexts(split, &gDocuments.currentDocument.msg.texts);
    } else {
        gDocuments.currentDocument.row.kind = ROW_TRAIN;
        copyText(gDocuments.currentDocument.row.time, u"9:05");
        parseLangTexts(split, &gDocuments.currentDocument.row.trainTexts);
    }
}

int32_t countLit(uint8_t colour) {
    int32_t n = 0;
    for (uint8_t v : gNewStyle.newStyleGrid.dots) {
        n += v == colour ? 1 : 0;
    }
    return n;
}

}  // namespace

// In the Japanese phase the name keeps its ideographic space and the
// destination on its right drops it: both read whole and unsqueezed, apart,
// inside the panel.
TEST_P(AnyLedGlyphSource, JapanesePhaseDropsTheSpaceOnTheRight) {
    copyText(gDocuments.currentDocument.langs, u"je");
    setTrain(false, u"東京\u3000行|Tokyo");
    composeLedsAt(100);
    const Placed name = findWholeText(u"東京\u3000行", 0);
    const Placed destination = findWholeText(u"東京行", 0);
    ASSERT_GE(name.first, 0);
    ASSERT_GE(destination.first, 0);
    EXPECT_GT(destination.first, name.first + name.width);
    EXPECT_LE(destination.first + destination.width, NEW_STYLE_COLUMNS);
    // The time stands left of the name.
    int32_t timeDots = 0;
    for (int32_t r = 0; r < 24; ++r) {
        for (int32_t c = 0; c < name.first; ++c) {
            timeDots += dot(c, r) != 0 ? 1 : 0;
        }
    }
    EXPECT_GT(timeDots, 20);
}

// The sample boards' train names on both train lines in both phases: every
// lit column of the right-hand text lies beyond the last lit column of the
// name (drawn here alone, as it never moves) with dark columns between, and
// ends inside the panel, not cut at its edge; where it fits it reads whole
// and unsqueezed. A name padded with spaces leaves the English name whole.
TEST_P(AnyLedGlyphSource, SampleTrainNamesNeverMeet) {
    copyText(gDocuments.currentDocument.langs, u"je");
    int32_t wholes = 0;
    int32_t squeezed = 0;
    for (const char16_t* texts :
         {u"各駅停車 新宿|Local Shinjuku", u"快速 大宮|Rapid Omiya", u"外回り\u3000池袋|Outer Ikebukuro",
          u"内回り\u3000品川|Inner Shinagawa", u"快速\u3000東京|Rapid Tokyo", u"各停\u3000高尾|Local Takao",
          u"普通\u3000大崎|Local Osaki"}) {
        for (const int32_t y : {0, 24}) {
            setTrain(y != 0, texts);
            const LangTexts& names =
                y == 0 ? gDocuments.currentDocument.row.trainTexts : gDocuments.currentDocument.msg.texts;
            std::u16string packed;  // the destination: the name without its spaces
            for (const char16_t* c = names.text[0]; *c != 0; ++c) {
                packed += *c == u' ' || *c == u'\u3000' ? u"" : std::u16string(1, *c);
            }
            for (const uint32_t now : {100u, 4100u}) {
                SCOPED_TRACE(testing::Message() << std::u16string(texts).size() << " " << now << " " << y);
                composeLedsAt(now);
                static NewStyleGrid alone;
                std::memset(alone.dots, 0, sizeof alone.dots);
                drawLedText(names.text[0], 0, 21, 700, 24, alone.dots, NEW_STYLE_STRIDE, NEW_STYLE_COLUMNS,
                            NEW_STYLE_ROWS, 178, y, LED_WHITE, 118, 1);
                int32_t nameLast = -1;
                int32_t otherFirst = NEW_STYLE_COLUMNS;
                int32_t otherLast = -1;
                int32_t otherColumns = 0;
                // Past the time's columns.
                for (int32_t c = 110; c < NEW_STYLE_COLUMNS; ++c) {
                    bool name = false;
                    bool lit = false;
                    for (int32_t r = y; r < y + 24; ++r) {
                        name = name || alone.dots[r * NEW_STYLE_STRIDE + c] != 0;
                        lit = lit || dot(c, r) != 0;
                    }
                    nameLast = name ? c : nameLast;
                    if (lit && !name) {
                        otherFirst = std::min(otherFirst, c);
                        otherLast = c;
                        ++otherColumns;
                    }
                }
                EXPECT_GT(nameLast, 0);
                EXPECT_GT(otherColumns, 20);
                EXPECT_GE(otherFirst, nameLast + 4);
                EXPECT_LT(otherLast, NEW_STYLE_COLUMNS - 1);
                const bool whole =
                    findWholeText(now < 4000 ? packed.c_str() : names.text[1], now < 4000 ? 0 : 1, y).first >=
                    0;
                wholes += whole ? 1 : 0;
                squeezed += whole ? 0 : 1;
            }
        }
    }
    // Most names fit whole beside each other; the longest had to be squeezed.
    EXPECT_GE(wholes, 14);
    EXPECT_GE(squeezed, 1);

    setTrain(false, u"新宿      |Local Shinjuku");
    composeLedsAt(4100);
    const Placed name = findWholeText(u"新宿", 0);
    const Placed english = findWholeText(u"Local Shinjuku", 1);
    ASSERT_GE(name.first, 0);
    ASSERT_GE(english.first, 0);
    EXPECT_GE(english.first, name.first + name.width + 4);
}

// Without a document, or with one too old to trust, the panel shows the link
// message alone: white while connecting, amber text once the link is lost,
// and nothing of the document.
TEST_P(AnyLedGlyphSource, LinkMessageAlone) {
    gDocuments.currentDocument.row.kind = ROW_TEXT;
    copyText(gDocuments.currentDocument.row.texts.text[0], u"まもなく");
    gDocuments.currentDocument.msg.kind = MSG_FRAME;
    copyText(gDocuments.currentDocument.msg.texts.text[0], u"黄色い線の内側へ");
    gLink.serverOk = 0;
    composeNewStyleLeds(5000, currentBoardStatus());
    const int32_t white = countLit(LED_WHITE);
    EXPECT_GT(white, 50);
    EXPECT_EQ(white + countLit(LED_UNLIT), NEW_STYLE_ROWS * NEW_STYLE_COLUMNS);

    gLink.serverOk = 1;
    gLink.lastFetchOkTick = 1000;
    composeNewStyleLeds(1000 + STALE_LINK_MS + 1, currentBoardStatus());
    const int32_t amber = countLit(LED_AMBER_TEXT);
    EXPECT_GT(amber, 50);
    EXPECT_EQ(amber + countLit(LED_UNLIT), NEW_STYLE_ROWS * NEW_STYLE_COLUMNS);
}

namespace {

// The fake block source in a face of realistic widths: 21 dots for kanji
// and kana, 11 for Latin letters.
int32_t installFakeGlyphs() {
    fakeCharWidth = 11;
    fakeWideCharWidth = 21;
    setLedGlyphSource(&fakeGlyphs);
    return 1;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(FakeGlyphs, AnyLedGlyphSource,
                         ::testing::Values(LedGlyphSourceCase{"FakeGlyphs", installFakeGlyphs}));
