// The glyph source of the Windows build: TextScratch, a 4096 x 16 32-bit
// top-down DIB section in its own memory drawing context, and the two LED
// fonts made from the settings' face. Text is drawn white on black, opaque
// and without anti-aliasing; the rasteriser then reads the pixels directly.
#include <windows.h>

#include "platform/win32/dib.h"

#include "platform/win32/wide.h"
#include "render/render.h"

static HDC scratchDc = nullptr;
static HBITMAP scratchBitmap = nullptr;
static uint32_t* scratchPixels = nullptr;
static HFONT ledFont = nullptr;
static HFONT ledSmallFont = nullptr;
static int32_t selectedSmall = 0;

static constexpr int32_t LED_FONT_HEIGHT = 16;
static constexpr int32_t LED_SMALL_FONT_HEIGHT = 11;

static void selectLedFont(int32_t smallFont) {
    if (smallFont != selectedSmall) {
        SelectObject(scratchDc, smallFont != 0 && ledSmallFont != nullptr ? ledSmallFont : ledFont);
        selectedSmall = smallFont;
    }
}

static int32_t measureGdi(const char16_t* text, int32_t length, int32_t smallFont) {
    selectLedFont(smallFont);
    SIZE size{};
    if (!GetTextExtentPoint32W(scratchDc, asWide(text), length, &size)) {
        return 0;
    }
    return size.cx;
}

static void drawGdi(const char16_t* text, int32_t length, int32_t cx, int32_t offsetY, int32_t smallFont) {
    selectLedFont(smallFont);
    const RECT box{0, 0, cx, TEXT_SCRATCH_HEIGHT};
    ExtTextOutW(scratchDc, 0, offsetY, ETO_OPAQUE | ETO_CLIPPED, &box, asWide(text),
                static_cast<UINT>(length), nullptr);
    GdiFlush();
}

static GlyphSource gdiGlyphs = {measureGdi, drawGdi, nullptr};

static HFONT createLedFont(int32_t height) {
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, FIXED_PITCH | FF_MODERN,
                       asWide(settings.fontFace));
}

void createLedFonts() {
    HFONT font = createLedFont(LED_FONT_HEIGHT);
    if (font == nullptr) {
        return;  // the old fonts stay
    }
    if (scratchDc != nullptr) {
        SelectObject(scratchDc, font);
    }
    selectedSmall = 0;
    if (ledFont != nullptr) {
        DeleteObject(ledFont);
    }
    if (ledSmallFont != nullptr) {
        DeleteObject(ledSmallFont);
    }
    ledFont = font;
    ledSmallFont = createLedFont(LED_SMALL_FONT_HEIGHT);
    // Texts drawn so far were drawn in the old fonts.
    forgetRasterisedText();
}

int32_t createTextScratch() {
    if (scratchDc == nullptr) {
        scratchDc = CreateCompatibleDC(nullptr);
        if (scratchDc == nullptr) {
            return 0;
        }
        uint32_t* bits = nullptr;
        scratchBitmap = createTopDownDib(scratchDc, TEXT_SCRATCH_WIDTH, TEXT_SCRATCH_HEIGHT, &bits);
        if (scratchBitmap == nullptr) {
            return 0;
        }
        SelectObject(scratchDc, scratchBitmap);
        scratchPixels = bits;
        SetTextColor(scratchDc, RGB(255, 255, 255));
        SetBkColor(scratchDc, RGB(0, 0, 0));
        SetBkMode(scratchDc, OPAQUE);
        SetTextAlign(scratchDc, TA_LEFT | TA_TOP);
    }
    if (ledFont == nullptr) {
        createLedFonts();
    } else {
        SelectObject(scratchDc, ledFont);
        selectedSmall = 0;
    }
    if (ledFont == nullptr) {
        return 0;
    }
    gdiGlyphs.scratch = scratchPixels;
    setGlyphSource(&gdiGlyphs);
    return 1;
}
