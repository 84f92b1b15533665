// The GDI side of the new-style sign's text: the installed-face test behind
// the language font slots, the LED and header font caches, LedTextScratch
// (a 2048 x 32 DIB section drawn white on black without anti-aliasing, then
// sampled into dots) and the anti-aliased header text drawn straight into
// the board surface.
#include <windows.h>

#include "platform/win32/dib.h"

#include "platform/win32/wide.h"
#include "render/newstyle.h"

// ---------------------------------------------------------------------------
// Font slots

static int CALLBACK onFamilyFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<int32_t*>(found) = 1;
    return 0;  // one report is enough
}

// A face counts as installed when the system enumerates at least one family
// of that name in any character set.
int32_t isFaceInstalled(const char16_t* face) {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return 0;
    }
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    char16_t name[LF_FACESIZE];
    copyText(name, face);
    for (int32_t i = 0; i < LF_FACESIZE; ++i) {
        query.lfFaceName[i] = static_cast<wchar_t>(name[i]);
    }
    int32_t found = 0;
    EnumFontFamiliesExW(screen, &query, onFamilyFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    return found;
}

void initFontSlots() {
    if (gNewStyle.fontSlotsReady != 0) {
        return;
    }
    fillFontSlots(isFaceInstalled);
}

// ---------------------------------------------------------------------------
// LedTextScratch

struct LedTextScratch {
    HDC ledDc;            // the memory drawing context, null before the first LED text
    HBITMAP ledBitmap;    // the 2048 x 32 DIB section selected into it
    uint32_t* ledPixels;  // its pixels
};
static LedTextScratch gLedScratch;

static int32_t createLedScratch() {
    if (gLedScratch.ledPixels != nullptr) {
        return 1;
    }
    if (gLedScratch.ledDc == nullptr) {
        gLedScratch.ledDc = CreateCompatibleDC(nullptr);
        if (gLedScratch.ledDc == nullptr) {
            return 0;
        }
    }
    uint32_t* bits = nullptr;
    gLedScratch.ledBitmap = createTopDownDib(gLedScratch.ledDc, LED_SCRATCH_WIDTH, LED_SCRATCH_HEIGHT, &bits);
    if (gLedScratch.ledBitmap == nullptr) {
        return 0;
    }
    SelectObject(gLedScratch.ledDc, gLedScratch.ledBitmap);
    SetTextColor(gLedScratch.ledDc, RGB(255, 255, 255));
    SetBkColor(gLedScratch.ledDc, RGB(0, 0, 0));
    SetBkMode(gLedScratch.ledDc, OPAQUE);
    SetTextAlign(gLedScratch.ledDc, TA_LEFT | TA_BASELINE);
    gLedScratch.ledPixels = bits;
    return 1;
}

// ---------------------------------------------------------------------------
// Font caches

struct FontCaches {
    CachedFont ledFontCache[LED_FONT_CACHE_SIZE];        // LedFontCache
    int32_t ledFontNext;                                 // its entry the next new font replaces
    CachedFont headerFontCache[HEADER_FONT_CACHE_SIZE];  // HeaderFontCache
    int32_t headerFontNext;                              // its entry the next new font replaces
};
static FontCaches gFontCaches;

static HFONT createSlotFont(int32_t slot, int32_t height, int32_t width, int32_t weight, DWORD quality) {
    if (slot < 0 || slot >= FONT_SLOT_COUNT) {
        slot = 0;
    }
    return CreateFontW(-height, width, 0, 0, weight, FALSE, FALSE, FALSE, gNewStyle.fontSlots[slot].charset,
                       OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, quality, VARIABLE_PITCH | FF_SWISS,
                       asWide(gNewStyle.fontSlots[slot].face));
}

static void* createLedFontObject(int32_t slot, int32_t height, int32_t, int32_t weight) {
    return createSlotFont(slot, height, 0, weight, NONANTIALIASED_QUALITY);
}

// A font may still be selected into the scratch: the stock font takes its
// place before it goes.
static void releaseLedFont(void* font) {
    if (gLedScratch.ledDc != nullptr) {
        SelectObject(gLedScratch.ledDc, GetStockObject(SYSTEM_FONT));
    }
    DeleteObject(static_cast<HFONT>(font));
}

