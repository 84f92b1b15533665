// The Windows side of the board under Wine: LED text from the real GDI font
// (the test prefix maps "MS Gothic" to IPAGothic), the DIB section surface and
// the header text of the classic paint.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/wide.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"
#include "testfiles.h"

namespace {

constexpr int32_t GRID_STRIDE = 1024;

struct Grid {
    uint8_t dots[16 * GRID_STRIDE];
    Grid() {
        std::memset(dots, 0, sizeof(dots));
    }
    bool rowHasInk(int32_t row, int32_t from, int32_t to) const {
        for (int32_t c = from; c < to; ++c) {
            if (dots[row * GRID_STRIDE + c] != 0) {
                return true;
            }
        }
        return false;
    }
    int32_t lastInkColumn() const {
        int32_t last = -1;
        for (int32_t r = 0; r < 16; ++r) {
            for (int32_t c = 0; c < GRID_STRIDE; ++c) {
                if (dots[r * GRID_STRIDE + c] != 0 && c > last) {
                    last = c;
                }
            }
        }
        return last;
    }
};

// The text's width in the LED font as GDI itself measures it.
int32_t gdiWidth(const char16_t* text, int32_t height) {
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font =
        CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, FIXED_PITCH | FF_MODERN, L"MS Gothic");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, asWide(text), textLength(text), &size);
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    return size.cx;
}

class GdiText : public ::testing::Test {
protected:
    void SetUp() override {
        copyText(settings.fontFace, u"MS Gothic");
        copyText(settings.labelFontFace, u"MS PGothic");
        ASSERT_EQ(createTextScratch(), 1);
    }
};

}  // namespace

TEST_F(GdiText, AsciiAndJapaneseInkTheSixteenRowsAtTheirMeasuredWidth) {
    for (const char16_t* text : {u"12:34 Tokyo", u"東京方面", u"各駅停車 Local"}) {
        Grid grid;
        const int32_t measured = gdiWidth(text, 16);
        ASSERT_GT(measured, 0);
        const int32_t width = rasteriseText(text, textLength(text), COLOR_ORANGE, grid.dots, GRID_STRIDE,
                                            GRID_STRIDE, 16, 0, 0, 0, 0);
        EXPECT_EQ(width, measured);
        EXPECT_LT(grid.lastInkColumn(), measured);
        EXPECT_GT(grid.lastInkColumn(), measured / 2);
        int32_t inkedRows = 0;
        for (int32_t r = 0; r < 16; ++r) {
            inkedRows += grid.rowHasInk(r, 0, measured) ? 1 : 0;
        }
        EXPECT_GE(inkedRows, 10);
    }
    // A fixed-pitch face: a kanji is as wide as two ASCII characters.
    EXPECT_EQ(gdiWidth(u"東", 16), gdiWidth(u"AB", 16));
}

TEST_F(GdiText, SqueezedAndCentredTextStaysInItsBox) {
    Grid grid;
    const int32_t measured = gdiWidth(u"東京方面ゆき", 16);
    EXPECT_EQ(
        rasteriseText(u"東京方面ゆき", 6, COLOR_GREEN, grid.dots, GRID_STRIDE, GRID_STRIDE, 16, 10, 0, 40, 0),
        40);
    EXPECT_LT(grid.lastInkColumn(), 50);
    EXPECT_TRUE(grid.rowHasInk(8, 10, 50));
    Grid centred;
    EXPECT_EQ(rasteriseText(u"東", 1, COLOR_GREEN, centred.dots, GRID_STRIDE, GRID_STRIDE, 16, 0, 0, 200, 1),
              gdiWidth(u"東", 16));
    EXPECT_FALSE(centred.rowHasInk(8, 0, (200 - gdiWidth(u"東", 16)) / 2));
    EXPECT_GT(measured, 40);
}

TEST_F(GdiText, SmallFontSitsFiveRowsLower) {
    TextStrip* strip = new TextStrip;
    std::memset(strip->dots, 0, sizeof(strip->dots));
    const int32_t normalWidth = rasteriseMarkup(u"東京", COLOR_WHITE, strip, 0);
    EXPECT_EQ(normalWidth, gdiWidth(u"東京", 16));
    bool normalTop = false;
    for (int32_t r = 0; r < 5; ++r) {
        for (int32_t c = 0; c < normalWidth; ++c) {
            normalTop = normalTop || strip->dots[r * TEXT_STRIP_WIDTH + c] != 0;
        }
    }
    EXPECT_TRUE(normalTop);

    const int32_t smallWidth = rasteriseMarkup(u"{小}東京", COLOR_WHITE, strip, normalWidth);
    EXPECT_EQ(smallWidth, gdiWidth(u"東京", 11));
    EXPECT_LT(smallWidth, normalWidth);
    bool smallTop = false;
    bool smallInk = false;
    for (int32_t r = 0; r < 16; ++r) {
        for (int32_t c = 0; c < normalWidth; ++c) {
            const bool ink = strip->dots[r * TEXT_STRIP_WIDTH + c] != 0;
            smallTop = smallTop || (ink && r < 5);
            smallInk = smallInk || ink;
        }
    }
    EXPECT_FALSE(smallTop);
    EXPECT_TRUE(smallInk);
    // Plain calls afterwards use the normal font again.
    Grid grid;
    EXPECT_EQ(rasteriseText(u"東京", 2, COLOR_WHITE, grid.dots, GRID_STRIDE, GRID_STRIDE, 16, 0, 0, 0, 0),
              normalWidth);
    delete strip;
}

