// The LED glyph sources that the new-style cases holding for every source
// run with: the fake block source of newstyle_leds_test.cpp (in a face of
// realistic widths) and, under Wine, GDI's fonts (newstyle_win32_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "render/newstyle.h"
#include "serverlink/linkstate.h"

struct LedGlyphSourceCase {
    const char* name;      // the instantiation's name
    int32_t (*install)();  // fills the font slots and installs the source; 1 when ready
};

// A blank new-style document and grid, with the link up.
void resetNewStyleTestBoard();

class AnyLedGlyphSource : public ::testing::TestWithParam<LedGlyphSourceCase> {
protected:
    void SetUp() override {
        resetNewStyleTestBoard();
        ASSERT_EQ(GetParam().install(), 1);
    }
    void TearDown() override {
        setLedGlyphSource(nullptr);
        gLink.serverOk = 0;
    }
};
