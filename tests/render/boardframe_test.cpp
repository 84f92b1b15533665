// The board frame: layout arithmetic, the classic paint read back through the
// BMP writer, painting into a client area smaller than the housing, and (in
// the host build) that neither a composition pass nor a paint touches the
// heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "render/pixelpatch.h"
#include "render/render.h"
#include "render/spritecells.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"
#include "testfiles.h"
#include "testglyphs.h"

#if !defined(_WIN32) && defined(__has_include)
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#define VELMORANT_COUNT_ALLOCATIONS 1
#endif
#endif

namespace {

void prepareBoard() {
    useTestGlyphs();
    resetToClassicDefaults(&gDocuments.currentDocument);
    copyText(gSettings.settings.server, u"127.0.0.1");
    gSettings.settings.port = 8020;
    gSettings.settings.showUnlitDots = 1;
    gSettings.settings.backgroundColor = 0;
    gLink.serverOk = 0;
    invalidatePresentedFrame();
}

uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

TEST(BoardLayoutNumbers, DefaultBoardInItsWindowAndInALargerOne) {
    BoardLayout l = computeBoardLayout(780, 138, 256, 2);
    EXPECT_EQ(l.pitch, 3);
    EXPECT_EQ(l.housingLeft, 0);
    EXPECT_EQ(l.housingTop, 0);
    EXPECT_EQ(l.housingWidth, 780);
    EXPECT_EQ(l.housingHeight, 138);
    EXPECT_EQ(l.ledLeft, 6);
    EXPECT_EQ(l.headerTop, 6);
    EXPECT_EQ(l.ledTop, 36);

    l = computeBoardLayout(800, 600, 256, 2);
    EXPECT_EQ(l.pitch, 3);
    EXPECT_EQ(l.housingLeft, 10);
    EXPECT_EQ(l.housingTop, 231);

    // Narrower than W + 4 pixels: pitch 1, overhanging on the left.
    l = computeBoardLayout(100, 60, 256, 2);
    EXPECT_EQ(l.pitch, 1);
    EXPECT_EQ(l.housingLeft, -80);
    EXPECT_EQ(l.housingTop, 7);
    l = computeBoardLayout(100, 60, 512, 5);
    EXPECT_EQ(l.housingLeft, -208);
    EXPECT_EQ(l.housingTop, -17);
}

TEST(BoardPaint, DefaultBoardWrittenAsBmpReadsBack) {
    prepareBoard();
    layoutBoard(780, 138);
    ASSERT_NE(gRender.boardSurface.pixels, nullptr);
    ASSERT_EQ(gRender.boardLayout.pitch, 3);
    composeClassicBoard(1000, currentBoardStatus());
    paintBoardFrame(currentBoardStatus());

    const std::u16string dir = makeScratchDirectory("render-bmp");
    const std::u16string path = joinPath(dir, u"board.bmp");
    ASSERT_EQ(writeSurfaceBmp(path.c_str(), gRender.boardSurface), 1);
    uint32_t size = 0;
    unsigned char* file = readWholeFile(path.c_str(), 4000000, &size);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(size, 54u + 780u * 138u * 4u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(le32(file + 2), 430614u);
    EXPECT_EQ(le32(file + 10), 54u);
    EXPECT_EQ(le32(file + 14), 40u);
    EXPECT_EQ(le32(file + 18), 780u);
    EXPECT_EQ(le32(file + 22), 138u);
    EXPECT_EQ(file[26] | (file[27] << 8), 1);
    EXPECT_EQ(file[28] | (file[29] << 8), 32);
    for (int32_t offset = 30; offset < 54; ++offset) {
        EXPECT_EQ(file[offset], 0) << offset;
    }
    // Picture pixel (x, y) as B, G, R from the bottom-up rows.
    auto rgb = [&](int32_t x, int32_t y) {
        const unsigned char* p = file + 54 + (static_cast<size_t>(137 - y) * 780 + x) * 4;
        return (static_cast<uint32_t>(p[2]) << 16) | (p[1] << 8) | p[0];
    };
    EXPECT_EQ(rgb(1, 1), 0x1A1A1Cu);  // housing 26, 26, 28
    EXPECT_EQ(rgb(779, 137), 0x1A1A1Cu);
    EXPECT_EQ(rgb(700, 8), 0x34343Au);  // header band 52, 52, 58
    EXPECT_EQ(rgb(6, 6), 0x34343Au);
    EXPECT_EQ(rgb(6, 35), 0x34343Au);
    // The LED panel: row 0 column 32 is the first lit dot of the
    // connecting line (white); dot centres of unlit dots are dim grey and
    // their corners nearly black.
    EXPECT_EQ(rgb(6 + 3 * 32 + 1, 36 + 1), 0xF0F0F0u);
    EXPECT_EQ(rgb(6 + 3 * 32, 36), 0x3B3B3Bu);  // corner: 240 * 63 / 255
    EXPECT_EQ(rgb(6 + 1, 36 + 1), 0x1E1E1Eu);
    EXPECT_EQ(rgb(6 + 3 * 255 + 1, 36 + 3 * 31 + 1), 0x1E1E1Eu);
    EXPECT_EQ(rgb(6 + 3 * 256, 36 + 1), 0x1A1A1Cu);  // right margin of the housing
    heapFree(file);

    // Without unlit dots the panel is black between the lit ones.
    gSettings.settings.showUnlitDots = 0;
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(gRender.boardSurface.pixels[37 * 780 + 7], 0u);
    EXPECT_EQ(gRender.boardSurface.pixels[37 * 780 + 6 + 3 * 32 + 1], 0xF0F0F0u);
}

TEST(BoardPaint, BackgroundShowsAroundTheHousing) {
    prepareBoard();
    gSettings.settings.backgroundColor = 0x0000FF;  // red as the drawing interface takes it
    layoutBoard(800, 600);
    composeClassicBoard(1000, currentBoardStatus());
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(gRender.boardSurface.pixels[0], 0xFF0000u);
    EXPECT_EQ(gRender.boardSurface.pixels[231 * 800 + 9], 0xFF0000u);
    EXPECT_EQ(gRender.boardSurface.pixels[231 * 800 + 10], 0x1A1A1Cu);
    // Same size again: the surface stays, the layout is recomputed.
    uint32_t* before = gRender.boardSurface.pixels;
    gDocuments.currentDocument.rows = 5;
    layoutBoard(800, 600);
    EXPECT_EQ(gRender.boardSurface.pixels, before);
    EXPECT_EQ(gRender.boardLayout.housingTop, (600 - 3 * 94) / 2);
}

TEST(BoardPaint, EveryPixelOutsideTheHousingIsBackgroundWhateverWasThere) {
    // The background is painted only around the housing, in bands; a band
    // too few or too short would leave the previous picture showing.
    prepareBoard();
    gSettings.settings.backgroundColor = 0x00FF00;  // green as the drawing interface takes it
    struct Size {
        int32_t width, height, rows;
    };
    for (const Size size : {Size{800, 600, 2}, Size{780, 138, 2}, Size{1000, 140, 2}, Size{790, 400, 2},
                            Size{100, 60, 5}, Size{1921, 1081, 3}}) {
        gDocuments.currentDocument.width = size.rows == 5 ? 512 : 256;
        gDocuments.currentDocument.rows = size.rows;
        layoutBoard(size.width, size.height);
        ASSERT_EQ(gRender.boardSurface.width, size.width);
        const int32_t count = size.width * size.height;
        for (int32_t i = 0; i < count; ++i) {
            gRender.boardSurface.pixels[i] = 0x123456u;
        }
        composeClassicBoard(1000, currentBoardStatus());
        paintBoardFrame(currentBoardStatus());
        const BoardLayout& l = gRender.boardLayout;
        int32_t junk = 0;
        int32_t wrongBackground = 0;
        for (int32_t y = 0; y < size.height; ++y) {
            for (int32_t x = 0; x < size.width; ++x) {
                const uint32_t pixel = gRender.boardSurface.pixels[y * size.width + x];
                junk += pixel == 0x123456u ? 1 : 0;
                const bool inHousing = x >= l.housingLeft && x < l.housingLeft + l.housingWidth &&
                                       y >= l.housingTop && y < l.housingTop + l.housingHeight;
                wrongBackground += !inHousing && pixel != 0x00FF00u ? 1 : 0;
            }
        }
        EXPECT_EQ(junk, 0) << size.width << "x" << size.height;
        EXPECT_EQ(wrongBackground, 0) << size.width << "x" << size.height;
    }
}

TEST(SurfaceFill, BoxesAndTheirOutsidesCoverExactlyTheirPixelsOnTheSurface) {
    // The outside of a box is filled one run per box row, from the right of
    // the box on one row to its left on the next; boxes of every short
    // width take the vector stores, longer ones the string store.
    constexpr int32_t W = 53;
    constexpr int32_t H = 9;
    std::vector<uint32_t> pixels(W * H);
    const PixelSurface surface{pixels.data(), W, H};
    struct Box {
        int32_t x, y, w, h;
    };
    const auto inBox = [](const Box& b, int32_t x, int32_t y) {
        return x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h;
    };
    std::vector<Box> boxes = {{10, 2, 20, 4}, {0, 0, 5, 3},   {48, 6, 5, 3}, {-4, -2, 9, 5}, {40, 5, 30, 30},
                              {0, 3, W, 2},   {-9, -9, 4, 4}, {60, 0, 3, 9}, {7, 4, 0, 3},   {0, 0, W, H}};
    for (const Box& b : boxes) {
        std::fill(pixels.begin(), pixels.end(), 0x777777u);
        fillSurfaceOutsideBox(surface, b.x, b.y, b.w, b.h, 0x0000FFu);  // red
        int32_t wrong = 0;
        for (int32_t y = 0; y < H; ++y) {
            for (int32_t x = 0; x < W; ++x) {
                wrong += pixels[y * W + x] != (inBox(b, x, y) ? 0x777777u : 0xFF0000u) ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0) << "outside " << b.x << "," << b.y << " " << b.w << "x" << b.h;
    }
    for (int32_t w = 0; w <= 48; ++w) {
        const Box b{3, 1 + w % 5, w, 2};
        std::fill(pixels.begin(), pixels.end(), 0x777777u);
        fillSurfaceBox(surface, b.x, b.y, b.w, b.h, 0x00FF00u);
        int32_t wrong = 0;
        for (int32_t y = 0; y < H; ++y) {
            for (int32_t x = 0; x < W; ++x) {
                wrong += pixels[y * W + x] != (inBox(b, x, y) ? 0x00FF00u : 0x777777u) ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0) << "box width " << w;
    }
}

TEST(SurfaceFill, ASavedRectanglePutBackTwiceIsThePixelsSaved) {
    // Put back the first time as found, then with its long runs of one
    // colour filled: runs that reach a row's end, start at odd pixels, or
    // continue in the next row in the same colour must not spill over.
    prepareBoard();
    layoutBoard(640, 200);
    const PixelSurface& surface = gRender.boardSurface;
    ASSERT_EQ(surface.width, 640);
    for (int32_t y = 0; y < surface.height; ++y) {
        for (int32_t x = 0; x < surface.width; ++x) {
            const bool ink = (x % 151 < 7 && y % 3 != 0) || (x > 300 && x < 305);
            const uint32_t band = y < 50 ? 0xDDE1E3u : (x < 200 ? 0x2A2A2Cu : 0xD0D3D6u);
            surface.pixels[y * surface.width + x] = ink ? 0x010000u * static_cast<uint32_t>(x + y) : band;
        }
    }
    const std::vector<uint32_t> drawn(surface.pixels, surface.pixels + 640 * 200);
    PixelPatch patch{};
    const int32_t w = surface.width - 32;  // a multiple of the run search's blocks
    reservePixelPatch(patch, static_cast<int64_t>(w) * 120, true);
    savePixelPatch(patch, 13, 21, w, 100);
    ASSERT_TRUE(patch.valid);
    for (int32_t round = 0; round < 2; ++round) {
        std::fill(surface.pixels, surface.pixels + 640 * 200, 0x777777u);
        ASSERT_TRUE(restorePixelPatch(patch));
        int32_t wrong = 0;
        for (int32_t y = 0; y < surface.height; ++y) {
            for (int32_t x = 0; x < surface.width; ++x) {
                const bool saved = x >= 13 && x < 13 + w && y >= 21 && y < 121;
                wrong += surface.pixels[y * 640 + x] != (saved ? drawn[y * 640 + x] : 0x777777u) ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0) << "round " << round;
    }
    EXPECT_GT(patch.runCount, 100);
    heapFree(patch.pixels);
    heapFree(patch.runs);
}

TEST(BoardPaint, APaintOfChangedDotsOnlyEqualsAFullPaint) {
    // A paint after the dots alone changed redraws only the LED panel; the
    // picture must be the one a full paint gives, frame after frame.
    prepareBoard();
    gLink.serverOk = 1;
    gDocuments.currentDocument.rows = 3;
    copyText(gDocuments.currentDocument.platform, u"3");
    ClassicLine& train = gDocuments.currentDocument.lines[0];
    train.kind = LINE_TRAIN;
    train.blink = 1;
    copyText(train.time, u"12:34");
    copyText(train.text, u"東京");
    ClassicLine& scroll = gDocuments.currentDocument.lines[2];
    scroll.kind = LINE_SCROLL;
    copyText(scroll.text, u"{Y}scrolling text{R}赤");
    layoutBoard(900, 300);
    const size_t bytes = sizeof(uint32_t) * 900 * 300;
    std::string painted(bytes, '\0');
    int32_t differences = 0;
    for (uint32_t now = 1000; now < 4000; now += 30) {
        gLink.lastFetchOkTick = now;
        composeClassicBoard(now, currentBoardStatus());
        paintBoardFrame(currentBoardStatus());
        std::memcpy(&painted[0], gRender.boardSurface.pixels, bytes);
        forceFullPaint();
        paintBoardFrame(currentBoardStatus());
        differences += std::memcmp(&painted[0], gRender.boardSurface.pixels, bytes) != 0 ? 1 : 0;
    }
    EXPECT_EQ(differences, 0);

    // Junk in the LED panel is painted over by the next paint.
    const BoardLayout& l = gRender.boardLayout;
    for (int32_t y = l.ledTop; y < l.ledTop + 3 * 16 * l.pitch; ++y) {
        for (int32_t x = l.ledLeft; x < l.ledLeft + 256 * l.pitch; ++x) {
            gRender.boardSurface.pixels[y * 900 + x] = 0x123456u;
        }
    }
    gSettings.settings.showUnlitDots = 0;
    paintBoardFrame(currentBoardStatus());
    std::memcpy(&painted[0], gRender.boardSurface.pixels, bytes);
    forceFullPaint();
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(std::memcmp(&painted[0], gRender.boardSurface.pixels, bytes), 0);

    // A new background colour is noticed without being asked for.
    gSettings.settings.backgroundColor = 0x0000FF;
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(gRender.boardSurface.pixels[0], 0xFF0000u);
    // So is a new-style document drawn over the surface in between.
    gRender.boardSurface.pixels[0] = 0x123456u;
    gDocuments.currentDocument.isNewStyle = 1;
    paintBoardFrame(currentBoardStatus());
    gDocuments.currentDocument.isNewStyle = 0;
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(gRender.boardSurface.pixels[0], 0xFF0000u);
    gSettings.settings.showUnlitDots = 1;
    gSettings.settings.backgroundColor = 0;
}

TEST(BoardPaint, OnlyTheLedPanelNeedsTheWindowWhileNothingElseChanged) {
    prepareBoard();
    gLink.serverOk = 1;
    copyText(gDocuments.currentDocument.labelJp, u"1番線");
    layoutBoard(900, 300);
    int32_t x = -1;
    int32_t y = -1;
    int32_t w = -1;
    int32_t h = -1;
    // A new layout: the next paint is a full one.
    EXPECT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 0);
    composeClassicBoard(1000, currentBoardStatus());
    paintBoardFrame(currentBoardStatus());
    ASSERT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 1);
    const BoardLayout& l = gRender.boardLayout;
    EXPECT_EQ(x, l.ledLeft);
    EXPECT_EQ(y, l.ledTop);
    EXPECT_EQ(w, 256 * l.pitch);
    EXPECT_EQ(h, 2 * 16 * l.pitch);
    // A changed header, a forced repaint or a new-style document each need
    // the whole surface again, until a paint has drawn it.
    copyText(gDocuments.currentDocument.labelJp, u"2番線");
    EXPECT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 0);
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 1);
    invalidatePresentedFrame();
    EXPECT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 0);
    paintBoardFrame(currentBoardStatus());
    gDocuments.currentDocument.isNewStyle = 1;
    EXPECT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 0);
    gDocuments.currentDocument.isNewStyle = 0;
    EXPECT_EQ(boardDotsArea(currentBoardStatus(), &x, &y, &w, &h), 1);
}