TEST_F(GdiText, ClassicPaintDrawsTheHeaderTexts) {
    resetToClassicDefaults(&currentDocument);
    copyText(currentDocument.platform, u"12");
    copyText(currentDocument.labelJp, u"東京駅");
    copyText(currentDocument.labelEn, u"Tokyo");
    copyText(currentDocument.capTime, u"時刻");
    copyText(currentDocument.capDest, u"行先");
    settings.showUnlitDots = 1;
    settings.backgroundColor = 0;
    serverOk = 0;
    resetLayoutPitch();
    layoutBoard(780, 138);
    ASSERT_NE(boardSurface.pixels, nullptr);
    ASSERT_EQ(boardSurface.width, 780);
    composeClassicBoard(1000, currentBoardStatus());
    paintBoardFrame(currentBoardStatus());

    auto count = [](int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t pixel) {
        int32_t n = 0;
        for (int32_t y = y0; y < y1; ++y) {
            for (int32_t x = x0; x < x1; ++x) {
                n += (boardSurface.pixels[y * 780 + x] & 0xFFFFFF) == pixel ? 1 : 0;
            }
        }
        return n;
    };
    // Platform square at (9, 9), 15 x 15: mostly white with black text.
    EXPECT_GT(count(9, 9, 24, 24, 0xFAFAFA), 100);
    EXPECT_GT(count(9, 9, 24, 24, 0x000000), 5);
    // Label from x = 6 + 24 in the white label colour.
    EXPECT_GT(count(30, 9, 300, 24, 0xFFFFFF), 20);
    // Captions over the time column (x 18..246) and the destination column.
    EXPECT_GT(count(18, 24, 246, 36, 0xC8C8C8) + count(18, 24, 246, 36, 0xFFFFFF), 0);
    int32_t captionInk = 0;
    for (int32_t y = 24; y < 36; ++y) {
        for (int32_t x = 246; x < 774; ++x) {
            captionInk += (boardSurface.pixels[y * 780 + x] & 0xFFFFFF) != 0x34343A ? 1 : 0;
        }
    }
    EXPECT_GT(captionInk, 5);
    // The band itself and a lit dot of the connecting line.
    EXPECT_EQ(boardSurface.pixels[8 * 780 + 700] & 0xFFFFFF, 0x34343Au);
    bool whiteDot = false;
    for (int32_t c = 0; c < 256 && !whiteDot; ++c) {
        whiteDot = (boardSurface.pixels[(36 + 3 * 8 + 1) * 780 + 6 + 3 * c + 1] & 0xFFFFFF) == 0xF0F0F0;
    }
    EXPECT_TRUE(whiteDot);

    // A full paint with the same header copies the band back instead of
    // drawing its texts: the same picture over a surface of junk. A new
    // label is drawn, not copied.
    const size_t bytes = sizeof(uint32_t) * 780 * 138;
    const std::string first(reinterpret_cast<const char*>(boardSurface.pixels), bytes);
    std::memset(boardSurface.pixels, 0x5A, bytes);
    forceFullPaint();
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(std::memcmp(first.data(), boardSurface.pixels, bytes), 0);
    copyText(currentDocument.labelEn, u"Kyoto");
    forceFullPaint();
    paintBoardFrame(currentBoardStatus());
    EXPECT_NE(std::memcmp(first.data(), boardSurface.pixels, bytes), 0);
    copyText(currentDocument.labelEn, u"Tokyo");
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(std::memcmp(first.data(), boardSurface.pixels, bytes), 0);

    // The same picture through the BMP writer on Windows files.
    const std::u16string dir = makeScratchDirectory("render-gdi-bmp");
    const std::u16string path = joinPath(dir, u"header.bmp");
    ASSERT_EQ(writeSurfaceBmp(path.c_str(), boardSurface), 1);
    uint32_t size = 0;
    unsigned char* file = readWholeFile(path.c_str(), 1000000, &size);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(size, 430614u);
    // The top-left pixel of the picture is the first pixel of the last row.
    EXPECT_EQ(std::memcmp(file + 54 + 137 * 780 * 4, boardSurface.pixels, 780 * 4), 0);
    heapFree(file);
}
