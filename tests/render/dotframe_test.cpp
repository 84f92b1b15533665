// The dot frame: sprite coverage, the blit onto a surface (with and without
// unlit dots, cut at the surface's edges) and the commit that decides
// whether a repaint is needed.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "render/render.h"

namespace {

std::vector<int32_t> coverageOf(int32_t n) {
    std::vector<int32_t> cells;
    for (int32_t py = 0; py < n; ++py) {
        for (int32_t px = 0; px < n; ++px) {
            cells.push_back(dotCoverage(n, px, py));
        }
    }
    return cells;
}

void clearWholeFrame() {
    std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
}

}  // namespace

TEST(DotSprites, DiscCoverageForPitchesThreeToFive) {
    EXPECT_EQ(coverageOf(3), (std::vector<int32_t>{63, 191, 63, 191, 255, 191, 63, 191, 63}));
    EXPECT_EQ(coverageOf(4), (std::vector<int32_t>{15, 111, 111, 15, 111, 255, 255, 111, 111, 255, 255, 111,
                                                   15, 111, 111, 15}));
    EXPECT_EQ(coverageOf(5),
              (std::vector<int32_t>{0,   79,  127, 79,  0,   79,  255, 255, 255, 79,  127, 255, 255,
                                    255, 127, 79,  255, 255, 255, 79,  0,   79,  127, 79,  0}));
}

TEST(DotSprites, SmallPitchesAreFullSquaresOfThePaletteColour) {
    for (int32_t n = 1; n <= 2; ++n) {
        buildDotSprites(n);
        ASSERT_NE(gRender.dotSprites.pixels, nullptr);
        EXPECT_EQ(gRender.dotSprites.pitch, n);
        for (int32_t k = 0; k < PALETTE_SIZE; ++k) {
            for (int32_t i = 0; i < n * n; ++i) {
                EXPECT_EQ(gRender.dotSprites.pixels[k * n * n + i], CLASSIC_PALETTE[k])
                    << "n " << n << " k " << k;
            }
        }
    }
}

TEST(DotSprites, ChannelsAreScaledByCoverage) {
    buildDotSprites(3);
    ASSERT_NE(gRender.dotSprites.pixels, nullptr);
    const uint32_t* orange = gRender.dotSprites.pixels + 2 * 9;
    EXPECT_EQ(orange[4], 0xFF8C00u);
    // Corner coverage 63: 255*63/255, 140*63/255 = 34, 0.
    EXPECT_EQ(orange[0], (63u << 16) | (34u << 8));
    // Edge coverage 191 of the unlit grey: 30*191/255 = 22.
    EXPECT_EQ(gRender.dotSprites.pixels[1], 0x161616u);
}

TEST(DotBlit, DrawsEveryActiveDotAndHonoursShowUnlitDots) {
    buildDotSprites(2);
    clearWholeFrame();
    gRender.dotFrame.dots[0 * DOT_STRIDE + 3] = COLOR_RED;
    gRender.dotFrame.dots[17 * DOT_STRIDE + 63] = COLOR_PINK;
    gRender.dotFrame.dots[0 * DOT_STRIDE + 64] = COLOR_GREEN;  // beyond W: never drawn

    const int32_t w = 2 * 64 + 10;
    const int32_t h = 2 * 32 + 10;
    std::vector<uint32_t> pixels(static_cast<size_t>(w * h), 0xABCDEF);
    PixelSurface surface{pixels.data(), w, h};

    blitDotFrame(surface, 5, 5, 2, 64, 2, 1);
    auto at = [&](int32_t x, int32_t y) { return pixels[static_cast<size_t>(y * w + x)]; };
    EXPECT_EQ(at(5 + 6, 5), 0xFF2828u);
    EXPECT_EQ(at(5 + 7, 6), 0xFF2828u);
    EXPECT_EQ(at(5 + 126, 5 + 34), 0xFF50D0u);
    EXPECT_EQ(at(5, 5), 0x1E1E1Eu);        // unlit dot drawn grey
    EXPECT_EQ(at(5 + 128, 5), 0xABCDEFu);  // column W is outside the panel
    EXPECT_EQ(at(5, 5 + 64), 0xABCDEFu);   // so is dot row R*16
    EXPECT_EQ(at(4, 4), 0xABCDEFu);

    std::fill(pixels.begin(), pixels.end(), 0);
    blitDotFrame(surface, 5, 5, 2, 64, 2, 0);
    EXPECT_EQ(at(5, 5), 0u);  // unlit dots leave the panel black
    EXPECT_EQ(at(5 + 6, 5), 0xFF2828u);
}

