// A deterministic glyph source for the host tests and benchmarks: every
// character has a fixed width and a column pattern taken from its code, so
// the dots a text must light can be worked out by hand.
//
//   width: 16 for U+2E80 and above, 8 below; '|' is 4 wide and '■' 64
//          (a very wide face). The small font makes them 11 and 6 (and 3
//          for '|').
//   ink:   glyph column i is lit when bit (i % 8) of the code's low byte is
//          set, in every row of the font's cell (16 rows, or 11 rows from
//          the offset for the small font). '▒' is 16 wide: columns 0-7
//          carry blue 0x7F (below the threshold), 8-15 blue 0x80.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "render/render.h"

// Installs the test source (and makes the normal font current).
void useTestGlyphs();

int32_t testGlyphWidth(char16_t c, int32_t smallFont);
// Whether output column `column` of the text drawn in the normal font has ink.
bool testTextInk(const char16_t* text, int32_t column);
int32_t testTextWidth(const char16_t* text);

// A glyph source for the rasteriser cases that hold for every source (the
// test source here, GDI fonts under Wine): how to install it and the width
// the source itself gives a text.
struct GlyphSourceCase {
    const char* name;      // the instantiation's name
    int32_t (*install)();  // makes it the rasteriser's source; 1 when ready
    int32_t (*width)(const char16_t* text, int32_t smallFont);  // the source's own measure
};

class AnyGlyphSource : public ::testing::TestWithParam<GlyphSourceCase> {
protected:
    void SetUp() override {
        ASSERT_EQ(GetParam().install(), 1);
    }
};
