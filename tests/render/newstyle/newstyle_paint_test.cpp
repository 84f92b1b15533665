// The painted new-style sign read back from the surface, for every text
// source (ledsources.h): the header's strips, rule and badges, the direction
// text on its side, the LED panel dot for dot at two scales, a surface too
// small for dots, and paintBoardFrame drawing the sign.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ledsources.h"
#include "render/newstyle.h"
#include "shell/shell.h"
#include "testfiles.h"

namespace {

const char16_t* const SIGN =
    u"platform=3\nlineJp=山手線\nlineEn=Yamanote\nviaJp=渋谷・新宿\nviaEn=Shibuya\n"
    u"color=80C241\nlangs=je\n"
    u"row=text\tまもなく電車が来ます|A train is coming\n"
    u"msg=frame\t黄色い線の内側へ|Stand behind the line\n";

int32_t parseSign(const std::u16string& body) {
    const std::string bytes = utf8Of(u"velmorant-new 1\n" + body + u"end\n");
    return parseDisplayDocument(reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int32_t>(bytes.size()), &gDocuments.currentDocument);
}

uint32_t pixel(int32_t x, int32_t y) {
    return gRender.boardSurface.pixels[y * gRender.boardSurface.width + x] & 0xFFFFFF;
}

int32_t countDots(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint8_t colour) {
    int32_t n = 0;
    for (int32_t y = y1; y <= y2; ++y) {
        for (int32_t x = x1; x <= x2; ++x) {
            n += gNewStyle.newStyleGrid.dots[y * NEW_STYLE_STRIDE + x] == colour ? 1 : 0;
        }
    }
    return n;
}

// Pixels of a rectangle darker than grey 100 on every channel: header ink.
int32_t countDarkPixels(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    int32_t n = 0;
    for (int32_t y = y1; y <= y2; ++y) {
        for (int32_t x = x1; x <= x2; ++x) {
            const uint32_t p = pixel(x, y);
            n += ((p >> 16) & 0xFF) < 100 && ((p >> 8) & 0xFF) < 100 && (p & 0xFF) < 100 ? 1 : 0;
        }
    }
    return n;
}

void paintAt(int32_t w, int32_t h, uint32_t now) {
    ASSERT_EQ(resizeBoardSurface(w, h), 1);
    gLink.lastFetchOkTick = now;
    composeNewStyleBoardAt(now, currentBoardStatus());
}

}  // namespace

TEST_P(AnySignTextSource, HeaderBadgesAndPanelAtTwoScales) {
    ASSERT_EQ(parseSign(SIGN), 1);
    for (const int32_t s : {2, 3}) {
        const int32_t w = s == 2 ? 800 : 1203;
        const int32_t h = s == 2 ? 158 : 240;
        SCOPED_TRACE(w);
        paintAt(w, h, 1000);
        const int32_t ox = (w - 400 * s) / 2;
        const int32_t oy = (h - 79 * s) / 2;
        EXPECT_EQ(gNewStyle.newStyleView.scale, s * 1000);
        EXPECT_EQ(pixel(ox + 200 * s, oy + 4 * s), 0xDEE1E3u);   // top highlight
        EXPECT_EQ(pixel(ox + 250 * s, oy + 17 * s), 0xD0D3D6u);  // header strip
        EXPECT_EQ(pixel(ox + 200 * s, oy + 18 * s), 0x80C241u);  // rule in the line colour
        EXPECT_EQ(pixel(ox + 200 * s, oy + 75 * s), 0x9EA2A5u);  // body
        EXPECT_EQ(pixel(ox + 7 * s, oy + 21 * s), 0x2A2A2Cu);    // housing
        if (ox > 0) {
            EXPECT_EQ(pixel(ox - 1, oy + 40 * s), 0x000000u);  // background
        }
        // Line badge (units 18..47) in the line colour from its left edge.
        EXPECT_EQ(pixel(ox + 18 * s, oy + 3 * s), 0x80C241u);
        EXPECT_EQ(pixel(ox + 18 * s - 1, oy + 3 * s), 0xDEE1E3u);
        // Platform badge: grey outline at unit 1, white inside, a dark number.
        EXPECT_EQ(pixel(ox + 1 * s, oy + 9 * s), 0x555555u);
        EXPECT_EQ(pixel(ox, oy + 9 * s), 0xD0D3D6u);
        EXPECT_EQ(pixel(ox + 3 * s, oy + 4 * s), 0xFFFFFFu);
        EXPECT_GT(countDarkPixels(ox + 4 * s, oy + 4 * s, ox + 14 * s, oy + 15 * s), 2 * s * s);
        // The direction text from unit 51, nothing of it at the far end.
        EXPECT_GT(countDarkPixels(ox + 51 * s, oy + 6 * s, ox + 110 * s, oy + 15 * s), 10 * s * s);
        EXPECT_EQ(countDarkPixels(ox + 300 * s, oy + 6 * s, ox + 382 * s, oy + 15 * s), 0);
        // LED dots: the frame's corner dots amber, empty dots dark, every dot
        // of the upper line as the grid has it.
        const int32_t x0 = ox + 8 * s;
        const int32_t y0 = oy + 22 * s;
        EXPECT_EQ(pixel(x0 + 1 * s + s / 2, y0 + 25 * s + s / 2), 0xF5B800u);
        EXPECT_EQ(pixel(x0 + 382 * s + s / 2, y0 + 46 * s + s / 2), 0xF5B800u);
        EXPECT_EQ(pixel(x0 + 0 * s + s / 2, y0 + 0 * s + s / 2), 0x151517u);
        EXPECT_EQ(pixel(x0 + 383 * s + s / 2, y0 + 47 * s + s / 2), 0x151517u);
        EXPECT_GT(countDots(0, 0, 383, 23, LED_WHITE), 50);
        EXPECT_GT(countDots(2, 26, 381, 45, LED_AMBER_TEXT), 50);
        for (int32_t r = 0; r < 24; ++r) {
            for (int32_t c = 0; c < NEW_STYLE_COLUMNS; ++c) {
                const uint32_t expected = gNewStyle.newStyleGrid.dots[r * NEW_STYLE_STRIDE + c] == LED_WHITE
                                              ? 0xEEF0FFu
                                              : 0x151517u;
                ASSERT_EQ(pixel(x0 + c * s + s / 2, y0 + r * s + s / 2), expected) << c << "," << r;
            }
        }
    }
}

