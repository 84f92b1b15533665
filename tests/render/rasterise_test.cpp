// The text rasteriser with the deterministic test glyphs: column sampling,
// the ink threshold, squeezing, centring, the brace markup and the placing
// of a rendered strip on the board. The AnyGlyphSource cases hold for every
// glyph source; the Windows build runs them with GDI fonts as well
// (render_win32_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "render/render.h"
#include "testglyphs.h"

namespace {

constexpr int32_t GRID_STRIDE = 600;
constexpr int32_t GRID_ROWS = 20;

struct Grid {
    uint8_t dots[GRID_ROWS * GRID_STRIDE];
    Grid() {
        std::memset(dots, 0, sizeof(dots));
    }
    uint8_t at(int32_t column, int32_t row) const {
        return dots[row * GRID_STRIDE + column];
    }
};

int32_t draw(Grid& grid, const char16_t* text, int32_t x, int32_t boxWidth, int32_t centre,
             uint8_t colour = 4) {
    return rasteriseText(text, textLength(text), colour, grid.dots, GRID_STRIDE, GRID_STRIDE, GRID_ROWS, x, 2,
                         boxWidth, centre);
}

TextStrip strip;

class Rasteriser : public ::testing::Test {
protected:
    void SetUp() override {
        useTestGlyphs();
        std::memset(strip.dots, 0, sizeof(strip.dots));
    }
};

// Colour of strip column `column` in row `row`.
uint8_t stripAt(int32_t column, int32_t row) {
    return strip.dots[row * TEXT_STRIP_WIDTH + column];
}

}  // namespace

namespace {

// Rows of a dots grid of GRID_STRIDE columns with any ink in [from, to).
int32_t inkedRows(const Grid& grid, int32_t rows, int32_t from, int32_t to) {
    int32_t n = 0;
    for (int32_t r = 0; r < rows; ++r) {
        bool ink = false;
        for (int32_t c = from; c < to; ++c) {
            ink = ink || grid.at(c, r) != 0;
        }
        n += ink ? 1 : 0;
    }
    return n;
}

int32_t lastInkColumn(const Grid& grid) {
    int32_t last = -1;
    for (int32_t r = 0; r < GRID_ROWS; ++r) {
        for (int32_t c = last + 1; c < GRID_STRIDE; ++c) {
            last = grid.at(c, r) != 0 ? c : last;
        }
    }
    return last;
}

}  // namespace

TEST_P(AnyGlyphSource, TextInksItsRowsAtTheSourcesWidth) {
    // The board's face is fixed pitch: a kanji is as wide as two letters.
    EXPECT_EQ(GetParam().width(u"東", 0), GetParam().width(u"AB", 0));
    for (const char16_t* text : {u"12:34 Tokyo", u"東京方面", u"各駅停車 Local"}) {
        Grid grid;
        const int32_t measured = GetParam().width(text, 0);
        ASSERT_GT(measured, 0);
        EXPECT_EQ(draw(grid, text, 0, 0, 0), measured);
        EXPECT_LT(lastInkColumn(grid), measured);
        EXPECT_GT(lastInkColumn(grid), measured / 2);
        EXPECT_GE(inkedRows(grid, GRID_ROWS, 0, measured), 10);
    }
}

TEST_P(AnyGlyphSource, SqueezedAndCentredTextStaysInItsBox) {
    Grid grid;
    ASSERT_GT(GetParam().width(u"東京方面ゆき", 0), 40);
    EXPECT_EQ(draw(grid, u"東京方面ゆき", 10, 40, 0), 40);
    EXPECT_LT(lastInkColumn(grid), 50);
    EXPECT_GE(inkedRows(grid, GRID_ROWS, 10, 50), 10);
    Grid centred;
    const int32_t one = GetParam().width(u"東", 0);
    EXPECT_EQ(draw(centred, u"東", 0, 200, 1), one);
    EXPECT_EQ(inkedRows(centred, GRID_ROWS, 0, (200 - one) / 2), 0);
    EXPECT_LT(lastInkColumn(centred), (200 + one) / 2 + 1);
    // Not centred, the same text starts at x.
    Grid left;
    EXPECT_EQ(draw(left, u"東", 20, 200, 0), one);
    EXPECT_EQ(inkedRows(left, GRID_ROWS, 0, 20), 0);
    EXPECT_GT(inkedRows(left, GRID_ROWS, 20, 20 + one), 0);
    EXPECT_LT(lastInkColumn(left), 20 + one);
}

