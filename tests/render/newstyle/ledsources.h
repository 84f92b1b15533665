// The glyph sources that the new-style cases holding for every source run
// with. LED text: the fake block source of newstyle_leds_test.cpp (in a face
// of realistic widths) and, under Wine, GDI's fonts (newstyle_win32_test.cpp).
// The painted sign (newstyle_paint_test.cpp): the recording header source and
// the striped LED source of newstyle_sign_test.cpp in the host build, GDI
// under Wine, where the sign always takes its text from GDI.
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

// Header and LED text for the whole sign: install makes both sources ready
// (1 when ready). Header texts must leave dark ink (every channel under 100)
// where they are drawn.
class AnySignTextSource : public ::testing::TestWithParam<LedGlyphSourceCase> {
protected:
    void SetUp() override {
        resetNewStyleTestBoard();
        gSettings.settings.showUnlitDots = 0;
        gSettings.settings.backgroundColor = 0;
        ASSERT_EQ(GetParam().install(), 1);
        forgetHeaderStrip();
        forceNewStyleFullPaint();
    }
    void TearDown() override {
        setHeaderTextSource(nullptr);
        setLedGlyphSource(nullptr);
        gLink.serverOk = 0;
    }
};
