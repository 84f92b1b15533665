// The classic composition pass at chosen ticks, with the test glyphs: the
// language and blink phases, colour defaults, text rows, the scroll run, and
// the link status lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"
#include "testglyphs.h"

namespace {

class Composition : public ::testing::Test {
protected:
    void SetUp() override {
        useTestGlyphs();
        resetToClassicDefaults(&gDocuments.currentDocument);
        copyText(gSettings.settings.server, u"127.0.0.1");
        gSettings.settings.port = 8020;
        gLink.serverOk = 1;
        gLink.lastFetchOkTick = 0;
        std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
        invalidatePresentedFrame();
        // A pass without a scroll row forgets any earlier scroll run.
        composeClassicBoard(0, currentBoardStatus());
    }

    // A pass with a fresh link, so that the stale line stays away.
    static bool pass(uint32_t now) {
        gLink.lastFetchOkTick = now;
        return composeClassicBoard(now, currentBoardStatus());
    }

    static uint8_t dot(int32_t boardRow, int32_t column, int32_t dotRow = 8) {
        return gRender.dotFrame.dots[(16 * boardRow + dotRow) * DOT_STRIDE + column];
    }

    static bool rowDark(int32_t boardRow) {
        for (int32_t j = 0; j < 16; ++j) {
            for (int32_t c = 0; c < gDocuments.currentDocument.width; ++c) {
                if (dot(boardRow, c, j) != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    static int32_t firstLit(int32_t boardRow) {
        for (int32_t c = 0; c < gDocuments.currentDocument.width; ++c) {
            if (dot(boardRow, c) != 0) {
                return c;
            }
        }
        return -1;
    }

    static void setTrain(int32_t i, const char16_t* time, const char16_t* text, const char16_t* textEn,
                         uint8_t colour, uint8_t blink) {
        ClassicLine& line = gDocuments.currentDocument.lines[i];
        line.kind = LINE_TRAIN;
        copyText(line.time, time);
        copyText(line.text, text);
        copyText(line.textEn, textEn);
        line.color = colour;
        line.blink = blink;
    }

    static void setText(int32_t i, int32_t kind, const char16_t* text, const char16_t* textEn,
                        uint8_t colour) {
        ClassicLine& line = gDocuments.currentDocument.lines[i];
        line.kind = static_cast<uint8_t>(kind);
        copyText(line.text, text);
        copyText(line.textEn, textEn);
        line.color = colour;
    }
};

}  // namespace

TEST_F(Composition, LanguageSwitchesAtJpMs) {
    // '@' lights glyph column 6, '!' columns 0 and 5.
    setText(0, LINE_TEXT, u"@", u"!", 0);
    setText(1, LINE_TEXT, u"@", u"", 0);
    pass(20000 + 6999);
    EXPECT_EQ(dot(0, 6), COLOR_GREEN);
    EXPECT_EQ(dot(0, 0), 0);
    pass(20000 + 7000);
    EXPECT_EQ(dot(0, 6), 0);
    EXPECT_EQ(dot(0, 0), COLOR_GREEN);
    EXPECT_EQ(dot(1, 6), COLOR_GREEN);  // no English text: the Japanese stays
    pass(20000 + 9999);
    EXPECT_EQ(dot(0, 0), COLOR_GREEN);

    gDocuments.currentDocument.jpMs = 0;
    gDocuments.currentDocument.enMs = 0;
    pass(20000 + 7000);
    EXPECT_EQ(dot(0, 6), COLOR_GREEN);
    // Periods near the 32-bit limit add up without overflow: 4e9 lies in
    // the English part of a 2^32 - 2 cycle.
    gDocuments.currentDocument.jpMs = 2147483647;
    gDocuments.currentDocument.enMs = 2147483647;
    pass(4000000000u);
    EXPECT_EQ(dot(0, 0), COLOR_GREEN);
}

TEST_F(Composition, TrainTimeBlinksAndDestinationKeepsItsColour) {
    // '1' lights glyph column 0 at timeX 4; the destination starts at destX 80.
    setTrain(0, u"1", u"1", u"", 0, 1);
    setTrain(1, u"1", u"1", u"", COLOR_PINK, 0);
    pass(30000 + 499);
    EXPECT_EQ(dot(0, 4), COLOR_GREEN);
    EXPECT_EQ(dot(0, 80), COLOR_ORANGE);
    EXPECT_EQ(dot(1, 80), COLOR_PINK);
    pass(30000 + 500);
    EXPECT_EQ(dot(0, 4), 0);
    EXPECT_EQ(dot(0, 80), COLOR_ORANGE);
    EXPECT_EQ(dot(1, 4), COLOR_GREEN);  // a train without blink keeps its time
    pass(30000 + 999);
    EXPECT_EQ(dot(0, 4), 0);

    gDocuments.currentDocument.blinkMs = 0;
    gDocuments.currentDocument.timeColor = COLOR_YELLOW;
    pass(30000 + 700);
    EXPECT_EQ(dot(0, 4), COLOR_YELLOW);
}

TEST_F(Composition, TrainTextsAreSqueezedIntoTheirBoxes) {
    // Thirty '1's are 240 columns; the destination box is W - destX = 176.
    setTrain(0, u"1111111", u"111111111111111111111111111111", u"", 0, 0);
    setTrain(1, u"", u"{R}", u"", 0, 0);
    pass(0);
    EXPECT_EQ(dot(0, 4 + 48), COLOR_GREEN);  // the seventh time digit
    EXPECT_EQ(dot(0, 80), COLOR_ORANGE);
    EXPECT_EQ(dot(0, 80 + 174), COLOR_ORANGE);  // source column 237: ink of the last digit
    EXPECT_EQ(dot(0, 80 + 175), 0);
    // "{R}" on a train row is plain text, braces included.
    for (int32_t k = 0; k < 24; ++k) {
        EXPECT_EQ(dot(1, 80 + k), testTextInk(u"{R}", k) ? COLOR_ORANGE : 0) << k;
    }
}

TEST_F(Composition, TextRowsArePlacedLeftOrCentred) {
    setText(0, LINE_TEXT, u"1111", u"", COLOR_WHITE);
    gDocuments.currentDocument.lines[0].centred = 1;
    setText(1, LINE_TEXT, u"11111111111111111111111111111111111111111", u"", 0);  // 328 columns
    gDocuments.currentDocument.lines[1].centred = 1;
    pass(0);
    EXPECT_EQ(firstLit(0), (256 - 32) / 2);
    EXPECT_EQ(dot(0, 112), COLOR_WHITE);
    EXPECT_EQ(firstLit(1), 0);
    EXPECT_EQ(dot(1, 254), COLOR_GREEN);  // squeezed to exactly 256 columns
}

TEST_F(Composition, ScrollMovesAt48DotsPerSecondAndRestarts) {
    // 37 'U's and one '|': 300 columns; 'U' lights glyph columns 0, 2, 4, 6.
    setText(0, LINE_SCROLL, u"UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUU|", u"", 0);
    const uint32_t start = 1000;
    pass(start);
    EXPECT_TRUE(rowDark(0));  // enters at the right edge
    pass(start + 1000);
    EXPECT_EQ(firstLit(0), 208);
    EXPECT_EQ(dot(0, 208), COLOR_GREEN);
    EXPECT_EQ(dot(0, 210), COLOR_GREEN);

    // Left wholly at 11605 ms; the pass just before still counts as running.
    pass(start + 11604);
    EXPECT_TRUE(rowDark(0));
    pass(start + 11605);
    pass(start + 11605 + 1000);
    EXPECT_EQ(firstLit(0), 208);

    // A new text restarts at the right edge.
    pass(start + 20000);
    setText(0, LINE_SCROLL, u"UUUU", u"", 0);
    pass(start + 20000 + 500);
    EXPECT_TRUE(rowDark(0));
    pass(start + 20000 + 1500);
    EXPECT_EQ(firstLit(0), 208);
    // So does a new colour.
    gDocuments.currentDocument.lines[0].color = COLOR_RED;
    pass(start + 30000);
    pass(start + 31000);
    EXPECT_EQ(dot(0, 208), COLOR_RED);
    // And a pass without any scroll row.
    gDocuments.currentDocument.lines[0].kind = LINE_EMPTY;
    pass(start + 32000);
    gDocuments.currentDocument.lines[0].kind = LINE_SCROLL;
    pass(start + 33000);
    EXPECT_TRUE(rowDark(0));
    pass(start + 34000);
    EXPECT_EQ(firstLit(0), 208);
}

TEST_F(Composition, OnlyTheFirstScrollRowIsDrawn) {
    gDocuments.currentDocument.rows = 3;
    setText(0, LINE_TEXT, u"1", u"", 0);
    setText(1, LINE_SCROLL, u"UUUU", u"", COLOR_WHITE);
    setText(2, LINE_SCROLL, u"UUUU", u"", COLOR_YELLOW);
    pass(5000);
    pass(6000);
    EXPECT_EQ(dot(1, 208), COLOR_WHITE);
    EXPECT_TRUE(rowDark(2));
}

TEST_F(Composition, ConnectingLinesBeforeTheFirstDocument) {
    gLink.serverOk = 0;
    setText(0, LINE_TEXT, u"@", u"", 0);
    composeClassicBoard(100, currentBoardStatus());
    // Twelve kanji (192 columns) centred: サ U+30B5 lights glyph column 0.
    EXPECT_EQ(firstLit(0), 32);
    EXPECT_EQ(dot(0, 32), COLOR_WHITE);
    // "127.0.0.1:8020" is 112 columns centred; '1' lights glyph column 0.
    EXPECT_EQ(firstLit(1), 72);
    EXPECT_EQ(dot(1, 72), COLOR_WHITE);

    gDocuments.currentDocument.rows = 1;
    std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
    composeClassicBoard(100, currentBoardStatus());
    EXPECT_EQ(firstLit(0), 32);
    EXPECT_EQ(gRender.dotFrame.dots[24 * DOT_STRIDE + 72], 0);  // no server line below the board
}

TEST_F(Composition, StaleLineReplacesTheLastRow) {
    setText(0, LINE_TEXT, u"@", u"", 0);
    setText(1, LINE_TEXT, u"@", u"", 0);
    gLink.lastFetchOkTick = 100000;
    composeClassicBoard(100000 + 15000, currentBoardStatus());
    EXPECT_EQ(dot(1, 6), COLOR_GREEN);
    composeClassicBoard(100000 + 15001, currentBoardStatus());
    EXPECT_EQ(dot(0, 6), COLOR_GREEN);
    EXPECT_EQ(dot(1, 6), 0);
    EXPECT_EQ(firstLit(1), 32);
    EXPECT_EQ(dot(1, 32), COLOR_RED);

    // Wrap-around: a fetch just before the tick wrapped is not stale.
    gLink.lastFetchOkTick = 0xFFFFFF00u;
    composeClassicBoard(0x100, currentBoardStatus());
    EXPECT_EQ(dot(1, 6), COLOR_GREEN);

    gDocuments.currentDocument.rows = 1;
    gLink.lastFetchOkTick = 0;
    composeClassicBoard(20000, currentBoardStatus());
    EXPECT_EQ(dot(0, 6), 0);
    EXPECT_EQ(dot(0, 32), COLOR_RED);
}

TEST_F(Composition, UnchangedPassesReportNoChange) {
    setTrain(0, u"1", u"UU", u"", 0, 1);
    setText(1, LINE_SCROLL, u"UUUU", u"", 0);
    EXPECT_TRUE(pass(1000));
    EXPECT_FALSE(pass(1000));
    EXPECT_FALSE(pass(1010));  // the scroll has not moved a dot yet
    EXPECT_TRUE(pass(1100));   // 4 dots further
    EXPECT_TRUE(pass(1500));   // the time blinks off
    invalidatePresentedFrame();
    EXPECT_TRUE(pass(1500));
}

// A board standing still skips its passes; every input that can change its
// dots still shows at the next tick, exactly as a pass drawn afresh would.
TEST_F(Composition, StillBoardFollowsEveryInputAtTheNextTick) {
    setTrain(0, u"1", u"UU", u"@@", 0, 1);
    setText(1, LINE_TEXT, u"U", u"", 0);
    const auto sameAsFreshPass = [](uint32_t now) {
        static DotFrame seen;
        std::memcpy(seen.dots, gRender.dotFrame.dots, sizeof(seen.dots));
        invalidatePresentedFrame();
        composeClassicBoard(now, currentBoardStatus());
        return std::memcmp(seen.dots, gRender.dotFrame.dots, sizeof(seen.dots)) == 0;
    };
    EXPECT_TRUE(pass(1000));
    EXPECT_FALSE(pass(1030));
    copyText(gDocuments.currentDocument.lines[1].text, u"@");  // changed in place, no hand-over
    EXPECT_TRUE(pass(1060));
    EXPECT_TRUE(sameAsFreshPass(1060));
    EXPECT_TRUE(pass(1500));  // the time blinks off
    EXPECT_TRUE(sameAsFreshPass(1500));
    EXPECT_FALSE(pass(1530));
    EXPECT_TRUE(pass(7500));  // the English phase
    EXPECT_TRUE(sameAsFreshPass(7500));
    gLink.lastFetchOkTick = 12500;  // the same phases as at 7500 from here on
    EXPECT_FALSE(composeClassicBoard(27500, currentBoardStatus()));
    EXPECT_TRUE(composeClassicBoard(27501, currentBoardStatus()));  // the link is lost
    EXPECT_EQ(dot(1, 32), COLOR_RED);
    // A frame drawn over behind the composer's back is composed again.
    gRender.dotFrame.dots[0] = COLOR_RED;
    EXPECT_FALSE(composeClassicBoard(27501, currentBoardStatus()));
    EXPECT_TRUE(sameAsFreshPass(27501));
}

TEST_F(Composition, TextsWiderThanTheStripPlaceAndScrollInsideIt) {
    // Four segments of 64 glyphs of 64 columns: each segment fills the
    // 4096-column scratch, 16384 columns in all, cut at the strip's 8192.
    // Reading past a strip would be reported by AddressSanitizer.
    std::u16string wide;
    for (int32_t segment = 0; segment < 4; ++segment) {
        wide += u"{Y}";
        for (int32_t i = 0; i < 64; ++i) {
            wide += u"■";
        }
    }
    setText(0, LINE_TEXT, wide.c_str(), u"", 0);
    gDocuments.currentDocument.lines[0].centred = 1;
    setText(1, LINE_SCROLL, wide.c_str(), u"", 0);
    const uint32_t start = 50000;
    pass(start);
    EXPECT_EQ(firstLit(0), 0);  // squeezed to the whole board width
    // After 172000 ms at 48 dots per second the text starts 8000 columns left
    // of the board: board columns 0..191 show strip columns 8000..8191, and
    // '■' lights glyph columns 5 and 7 of every eight.
    pass(start + 172000);
    EXPECT_EQ(dot(1, 191), COLOR_YELLOW);
    EXPECT_EQ(dot(1, 190), 0);
    EXPECT_EQ(dot(1, 189), COLOR_YELLOW);
    for (int32_t c = 192; c < 256; ++c) {
        ASSERT_EQ(dot(1, c), 0) << c;
    }
    // Once the cut text has left, the run restarts at the right edge.
    pass(start + 176000);
    EXPECT_TRUE(rowDark(1));
    pass(start + 176100);
    pass(start + 177100);
    EXPECT_EQ(firstLit(1), 208 + 5);  // the first lit glyph column is 5
}
