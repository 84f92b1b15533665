// The sign's boxes on Windows: rounded rectangles in the board surface's
// drawing context with the DC brush and, for outlines, one cached solid pen
// (re-created only when its width or colour changes, so painting makes no
// new GDI objects).
#include <windows.h>

#include "render/newstyle.h"

// The cached outline pen.
struct OutlinePen {
    HPEN outlinePen;            // the pen, null before the first outline
    int32_t outlinePenWidth;    // its width in pixels
    uint32_t outlinePenColour;  // its colour, 0x00BBGGRR
};
static OutlinePen gOutlinePen;

static HPEN penFor(int32_t width, uint32_t colour) {
    if (gOutlinePen.outlinePen != nullptr && gOutlinePen.outlinePenWidth == width &&
        gOutlinePen.outlinePenColour == colour) {
        return gOutlinePen.outlinePen;
    }
    HPEN pen = CreatePen(PS_SOLID, width, colour);
    if (pen == nullptr) {
        return static_cast<HPEN>(GetStockObject(NULL_PEN));
    }
    if (gOutlinePen.outlinePen != nullptr) {
        HDC surface = static_cast<HDC>(boardSurfaceContext());
        if (surface != nullptr) {
            SelectObject(surface, GetStockObject(NULL_PEN));
        }
        DeleteObject(gOutlinePen.outlinePen);
    }
    gOutlinePen.outlinePen = pen;
    gOutlinePen.outlinePenWidth = width;
    gOutlinePen.outlinePenColour = colour;
    return pen;
}

void fillCanvasShape(int32_t left, int32_t top, int32_t right, int32_t bottom, int32_t ellipse,
                     int32_t hasFill, uint32_t fill, int32_t penWidth, uint32_t outline) {
    HDC surface = static_cast<HDC>(boardSurfaceContext());
    if (surface == nullptr) {
        return;
    }
    if (ellipse <= 0 && penWidth <= 0) {
        // A plain box: GDI's rectangle without a pen leaves out the last
        // column and row, and the same box is filled directly.
        if (hasFill != 0) {
            fillBox(left, top, right - 1 - left, bottom - 1 - top, fill);
        }
        return;
    }
    if (hasFill != 0) {
        SetDCBrushColor(surface, fill);
        SelectObject(surface, GetStockObject(DC_BRUSH));
    } else {
        SelectObject(surface, GetStockObject(NULL_BRUSH));
    }
    SelectObject(surface, penWidth > 0 ? penFor(penWidth, outline) : GetStockObject(NULL_PEN));
    if (ellipse > 0) {
        RoundRect(surface, left, top, right, bottom, ellipse, ellipse);
    } else {
        Rectangle(surface, left, top, right, bottom);
    }
}