TEST(DotBlit, DotsOutsideTheSurfaceAreCutNotWritten) {
    // A surface exactly as large as the buffer: anything written past it is
    // an overrun that AddressSanitizer reports.
    buildDotSprites(3);
    clearWholeFrame();
    for (int32_t r = 0; r < 80; ++r) {
        for (int32_t c = 0; c < 512; ++c) {
            gRender.dotFrame.dots[r * DOT_STRIDE + c] = static_cast<uint8_t>(1 + (r + c) % 7);
        }
    }
    const int32_t w = 50;
    const int32_t h = 20;
    std::vector<uint32_t> pixels(static_cast<size_t>(w * h), 0);
    PixelSurface surface{pixels.data(), w, h};
    blitDotFrame(surface, -100, -31, 3, 512, 5, 1);
    // Dot (c, r) lands at (-100 + 3c, -31 + 3r): pixel (2, 2) is the corner
    // pixel of dot (34, 11), a partly visible dot at the top edge is dot
    // (33, 10) whose bottom row is surface row 1.
    const uint32_t colour = CLASSIC_PALETTE[1 + (34 + 11) % 7];
    const uint32_t corner = (((colour >> 16) & 0xFF) * 63 / 255 << 16) |
                            (((colour >> 8) & 0xFF) * 63 / 255 << 8) | ((colour & 0xFF) * 63 / 255);
    EXPECT_EQ(pixels[2 * w + 2], corner);
    EXPECT_NE(pixels[0], 0u);
    // Surfaces far away on every side are left alone.
    blitDotFrame(surface, w, 0, 3, 512, 5, 1);
    blitDotFrame(surface, -3 * 512, 0, 3, 512, 5, 1);
    blitDotFrame(surface, 0, h, 3, 512, 5, 1);
    blitDotFrame(surface, 0, -3 * 80, 3, 512, 5, 1);
}

TEST(DotCommit, ReportsChangesOnlyAndNeverLooksPastTheWidth) {
    clearWholeFrame();
    invalidatePresentedFrame();
    EXPECT_TRUE(commitDotFrame(258, 2));
    EXPECT_FALSE(commitDotFrame(258, 2));
    EXPECT_FALSE(commitDotFrame(258, 2));

    // Old dots beyond a narrowed width are neither compared nor copied.
    gRender.dotFrame.dots[5 * DOT_STRIDE + 258] = COLOR_RED;
    EXPECT_FALSE(commitDotFrame(258, 2));
    EXPECT_EQ(gRender.presentedFrame.dots[5 * DOT_STRIDE + 258], DOT_FORCE_REPAINT);
    // Nor below the active rows.
    gRender.dotFrame.dots[32 * DOT_STRIDE + 0] = COLOR_RED;
    EXPECT_FALSE(commitDotFrame(258, 2));

    // The last column and the last row count.
    gRender.dotFrame.dots[31 * DOT_STRIDE + 257] = COLOR_GREEN;
    EXPECT_TRUE(commitDotFrame(258, 2));
    EXPECT_EQ(gRender.presentedFrame.dots[31 * DOT_STRIDE + 257], COLOR_GREEN);
    EXPECT_FALSE(commitDotFrame(258, 2));

    invalidatePresentedFrame();
    EXPECT_TRUE(commitDotFrame(258, 2));
    invalidatePresentedFrame();
    EXPECT_TRUE(commitDotFrame(64, 1));
}

TEST(DotFrameClear, ClearsOnlyTheActiveArea) {
    std::memset(gRender.dotFrame.dots, COLOR_WHITE, sizeof(gRender.dotFrame.dots));
    clearDotFrameActiveArea(100, 2);
    EXPECT_EQ(gRender.dotFrame.dots[0], 0);
    EXPECT_EQ(gRender.dotFrame.dots[31 * DOT_STRIDE + 99], 0);
    EXPECT_EQ(gRender.dotFrame.dots[31 * DOT_STRIDE + 100], COLOR_WHITE);
    EXPECT_EQ(gRender.dotFrame.dots[32 * DOT_STRIDE + 0], COLOR_WHITE);
}

