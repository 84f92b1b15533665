// The glyph source of the Windows build: TextScratch, a 4096 x 16 32-bit
// top-down DIB section in its own memory drawing context, and the two LED
// fonts made from the settings' face. Text is drawn white on black, opaque
// and without anti-aliasing; the rasteriser then reads the pixels directly.
#include <windows.h>

#include "platform/win32/dib.h"

#include "platform/win32/wide.h"
#include "render/render.h"

// TextScratch and the two LED fonts.
struct TextScratch {
    HDC scratchDc;            // the memory drawing context, null before createTextScratch
    HBITMAP scratchBitmap;    // the DIB section selected into it
    uint32_t* scratchPixels;  // its pixels
    HFONT ledFont;            // the normal LED font
    HFONT ledSmallFont;       // the small LED font, null when it could not be made
    int32_t selectedSmall;    // which of the two is selected: 0 normal, 1 small
};
static TextScratch gTextScratch;

static constexpr int32_t LED_FONT_HEIGHT = 16;
static constexpr int32_t LED_SMALL_FONT_HEIGHT = 11;

static void selectLedFont(int32_t smallFont) {
    if (smallFont != gTextScratch.selectedSmall) {
        SelectObject(gTextScratch.scratchDc, smallFont != 0 && gTextScratch.ledSmallFont != nullptr
                                                 ? gTextScratch.ledSmallFont
                                                 : gTextScratch.ledFont);
        gTextScratch.selectedSmall = smallFont;
    }
}

static int32_t measureGdi(const char16_t* text, int32_t length, int32_t smallFont) {
    selectLedFont(smallFont);
    SIZE size{};
    if (!GetTextExtentPoint32W(gTextScratch.scratchDc, asWide(text), length, &size)) {
        return 0;
    }
    return size.cx;
}

static void drawGdi(const char16_t* text, int32_t length, int32_t cx, int32_t offsetY, int32_t smallFont) {
    selectLedFont(smallFont);
    const RECT box{0, 0, cx, TEXT_SCRATCH_HEIGHT};
    ExtTextOutW(gTextScratch.scratchDc, 0, offsetY, ETO_OPAQUE | ETO_CLIPPED, &box, asWide(text),
                static_cast<UINT>(length), nullptr);
    GdiFlush();
}

static GlyphSource gdiGlyphs = {measureGdi, drawGdi, nullptr};

static HFONT createLedFont(int32_t height) {
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, FIXED_PITCH | FF_MODERN,
                       asWide(gSettings.settings.fontFace));
}

void createLedFonts() {
    HFONT font = createLedFont(LED_FONT_HEIGHT);
    if (font == nullptr) {
        return;  // the old fonts stay
    }
    if (gTextScratch.scratchDc != nullptr) {
        SelectObject(gTextScratch.scratchDc, font);
    }
    gTextScratch.selectedSmall = 0;
    if (gTextScratch.ledFont != nullptr) {
        DeleteObject(gTextScratch.ledFont);
    }
    if (gTextScratch.ledSmallFont != nullptr) {
        DeleteObject(gTextScratch.ledSmallFont);
    }
    gTextScratch.ledFont = font;
    gTextScratch.ledSmallFont = createLedFont(LED_SMALL_FONT_HEIGHT);
    // Texts drawn so far were drawn in the old fonts.
    forgetRasterisedText();
}

int32_t createTextScratch() {
    if (gTextScratch.scratchDc == nullptr) {
        gTextScratch.scratchDc = CreateCompatibleDC(nullptr);
        if (gTextScratch.scratchDc == nullptr) {
            return 0;
        }
        uint32_t* bits = nullptr;
        gTextScratch.scratchBitmap =
            createTopDownDib(gTextScratch.scratchDc, TEXT_SCRATCH_WIDTH, TEXT_SCRATCH_HEIGHT, &bits);
        if (gTextScratch.scratchBitmap == nullptr) {
            return 0;
        }
        SelectObject(gTextScratch.scratchDc, gTextScratch.scratchBitmap);
        gTextScratch.scratchPixels = bits;
        SetTextColor(gTextScratch.scratchDc, RGB(255, 255, 255));
        SetBkColor(gTextScratch.scratchDc, RGB(0, 0, 0));
        SetBkMode(gTextScratch.scratchDc, OPAQUE);
        SetTextAlign(gTextScratch.scratchDc, TA_LEFT | TA_TOP);
    }
    if (gTextScratch.ledFont == nullptr) {
        createLedFonts();
    } else {
        SelectObject(gTextScratch.scratchDc, gTextScratch.ledFont);
        gTextScratch.selectedSmall = 0;
    }
    if (gTextScratch.ledFont == nullptr) {
        return 0;
    }
    gdiGlyphs.scratch = gTextScratch.scratchPixels;
    setGlyphSource(&gdiGlyphs);
    return 1;
}