TEST(BoardPaint, SmallClientAreaPaintsOnlyInsideTheSurface) {
    // The host surface is a heap block of exactly 100 x 60 pixels, so a
    // write outside it is reported by AddressSanitizer.
    prepareBoard();
    for (int32_t rows : {2, 5}) {
        gDocuments.currentDocument.width = rows == 2 ? 256 : 512;
        gDocuments.currentDocument.rows = rows;
        layoutBoard(100, 60);
        ASSERT_EQ(gRender.boardSurface.width, 100);
        ASSERT_EQ(gRender.boardSurface.height, 60);
        ASSERT_EQ(gRender.boardLayout.pitch, 1);
        std::memset(gRender.dotFrame.dots, 0, sizeof(gRender.dotFrame.dots));
        for (int32_t r = 0; r < rows * 16; ++r) {
            for (int32_t c = 0; c < gDocuments.currentDocument.width; ++c) {
                gRender.dotFrame.dots[r * DOT_STRIDE + c] = COLOR_YELLOW;
            }
        }
        paintBoardFrame(currentBoardStatus());
        const int32_t x = 50;
        const int32_t y = gRender.boardLayout.ledTop > 0 ? gRender.boardLayout.ledTop : 0;
        EXPECT_EQ(gRender.boardSurface.pixels[y * 100 + x], 0xFFE000u) << rows;
    }
}

