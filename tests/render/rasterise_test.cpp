// The text rasteriser with the deterministic test glyphs: column sampling,
// the ink threshold, squeezing, centring, the brace markup and the placing
// of a rendered strip on the board.
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

TEST_F(Rasteriser, CentresANarrowTextInItsBox) {
    Grid grid;
    const char16_t* text = u"@@@@@@@@@@";  // 80 columns, ink in column 6 of each glyph
    EXPECT_EQ(draw(grid, text, 20, 176, 1), 80);
    EXPECT_EQ(grid.at(20 + 48 + 6, 2), 4);
    EXPECT_EQ(grid.at(20 + 6, 2), 0);
    // Not centred: starts at x.
    Grid left;
    EXPECT_EQ(draw(left, text, 20, 176, 0), 80);
    EXPECT_EQ(left.at(20 + 6, 2), 4);
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

TEST_F(Rasteriser, MarkupSmallTextSitsFiveRowsLower) {
    const int32_t width = rasteriseMarkup(u"{小}11{大}11", 2, &strip, 0);
    EXPECT_EQ(width, 6 + 6 + 8 + 8);
    // '1' has ink in glyph column 0.
    EXPECT_EQ(stripAt(0, 4), 0);
    EXPECT_EQ(stripAt(0, 5), COLOR_ORANGE);
    EXPECT_EQ(stripAt(0, 15), COLOR_ORANGE);
    EXPECT_EQ(stripAt(6, 5), COLOR_ORANGE);
    EXPECT_EQ(stripAt(12, 0), COLOR_ORANGE);
    EXPECT_EQ(stripAt(20, 0), COLOR_ORANGE);
    // The next call starts with the normal font again.
    EXPECT_EQ(rasteriseMarkup(u"1", 2, &strip, width), 8);
    EXPECT_EQ(stripAt(0, 0), COLOR_ORANGE);
    EXPECT_EQ(stripAt(12, 0), 0);  // the old text was cleared
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
    resetToClassicDefaults(&currentDocument);
    std::memset(dotFrame.dots, 0, sizeof(dotFrame.dots));
    for (int32_t j = 0; j < 16; ++j) {
        for (int32_t s = 0; s < 600; ++s) {
            strip.dots[j * TEXT_STRIP_WIDTH + s] = static_cast<uint8_t>(1 + s % 7);
        }
    }
    placeTextStrip(strip, 600, 1, 0);
    for (int32_t c = 0; c < 256; ++c) {
        // The first non-zero strip byte among the covered columns.
        EXPECT_EQ(dotFrame.dots[16 * DOT_STRIDE + c], 1 + (c * 600 / 256) % 7) << c;
    }
    EXPECT_EQ(dotFrame.dots[16 * DOT_STRIDE + 256], 0);
    EXPECT_EQ(dotFrame.dots[0], 0);

    // A narrow strip is copied one to one and never past W.
    std::memset(dotFrame.dots, 0, sizeof(dotFrame.dots));
    placeTextStrip(strip, 100, 0, 200);
    EXPECT_EQ(dotFrame.dots[200], 1);
    EXPECT_EQ(dotFrame.dots[255], 1 + 55 % 7);
    EXPECT_EQ(dotFrame.dots[256], 0);
}

TEST_F(Rasteriser, WidthBeyondTheStripIsNeverRead) {
    resetToClassicDefaults(&currentDocument);
    std::memset(dotFrame.dots, 0, sizeof(dotFrame.dots));
    std::memset(strip.dots, COLOR_YELLOW, sizeof(strip.dots));
    placeTextStrip(strip, 20000, 0, 0);  // read up to the strip's last column only
    EXPECT_EQ(dotFrame.dots[255], COLOR_YELLOW);
}