TEST_P(AnySignTextSource, BadgesAndDirectionOnTheRight) {
    ASSERT_EQ(parseSign(std::u16string(SIGN) + u"side=right\n"), 1);
    paintAt(1200, 200, 1000);
    const int32_t s = 2;
    const int32_t ox = 200;
    const int32_t oy = 21;
    // Platform badge from unit 383, line badge from 352, none on the left.
    EXPECT_EQ(pixel(ox + 383 * s, oy + 9 * s), 0x555555u);
    EXPECT_EQ(pixel(ox + 383 * s - 2, oy + 9 * s), 0xD0D3D6u);  // unit 382, between the badges
    EXPECT_EQ(pixel(ox + 352 * s, oy + 3 * s), 0x80C241u);
    EXPECT_EQ(pixel(ox + 352 * s - 1, oy + 3 * s), 0xDEE1E3u);
    EXPECT_EQ(pixel(ox + 1 * s, oy + 9 * s), 0xD0D3D6u);
    EXPECT_EQ(pixel(ox + 18 * s, oy + 3 * s), 0xDEE1E3u);
    EXPECT_EQ(pixel(ox - 1, oy + 20), 0x000000u);  // background beside the canvas
    // The direction is right-aligned: ink left of unit 349, none near 51.
    EXPECT_GT(countDarkPixels(ox + 250 * s, oy + 6 * s, ox + 349 * s, oy + 15 * s), 20 * s * s);
    EXPECT_EQ(countDarkPixels(ox + 20 * s, oy + 6 * s, ox + 50 * s, oy + 15 * s), 0);
}

TEST_P(AnySignTextSource, SmallSurfaceShowsNoDotsAndPaintFrameDrawsTheSign) {
    ASSERT_EQ(parseSign(SIGN), 1);
    paintAt(300, 60, 1000);
    int32_t unlit = 0;
    for (int32_t i = 0; i < 300 * 60; ++i) {
        unlit += (gRender.boardSurface.pixels[i] & 0xFFFFFF) == 0x151517u ? 1 : 0;
    }
    EXPECT_EQ(unlit, 0);
    EXPECT_EQ(pixel(0, 0), 0xD0D3D6u);  // unit (50, 9): the header, cut at the edges
    EXPECT_EQ(pixel(150, 0), 0xD0D3D6u);

    // The same paint again allocates nothing new.
    paintAt(800, 158, 1000);
    const uint32_t* sprites = gNewStyle.newStyleSprites.pixels;
    paintAt(800, 158, 1040);
    EXPECT_EQ(gNewStyle.newStyleSprites.pixels, sprites);
    EXPECT_EQ(gNewStyle.newStyleSprites.scale, 2);

    // paintBoardFrame composes the sign for a new-style document. The sign
    // keeps its header on the surface between frames, so a surface wiped
    // from outside is announced like any other drawing over it.
    std::memset(gRender.boardSurface.pixels, 0, 800 * 158 * 4);
    forceFullPaint();
    gLink.lastFetchOkTick = tickCount();
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(pixel(200, 8), 0xDEE1E3u);
    EXPECT_EQ(pixel(400, 20), 0xD0D3D6u);
    EXPECT_EQ(pixel(16 + 1, 44 + 1), 0x151517u);
}