TEST(DotBlit, EveryPitchPlacesEachCellAndCutsAtTheEdges) {
    for (int32_t n = 1; n <= 9; ++n) {
        buildDotSprites(n);
        ASSERT_NE(gRender.dotSprites.pixels, nullptr);
        clearWholeFrame();
        for (int32_t r = 0; r < 16; ++r) {
            for (int32_t c = 0; c < 64; ++c) {
                gRender.dotFrame.dots[r * DOT_STRIDE + c] = static_cast<uint8_t>((r * 3 + c * 5) % 8);
            }
        }
        // Hanging over the left edge and cut by the right and bottom edges.
        const int32_t w = 40 * n + 1;
        const int32_t h = 12 * n + 2;
        const int32_t leftX = -3 * n - 1;
        const int32_t topY = 2;
        std::vector<uint32_t> pixels(static_cast<size_t>(w * h), 0xABCDEF);
        blitDotFrame(PixelSurface{pixels.data(), w, h}, leftX, topY, n, 64, 1, 0);
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                uint32_t expected = 0xABCDEF;
                if (y >= topY) {
                    const int32_t c = (x - leftX) / n;
                    const int32_t r = (y - topY) / n;
                    const uint8_t v = gRender.dotFrame.dots[r * DOT_STRIDE + c];
                    if (v != 0) {
                        expected =
                            gRender.dotSprites.pixels[v * n * n + ((y - topY) % n) * n + (x - leftX) % n];
                    }
                }
                ASSERT_EQ(pixels[static_cast<size_t>(y * w + x)], expected)
                    << "n " << n << " at " << x << "," << y;
            }
        }
    }
}

TEST(DotBlit, AWholePanelOnALargeSurfaceShowsEachDotsSprite) {
    // A surface of 16 MiB, large enough to be written with streaming stores,
    // with dot rows that repeat the one above, long runs and single dots.
    const int32_t w = 4096;
    const int32_t h = 1024;
    std::vector<uint32_t> pixels(static_cast<size_t>(w) * h);
    for (const int32_t n : {7, 14, 17}) {
        buildDotSprites(n);
        ASSERT_NE(gRender.dotSprites.pixels, nullptr);
        clearWholeFrame();
        for (int32_t r = 0; r < 48; ++r) {
            for (int32_t c = 0; c < 200; ++c) {
                const int32_t band = r / 3;  // three equal rows at a time
                gRender.dotFrame.dots[r * DOT_STRIDE + c] =
                    static_cast<uint8_t>(c < 40 + band ? band % 8 : (c * band + r % 3) % 8);
            }
        }
        for (const int32_t drawUnlit : {1, 0}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " unlit drawn " << drawUnlit);
            std::fill(pixels.begin(), pixels.end(), 0xABCDEFu);
            const int32_t leftX = 13;
            const int32_t topY = 5;
            blitDotFrameStreamed(PixelSurface{pixels.data(), w, h}, leftX, topY, n, 200, 3, drawUnlit);
            int32_t wrong = 0;
            for (int32_t y = topY; y < topY + 48 * n; ++y) {
                for (int32_t x = leftX; x < leftX + 200 * n; ++x) {
                    const uint8_t v = gRender.dotFrame.dots[((y - topY) / n) * DOT_STRIDE + (x - leftX) / n];
                    const uint32_t expected =
                        v == 0 && drawUnlit == 0
                            ? 0xABCDEFu
                            : gRender.dotSprites.pixels[v * n * n + ((y - topY) % n) * n + (x - leftX) % n];
                    wrong += pixels[static_cast<size_t>(y) * w + x] != expected ? 1 : 0;
                }
            }
            EXPECT_EQ(wrong, 0);
            // Nothing around the panel is written.
            EXPECT_EQ(pixels[static_cast<size_t>(topY) * w + leftX - 1], 0xABCDEFu);
            EXPECT_EQ(pixels[static_cast<size_t>(topY) * w + leftX + 200 * n], 0xABCDEFu);
            EXPECT_EQ(pixels[static_cast<size_t>(topY + 48 * n) * w + leftX], 0xABCDEFu);
            EXPECT_EQ(pixels[static_cast<size_t>(topY - 1) * w + leftX], 0xABCDEFu);
        }
    }
}
