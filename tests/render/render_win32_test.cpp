// The Windows side of the board under Wine: the rasteriser's cases for every
// glyph source (rasterise_test.cpp) with LED text from the real GDI font (the
// test prefix maps "MS Gothic" to IPAGothic), the DIB section surface and the
// header text of the classic paint.
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
#include "testglyphs.h"

namespace {

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

// The rasteriser cases that hold for every glyph source, with GDI's glyphs
// measured by GDI itself.
int32_t installGdiGlyphs() {
    copyText(gSettings.settings.fontFace, u"MS Gothic");
    copyText(gSettings.settings.labelFontFace, u"MS PGothic");
    return createTextScratch();
}

int32_t gdiLedWidth(const char16_t* text, int32_t smallFont) {
    return gdiWidth(text, smallFont != 0 ? 11 : 16);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Gdi, AnyGlyphSource,
                         ::testing::Values(GlyphSourceCase{"Gdi", installGdiGlyphs, gdiLedWidth}));

TEST(GdiText, ClassicPaintDrawsTheHeaderTexts) {
    ASSERT_EQ(installGdiGlyphs(), 1);
    resetToClassicDefaults(&gDocuments.currentDocument);
    copyText(gDocuments.currentDocument.platform, u"12");
    copyText(gDocuments.currentDocument.labelJp, u"東京駅");
    copyText(gDocuments.currentDocument.labelEn, u"Tokyo");
    copyText(gDocuments.currentDocument.capTime, u"時刻");
    copyText(gDocuments.currentDocument.capDest, u"行先");
    gSettings.settings.showUnlitDots = 1;
    gSettings.settings.backgroundColor = 0;
    gLink.serverOk = 0;
    resetLayoutPitch();
    layoutBoard(780, 138);
    ASSERT_NE(gRender.boardSurface.pixels, nullptr);
    ASSERT_EQ(gRender.boardSurface.width, 780);
    composeClassicBoard(1000, currentBoardStatus());
    paintBoardFrame(currentBoardStatus());

    auto count = [](int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t pixel) {
        int32_t n = 0;
        for (int32_t y = y0; y < y1; ++y) {
            for (int32_t x = x0; x < x1; ++x) {
                n += (gRender.boardSurface.pixels[y * 780 + x] & 0xFFFFFF) == pixel ? 1 : 0;
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
            captionInk += (gRender.boardSurface.pixels[y * 780 + x] & 0xFFFFFF) != 0x34343A ? 1 : 0;
        }
    }
    EXPECT_GT(captionInk, 5);
    // The band itself and a lit dot of the connecting line.
    EXPECT_EQ(gRender.boardSurface.pixels[8 * 780 + 700] & 0xFFFFFF, 0x34343Au);
    bool whiteDot = false;
    for (int32_t c = 0; c < 256 && !whiteDot; ++c) {
        whiteDot =
            (gRender.boardSurface.pixels[(36 + 3 * 8 + 1) * 780 + 6 + 3 * c + 1] & 0xFFFFFF) == 0xF0F0F0;
    }
    EXPECT_TRUE(whiteDot);

    // A full paint with the same header copies the band back instead of
    // drawing its texts: the same picture over a surface of junk. A new
    // label is drawn, not copied.
    const size_t bytes = sizeof(uint32_t) * 780 * 138;
    const std::string first(reinterpret_cast<const char*>(gRender.boardSurface.pixels), bytes);
    std::memset(gRender.boardSurface.pixels, 0x5A, bytes);
    forceFullPaint();
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(std::memcmp(first.data(), gRender.boardSurface.pixels, bytes), 0);
    copyText(gDocuments.currentDocument.labelEn, u"Kyoto");
    forceFullPaint();
    paintBoardFrame(currentBoardStatus());
    EXPECT_NE(std::memcmp(first.data(), gRender.boardSurface.pixels, bytes), 0);
    copyText(gDocuments.currentDocument.labelEn, u"Tokyo");
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(std::memcmp(first.data(), gRender.boardSurface.pixels, bytes), 0);

    // The same picture through the BMP writer on Windows files.
    const std::u16string dir = makeScratchDirectory("render-gdi-bmp");
    const std::u16string path = joinPath(dir, u"header.bmp");
    ASSERT_EQ(writeSurfaceBmp(path.c_str(), gRender.boardSurface), 1);
    uint32_t size = 0;
    unsigned char* file = readWholeFile(path.c_str(), 1000000, &size);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(size, 430614u);
    // The top-left pixel of the picture is the first pixel of the last row.
    EXPECT_EQ(std::memcmp(file + 54 + 137 * 780 * 4, gRender.boardSurface.pixels, 780 * 4), 0);
    heapFree(file);
}