#ifdef VELMORANT_COUNT_ALLOCATIONS
namespace {
volatile int32_t allocations = 0;
void countAllocation(const volatile void*, size_t) {
    allocations = allocations + 1;
}
void ignoreFree(const volatile void*) {}
}  // namespace

TEST(BoardPaint, NoHeapAllocationInAPassOrAPaint) {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(countAllocation, ignoreFree) != 0;
    ASSERT_TRUE(installed);
    prepareBoard();
    gLink.serverOk = 1;
    gDocuments.currentDocument.rows = 3;
    ClassicLine& train = gDocuments.currentDocument.lines[0];
    train.kind = LINE_TRAIN;
    copyText(train.time, u"12:34");
    copyText(train.text, u"東京");
    ClassicLine& text = gDocuments.currentDocument.lines[1];
    text.kind = LINE_TEXT;
    copyText(text.text, u"{R}赤{小}small{大}BIG");
    ClassicLine& scroll = gDocuments.currentDocument.lines[2];
    scroll.kind = LINE_SCROLL;
    copyText(scroll.text, u"{Y}scrolling text");
    layoutBoard(780, 186);  // the layout may allocate (sprites, surface); a pass and a paint may not

    // The counter sees allocations at all.
    allocations = 0;
    void* block = heapAlloc(16);
    heapFree(block);
    EXPECT_EQ(allocations, 1);

    allocations = 0;
    for (uint32_t now = 1000; now < 3000; now += 30) {
        composeClassicBoard(now, currentBoardStatus());
        paintBoardFrame(currentBoardStatus());
    }
    EXPECT_EQ(allocations, 0);
}
#endif