static void* createHeaderFontObject(int32_t slot, int32_t height, int32_t width, int32_t weight) {
    return createSlotFont(slot, height, width, weight, ANTIALIASED_QUALITY);
}

static void releaseHeaderFont(void* font) {
    HDC surface = static_cast<HDC>(boardSurfaceContext());
    if (surface != nullptr) {
        SelectObject(surface, GetStockObject(SYSTEM_FONT));
    }
    DeleteObject(static_cast<HFONT>(font));
}

static const FontCacheFunctions LED_FONT_FUNCTIONS = {createLedFontObject, releaseLedFont};
static const FontCacheFunctions HEADER_FONT_FUNCTIONS = {createHeaderFontObject, releaseHeaderFont};

void* ledFont(int32_t slot, int32_t height, int32_t weight) {
    return cachedFont(gFontCaches.ledFontCache, LED_FONT_CACHE_SIZE, &gFontCaches.ledFontNext, slot, height,
                      0, weight, LED_FONT_FUNCTIONS);
}

void* headerFont(int32_t slot, int32_t height, int32_t width, int32_t weight) {
    return cachedFont(gFontCaches.headerFontCache, HEADER_FONT_CACHE_SIZE, &gFontCaches.headerFontNext, slot,
                      height, width, weight, HEADER_FONT_FUNCTIONS);
}

// ---------------------------------------------------------------------------
// Text sources

static int32_t measureLedText(const char16_t* text, int32_t length, int32_t slot, int32_t height,
                              int32_t weight) {
    HFONT font = static_cast<HFONT>(ledFont(slot, height, weight));
    if (font == nullptr || gLedScratch.ledDc == nullptr) {
        return 0;
    }
    SelectObject(gLedScratch.ledDc, font);
    SIZE size{};
    if (!GetTextExtentPoint32W(gLedScratch.ledDc, asWide(text), length, &size)) {
        return 0;
    }
    return size.cx;
}

static void drawLedGlyphs(const char16_t* text, int32_t length, int32_t cx, int32_t cell, int32_t baselineY) {
    const RECT box{0, 0, cx, cell};
    ExtTextOutW(gLedScratch.ledDc, 0, baselineY, ETO_OPAQUE | ETO_CLIPPED, &box, asWide(text),
                static_cast<UINT>(length), nullptr);
    GdiFlush();
}

static LedGlyphSource gdiLedGlyphs = {measureLedText, drawLedGlyphs, nullptr};

static int32_t selectHeaderFont(int32_t slot, int32_t height, int32_t width, int32_t weight,
                                int32_t* averageWidth, int32_t* cellHeight) {
    HDC surface = static_cast<HDC>(boardSurfaceContext());
    HFONT font = static_cast<HFONT>(headerFont(slot, height, width, weight));
    if (surface == nullptr || font == nullptr) {
        return 0;
    }
    SelectObject(surface, font);
    TEXTMETRICW metrics{};
    if (!GetTextMetricsW(surface, &metrics)) {
        return 0;
    }
    *averageWidth = metrics.tmAveCharWidth;
    *cellHeight = metrics.tmAscent + metrics.tmDescent;
    return 1;
}

static int32_t measureHeaderText(const char16_t* text, int32_t length) {
    SIZE size{};
    if (!GetTextExtentPoint32W(static_cast<HDC>(boardSurfaceContext()), asWide(text), length, &size)) {
        return 0;
    }
    return size.cx;
}

static void drawHeaderText(const char16_t* text, int32_t length, int32_t x, int32_t y, uint32_t colour) {
    HDC surface = static_cast<HDC>(boardSurfaceContext());
    SetBkMode(surface, TRANSPARENT);
    SetTextColor(surface, colour);
    SetTextAlign(surface, TA_LEFT | TA_TOP);
    TextOutW(surface, x, y, asWide(text), length);
}

static const HeaderTextSource gdiHeaderText = {selectHeaderFont, measureHeaderText, drawHeaderText};

int32_t prepareNewStyleText() {
    setHeaderTextSource(&gdiHeaderText);
    if (createLedScratch() == 0) {
        return 0;
    }
    gdiLedGlyphs.scratch = gLedScratch.ledPixels;
    setLedGlyphSource(&gdiLedGlyphs);
    return 1;
}