TEST_P(AnyGlyphSource, SmallFontSitsFiveRowsLower) {
    static TextStrip markup;
    std::memset(markup.dots, 0, sizeof markup.dots);
    // Ink in rows [fromRow, toRow) of columns [fromColumn, toColumn).
    const auto inkIn = [](int32_t fromRow, int32_t toRow, int32_t fromColumn, int32_t toColumn) {
        for (int32_t r = fromRow; r < toRow; ++r) {
            for (int32_t c = fromColumn; c < toColumn; ++c) {
                if (markup.dots[r * TEXT_STRIP_WIDTH + c] != 0) {
                    return true;
                }
            }
        }
        return false;
    };
    const int32_t normalWidth = rasteriseMarkup(u"東京", COLOR_WHITE, &markup, 0);
    EXPECT_EQ(normalWidth, GetParam().width(u"東京", 0));
    EXPECT_TRUE(inkIn(0, SMALL_TEXT_OFFSET, 0, normalWidth));

    const int32_t smallWidth = rasteriseMarkup(u"{小}東京", COLOR_WHITE, &markup, normalWidth);
    EXPECT_EQ(smallWidth, GetParam().width(u"東京", 1));
    EXPECT_LT(smallWidth, normalWidth);
    EXPECT_FALSE(inkIn(0, SMALL_TEXT_OFFSET, 0, normalWidth));
    EXPECT_TRUE(inkIn(SMALL_TEXT_OFFSET, BOARD_ROW_DOTS, 0, normalWidth));
    // {大} goes back to the normal font within a text; a later text starts
    // with it, and nothing of the longer text before it is left.
    const int32_t both = smallWidth + normalWidth;
    EXPECT_EQ(rasteriseMarkup(u"{小}東京{大}東京", COLOR_WHITE, &markup, smallWidth), both);
    EXPECT_FALSE(inkIn(0, SMALL_TEXT_OFFSET, 0, smallWidth));
    EXPECT_TRUE(inkIn(0, SMALL_TEXT_OFFSET, smallWidth, both));
    EXPECT_EQ(rasteriseMarkup(u"東京", COLOR_WHITE, &markup, both), normalWidth);
    EXPECT_TRUE(inkIn(0, SMALL_TEXT_OFFSET, 0, normalWidth));
    EXPECT_FALSE(inkIn(0, BOARD_ROW_DOTS, normalWidth, both));
    Grid grid;
    EXPECT_EQ(draw(grid, u"東京", 0, 0, 0), normalWidth);
}

