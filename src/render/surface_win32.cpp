// The board surface on Windows: a 32-bit top-down DIB section of the client
// size selected into a memory drawing context that lives for the run, the
// three header fonts, and the GDI side of the paint (fills and boxed text).
// The dot blit writes straight into the DIB's pixels.
#include <windows.h>

#include "platform/win32/dib.h"

#include "platform/win32/wide.h"
#include "render/render.h"
#include "render/spritecells.h"

// The surface's drawing context and what is selected into it.
struct SurfaceGdi {
    HDC surfaceDc;          // the memory drawing context, lives for the run
    HBITMAP surfaceBitmap;  // the DIB section of the client size selected into it
    HFONT headerFonts[3];   // the header fonts by HeaderFont
};
static SurfaceGdi gSurfaceGdi;

void* boardSurfaceContext() {
    return gSurfaceGdi.surfaceDc;
}

int32_t resizeBoardSurface(int32_t clientWidth, int32_t clientHeight) {
    if (gSurfaceGdi.surfaceDc == nullptr) {
        gSurfaceGdi.surfaceDc = CreateCompatibleDC(nullptr);
        if (gSurfaceGdi.surfaceDc == nullptr) {
            return 0;
        }
    }
    uint32_t* bits = nullptr;
    HBITMAP bitmap = createTopDownDib(gSurfaceGdi.surfaceDc, clientWidth, clientHeight, &bits);
    if (bitmap == nullptr) {
        return 0;
    }
    SelectObject(gSurfaceGdi.surfaceDc, bitmap);
    if (gSurfaceGdi.surfaceBitmap != nullptr) {
        DeleteObject(gSurfaceGdi.surfaceBitmap);
    }
    gSurfaceGdi.surfaceBitmap = bitmap;
    gRender.boardSurface.pixels = bits;
    gRender.boardSurface.width = clientWidth;
    gRender.boardSurface.height = clientHeight;
    ++gRender.surfaceGeneration;
    return 1;
}

static HFONT createHeaderFont(int32_t height, int32_t weight, uint8_t charset, const char16_t* face) {
    if (height < 6) {
        height = 6;
    }
    return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, asWide(face));
}

int32_t createHeaderFonts(int32_t n) {
    if (gSurfaceGdi.surfaceDc != nullptr) {
        // Nothing of ours may stay selected while it is deleted.
        SelectObject(gSurfaceGdi.surfaceDc, GetStockObject(SYSTEM_FONT));
    }
    for (HFONT& font : gSurfaceGdi.headerFonts) {
        if (font != nullptr) {
            DeleteObject(font);
            font = nullptr;
        }
    }
    gSurfaceGdi.headerFonts[HEADER_FONT_LABEL] =
        createHeaderFont(4 * n, FW_BOLD, SHIFTJIS_CHARSET, gSettings.settings.labelFontFace);
    gSurfaceGdi.headerFonts[HEADER_FONT_CAPTION] =
        createHeaderFont(3 * n, FW_NORMAL, SHIFTJIS_CHARSET, gSettings.settings.labelFontFace);
    gSurfaceGdi.headerFonts[HEADER_FONT_PLATFORM] = createHeaderFont(5 * n, FW_BOLD, ANSI_CHARSET, u"Arial");
    return headerFontsReady();
}

int32_t headerFontsReady() {
    return gSurfaceGdi.headerFonts[HEADER_FONT_LABEL] != nullptr ? 1 : 0;
}

void flushBoardSurface() {
    GdiFlush();
}

// Boxes are filled straight into the DIB's pixels, as the dot blit writes
// them: a GDI fill costs a call into the system per box, which is most of
// the cost of the small boxes a full paint draws. What GDI drew before is
// flushed first.
void fillBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    if (gSurfaceGdi.surfaceDc == nullptr) {
        return;
    }
    GdiFlush();
    fillSurfaceBox(gRender.boardSurface, x, y, w, h, colour);
}

void fillOutsideBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    if (gSurfaceGdi.surfaceDc == nullptr) {
        return;
    }
    GdiFlush();
    fillSurfaceOutsideBox(gRender.boardSurface, x, y, w, h, colour);
}

void drawBoxText(HeaderFont font, const char16_t* text, int32_t x, int32_t y, int32_t w, int32_t h,
                 uint32_t colour, int32_t centre) {
    if (gSurfaceGdi.surfaceDc == nullptr || text == nullptr || text[0] == 0 || font < 0 ||
        font > HEADER_FONT_PLATFORM || gSurfaceGdi.headerFonts[font] == nullptr) {
        return;
    }
    RECT box{x, y, x + w, y + h};
    SelectObject(gSurfaceGdi.surfaceDc, gSurfaceGdi.headerFonts[font]);
    SetTextColor(gSurfaceGdi.surfaceDc, colour);
    SetBkMode(gSurfaceGdi.surfaceDc, TRANSPARENT);
    DrawTextW(gSurfaceGdi.surfaceDc, asWide(text), -1, &box,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | (centre != 0 ? DT_CENTER : DT_LEFT));
}