namespace {

int32_t installTestGlyphs() {
    useTestGlyphs();
    return 1;
}

int32_t testGlyphsWidth(const char16_t* text, int32_t smallFont) {
    int32_t width = 0;
    for (const char16_t* p = text; *p != 0; ++p) {
        width += testGlyphWidth(*p, smallFont);
    }
    return width;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(TestGlyphs, AnyGlyphSource,
                         ::testing::Values(GlyphSourceCase{"TestGlyphs", installTestGlyphs,
                                                           testGlyphsWidth}));

TEST_F(Rasteriser, SamplesEveryColumnIntoSixteenRows) {
    Grid grid;
    const char16_t* text = u"AbC?xyZ0";
    EXPECT_EQ(draw(grid, text, 10, 0, 0), 64);
    for (int32_t k = 0; k < 64; ++k) {
        for (int32_t j = 0; j < 16; ++j) {
            EXPECT_EQ(grid.at(10 + k, 2 + j), testTextInk(text, k) ? 4 : 0) << "column " << k;
        }
    }
    EXPECT_EQ(grid.at(10 + 1, 1), 0);  // rows above and below untouched
    EXPECT_EQ(grid.at(10 + 1, 18), 0);
}

TEST_F(Rasteriser, InkNeedsABlueByteOfHalfIntensity) {
    Grid grid;
    EXPECT_EQ(draw(grid, u"▒", 0, 0, 0), 16);
    for (int32_t k = 0; k < 16; ++k) {
        EXPECT_EQ(grid.at(k, 5), k < 8 ? 0 : 4) << k;
    }
}

TEST_F(Rasteriser, SqueezeTakesInkFromEveryCoveredColumn) {
    Grid grid;
    // 'B' has ink in glyph columns 1 and 6: squeezed 2:1, output column k
    // covers source columns 2k and 2k+1.
    const char16_t* text = u"BBBBBBBBBB";
    EXPECT_EQ(draw(grid, text, 0, 40, 1), 40);
    for (int32_t k = 0; k < 40; ++k) {
        const bool ink = testTextInk(text, 2 * k) || testTextInk(text, 2 * k + 1);
        EXPECT_EQ(grid.at(k, 2) != 0, ink) << k;
    }
    EXPECT_NE(grid.at(0, 2), 0);  // from the odd source column 1 only
    EXPECT_NE(grid.at(3, 2), 0);  // from the even source column 6 only
    EXPECT_EQ(grid.at(40, 2), 0);
}

TEST_F(Rasteriser, EmptyTextAndLimitsDrawNothingOutside) {
    Grid grid;
    EXPECT_EQ(draw(grid, u"", 0, 0, 0), 0);
    EXPECT_EQ(rasteriseText(u"AB", 0, 4, grid.dots, GRID_STRIDE, GRID_STRIDE, GRID_ROWS, 0, 0, 0, 0), 0);
    for (uint8_t v : grid.dots) {
        ASSERT_EQ(v, 0);
    }
    // Columns left of 0 and beyond the limit, rows beyond the row limit.
    EXPECT_EQ(rasteriseText(u"UUUU", 4, 4, grid.dots, GRID_STRIDE, 20, 10, -8, 0, 0, 0), 32);
    EXPECT_EQ(grid.at(0, 0), 4);   // column 8 of the text, 'U' bit 0
    EXPECT_EQ(grid.at(20, 0), 0);  // beyond the column limit
    EXPECT_EQ(grid.at(0, 10), 0);  // beyond the row limit
}

TEST_F(Rasteriser, MarkupColoursFollowEachOther) {
    const int32_t width = rasteriseMarkup(u"{R}赤{G}緑", 5, &strip, 0);
    EXPECT_EQ(width, 32);
    // 赤 U+8D64 has ink in columns 2, 5, 6 (and 10, 13, 14); 緑 U+7DD1 in 0, 4, 6, 7.
    EXPECT_EQ(stripAt(2, 0), COLOR_RED);
    EXPECT_EQ(stripAt(0, 0), 0);
    EXPECT_EQ(stripAt(16, 0), COLOR_GREEN);
    EXPECT_EQ(stripAt(16 + 4, 15), COLOR_GREEN);
}

TEST_F(Rasteriser, WhatIsNotATagIsDrawnLiterally) {
    for (const char16_t* text : {u"{x}", u"{}", u"{abcdefgh}", u"ABC{R", u"{小さい}", u"{}R}"}) {
        const int32_t width = rasteriseMarkup(text, 1, &strip, TEXT_STRIP_WIDTH);
        EXPECT_EQ(width, testTextWidth(text)) << std::u16string(text).size();
        for (int32_t k = 0; k < width; ++k) {
            ASSERT_EQ(stripAt(k, 7), testTextInk(text, k) ? COLOR_GREEN : 0);
        }
    }
    // A colour word of up to seven characters is a tag; a longer one is not.
    EXPECT_EQ(rasteriseMarkup(u"{Red}1", 1, &strip, TEXT_STRIP_WIDTH), 8);
    EXPECT_EQ(stripAt(0, 0), COLOR_RED);
    EXPECT_EQ(rasteriseMarkup(u"{Reddest}1", 1, &strip, TEXT_STRIP_WIDTH), 8);
    EXPECT_EQ(stripAt(0, 0), COLOR_RED);
    EXPECT_EQ(rasteriseMarkup(u"{Reddests}1", 1, &strip, TEXT_STRIP_WIDTH), testTextWidth(u"{Reddests}1"));
}

TEST_F(Rasteriser, MarkupWidthStopsAtTheStripEnd) {
    // 34 segments of 256 columns each: 8704 columns, more than the strip.
    std::u16string text;
    for (int32_t i = 0; i < 34; ++i) {
        text += u"{G}赤赤赤赤赤赤赤赤赤赤赤赤赤赤赤赤";
    }
    const int32_t width = rasteriseMarkup(text.c_str(), 1, &strip, 0);
    EXPECT_EQ(width, TEXT_STRIP_WIDTH);
    EXPECT_EQ(stripAt(TEXT_STRIP_WIDTH - 16 + 2, 0), COLOR_GREEN);
}

TEST_F(Rasteriser, PlacedStripIsSqueezedToTheBoardWidth) {
    resetToClassicDefaults(&gDocuments.currentDocument);
    std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
    for (int32_t j = 0; j < 16; ++j) {
        for (int32_t s = 0; s < 600; ++s) {
            strip.dots[j * TEXT_STRIP_WIDTH + s] = static_cast<uint8_t>(1 + s % 7);
        }
    }
    placeTextStrip(classicPanelOf(gDocuments.currentDocument, &gRender.dotFrame), strip, 600, 1, 0);
    for (int32_t c = 0; c < 256; ++c) {
        // The first non-zero strip byte among the covered columns.
        EXPECT_EQ(gRender.dotFrame.dots[16 * DOT_STRIDE + c], 1 + (c * 600 / 256) % 7) << c;
    }
    EXPECT_EQ(gRender.dotFrame.dots[16 * DOT_STRIDE + 256], 0);
    EXPECT_EQ(gRender.dotFrame.dots[0], 0);

    // A narrow strip is copied one to one and never past W.
    std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
    placeTextStrip(classicPanelOf(gDocuments.currentDocument, &gRender.dotFrame), strip, 100, 0, 200);
    EXPECT_EQ(gRender.dotFrame.dots[200], 1);
    EXPECT_EQ(gRender.dotFrame.dots[255], 1 + 55 % 7);
    EXPECT_EQ(gRender.dotFrame.dots[256], 0);
}

TEST_F(Rasteriser, WidthBeyondTheStripIsNeverRead) {
    resetToClassicDefaults(&gDocuments.currentDocument);
    std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
    std::memset(strip.dots, COLOR_YELLOW, sizeof(strip.dots));
    placeTextStrip(classicPanelOf(gDocuments.currentDocument, &gRender.dotFrame), strip, 20000, 0,
                   0);  // read up to the strip's last column only
    EXPECT_EQ(gRender.dotFrame.dots[255], COLOR_YELLOW);
}

// The rasteriser keeps the ink of recently drawn texts. A counting source
// shows when the glyph source is asked, and a switch in it changes what it
// draws, so a stale answer would show.
namespace {

uint32_t countingScratch[TEXT_SCRATCH_WIDTH * TEXT_SCRATCH_HEIGHT];
int32_t countingDraws = 0;
uint32_t countingInk = 0xFFFFFF;

int32_t countingMeasure(const char16_t*, int32_t length, int32_t smallFont) {
    return length * (smallFont != 0 ? 6 : 8);
}

void countingDraw(const char16_t* text, int32_t length, int32_t cx, int32_t, int32_t) {
    ++countingDraws;
    for (int32_t y = 0; y < TEXT_SCRATCH_HEIGHT; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            // Column x of glyph x / 8 is lit when the glyph's code has bit x % 8.
            const char16_t c = text[(x / 8) < length ? x / 8 : length - 1];
            countingScratch[y * TEXT_SCRATCH_WIDTH + x] = ((c >> (x % 8)) & 1) != 0 ? countingInk : 0;
        }
    }
}

const GlyphSource countingSource = {countingMeasure, countingDraw, countingScratch};

}  // namespace

TEST(RasteriserInk, ATextDrawnAgainIsNotDrawnByTheSourceAgain) {
    setGlyphSource(&countingSource);
    countingDraws = 0;
    countingInk = 0xFFFFFF;
    Grid first;
    Grid second;
    EXPECT_EQ(draw(first, u"Ab3", 0, 0, 0), 24);
    EXPECT_EQ(countingDraws, 1);
    EXPECT_EQ(draw(second, u"Ab3", 0, 0, 0), 24);
    EXPECT_EQ(countingDraws, 1);
    EXPECT_EQ(std::memcmp(first.dots, second.dots, sizeof(first.dots)), 0);
    // Another text, and the same text in the small font, are drawn.
    Grid other;
    draw(other, u"Ab4", 0, 0, 0);
    EXPECT_EQ(countingDraws, 2);
    TextStrip small;
    std::memset(small.dots, 0, sizeof(small.dots));
    EXPECT_EQ(rasteriseMarkup(u"{小}Ab3", 2, &small, 0), 18);
    EXPECT_EQ(countingDraws, 3);

    // New fonts: the old ink is not used again.
    countingInk = 0;
    forgetRasterisedText();
    Grid dark;
    EXPECT_EQ(draw(dark, u"Ab3", 0, 0, 0), 24);
    EXPECT_EQ(countingDraws, 4);
    for (uint8_t dot : dark.dots) {
        ASSERT_EQ(dot, 0);
    }
    // Nor after a source is installed.
    countingInk = 0xFFFFFF;
    forgetRasterisedText();
    Grid lit;
    draw(lit, u"Ab3", 0, 0, 0);
    EXPECT_EQ(countingDraws, 5);
    EXPECT_EQ(lit.at(0, 2), 4);  // 'A' has bit 0
    setGlyphSource(&countingSource);
    countingInk = 0;
    Grid again;
    draw(again, u"Ab3", 0, 0, 0);
    EXPECT_EQ(countingDraws, 6);
    for (uint8_t dot : again.dots) {
        ASSERT_EQ(dot, 0);
    }
    useTestGlyphs();
}

TEST(RasteriserInk, ManyTextsInTurnGiveTheSameDotsAsFreshlyDrawnOnes) {
    // More distinct texts than are kept, visited in turn three times, some
    // longer than an entry holds: every result matches a fresh drawing.
    useTestGlyphs();
    std::vector<std::u16string> texts;
    for (int32_t i = 0; i < 40; ++i) {
        std::u16string text = u"列車";
        text += static_cast<char16_t>(u'A' + i);
        text.append(static_cast<size_t>(i % 7 == 0 ? 130 : i % 5), static_cast<char16_t>(u'a' + i % 26));
        texts.push_back(text);
    }
    std::vector<Grid> fresh(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        forgetRasterisedText();
        rasteriseText(texts[i].c_str(), static_cast<int32_t>(texts[i].size()), 3, fresh[i].dots, GRID_STRIDE,
                      GRID_STRIDE, GRID_ROWS, 0, 2, 300, 0);
    }
    for (int32_t round = 0; round < 3; ++round) {
        for (size_t i = 0; i < texts.size(); ++i) {
            // Revisit a few recent texts between, so entries are both hit and evicted.
            const size_t k = round == 1 ? (i * 7) % texts.size() : i;
            Grid grid;
            rasteriseText(texts[k].c_str(), static_cast<int32_t>(texts[k].size()), 3, grid.dots, GRID_STRIDE,
                          GRID_STRIDE, GRID_ROWS, 0, 2, 300, 0);
            ASSERT_EQ(std::memcmp(grid.dots, fresh[k].dots, sizeof(grid.dots)), 0) << "text " << k;
        }
    }
}
