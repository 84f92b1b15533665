// The new-style station sign: a fixed 400 x 79 unit canvas scaled by a whole
// number of pixels per unit and centred in the surface, with a light header
// (platform badge, line badge, direction in two languages, badges on the
// left or right), a grey body and a black LED panel whose 384 x 48 dots are
// copied from per-scale round-dot sprites. The header, body and housing are
// redrawn only when what they show changed (or a full paint was asked for);
// every paint composes the LEDs and copies the whole panel. Fonts come from
// the caches, so a steady paint creates none.
#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "render/newstyle.h"
#include "render/newstyle_canvas.h"
#include "render/pixelpatch.h"
#include "render/spritecells.h"

NewStyleState gNewStyle;
HeaderTexts gHeaderTexts;

// What the header and frame of the last full paint were drawn from. While
// it all stays the same, only the LED panel is drawn again: the rest of the
// surface already holds what a full paint would draw there. When only the
// header's own content changed (texts, side, line colour), the header strip
// and the frame are drawn again, but the background around the canvas is
// left as it is unless a text of the old header reached out over it.
struct NewStyleHeaderKey {
    uint32_t generation;  // gRender.surfaceGeneration of the full paint
    int32_t surfaceWidth;
    int32_t surfaceHeight;
    NewStyleView view;
    uint32_t backgroundColor;
    const HeaderTextSource* headerText;
    char16_t side;
    uint32_t color;
    char16_t platform[PLATFORM_CAPACITY];
    char16_t lineJp[LINE_JP_CAPACITY];
    char16_t lineEn[LINE_EN_CAPACITY];
    char16_t viaJp[VIA_JP_CAPACITY];
    char16_t viaEn[VIA_EN_CAPACITY];
};

// What the window's sign remembers of its last paints.
struct NewStyleSignPaint {
    NewStyleHeaderKey paintedHeader;  // what the last full paint drew from
    bool headerPainted;               // paintedHeader holds a full paint
    // The dots the LED panel on the surface shows, valid while nothing but
    // the blit has drawn there since; a blit then copies only the dot rows
    // that changed.
    NewStyleGrid presentedGrid;
    bool presentedGridValid;  // presentedGrid holds what the panel shows
    // The header as the last paint that drew its texts left it: the strip
    // (the canvas's top 19 units: bands, badges and texts) and as much
    // around it as the texts may have reached, and what it was drawn from
    // (headerStripKey). A full paint with the same header copies it back
    // instead of drawing the texts again. The texts are drawn on the strip
    // and, outside the canvas, on the background just filled, so the same
    // header always leaves the same pixels there; what reaches below the
    // strip on the canvas is painted over by the body and housing, drawn
    // again after the copy. Not kept when a text may have reached the LED
    // panel's rows. The block is reserved with the sprites for each scale;
    // new fonts forget it (forgetHeaderStrip).
    PixelPatch headerStrip;
    NewStyleHeaderKey headerStripKey;  // what headerStrip was drawn from
    bool headerStripOutsideCanvas;     // gHeaderTexts.headerTextOutsideCanvas when it was kept
};
static NewStyleSignPaint gSignPaint;

void forceNewStyleFullPaint() {
    gSignPaint.headerPainted = false;
}

// The surface (nothing re-created or drawn over it since), its size, the
// view and the background are those of the last full paint: everything
// outside the header strip is still in place.
static bool frameUnchanged() {
    const NewStyleHeaderKey& k = gSignPaint.paintedHeader;
    return gSignPaint.headerPainted && k.generation == gRender.surfaceGeneration &&
           k.surfaceWidth == gRender.boardSurface.width && k.surfaceHeight == gRender.boardSurface.height &&
           k.view.scale == gNewStyle.newStyleView.scale && k.view.originX == gNewStyle.newStyleView.originX &&
           k.view.originY == gNewStyle.newStyleView.originY &&
           k.backgroundColor == gSettings.settings.backgroundColor && k.headerText == gHeaderTexts.headerText;
}

// Everything the header strip's pixels are drawn from, whatever the surface
// generation and background.
static bool headerContentMatches(const NewStyleHeaderKey& k) {
    const BoardDocument& d = gDocuments.currentDocument;
    return k.view.scale == gNewStyle.newStyleView.scale && k.view.originX == gNewStyle.newStyleView.originX &&
           k.view.originY == gNewStyle.newStyleView.originY &&
           k.backgroundColor == gSettings.settings.backgroundColor &&
           k.headerText == gHeaderTexts.headerText && k.side == d.side && k.color == d.color &&
           textEquals(k.platform, d.platform) && textEquals(k.lineJp, d.lineJp) &&
           textEquals(k.lineEn, d.lineEn) && textEquals(k.viaJp, d.viaJp) && textEquals(k.viaEn, d.viaEn);
}

static bool headerUnchanged() {
    return frameUnchanged() && headerContentMatches(gSignPaint.paintedHeader);
}

static void rememberHeaderIn(NewStyleHeaderKey& k) {
    const BoardDocument& d = gDocuments.currentDocument;
    k.generation = gRender.surfaceGeneration;
    k.surfaceWidth = gRender.boardSurface.width;
    k.surfaceHeight = gRender.boardSurface.height;
    k.view = gNewStyle.newStyleView;
    k.backgroundColor = gSettings.settings.backgroundColor;
    k.headerText = gHeaderTexts.headerText;
    k.side = d.side;
    k.color = d.color;
    copyText(k.platform, d.platform);
    copyText(k.lineJp, d.lineJp);
    copyText(k.lineEn, d.lineEn);
    copyText(k.viaJp, d.viaJp);
    copyText(k.viaEn, d.viaEn);
}

static void rememberHeader() {
    rememberHeaderIn(gSignPaint.paintedHeader);
    gSignPaint.headerPainted = true;
}

// Canvas units around the header strip that gSignPaint.headerStrip has room
// for.
static constexpr int32_t HEADER_STRIP_MARGIN_UNITS = 8;

void forgetHeaderStrip() {
    gSignPaint.headerStrip.valid = false;
    forgetKeptTexts();
    forgetTextSizes();
}

// The paint installs the same source before every frame; only another
// source means the header must be drawn again.
void setHeaderTextSource(const HeaderTextSource* source) {
    if (source != gHeaderTexts.headerText) {
        gHeaderTexts.headerText = source;
        gSignPaint.headerPainted = false;
        // Texts from another source may look different.
        forgetHeaderStrip();
    }
}

// A drawing colour (0x00BBGGRR) from red, green and blue.
static constexpr uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) {
    return r | (g << 8) | (b << 16);
}

static constexpr uint32_t HEADER_STRIP = rgb(208, 211, 214);
static constexpr uint32_t TOP_HIGHLIGHT = rgb(222, 225, 227);
static constexpr uint32_t BADGE_FILL = rgb(255, 255, 255);
static constexpr uint32_t BADGE_OUTLINE = rgb(85, 85, 85);
static constexpr uint32_t PLATFORM_TEXT = rgb(0, 0, 0);
static constexpr uint32_t LINE_NAME_TEXT = rgb(17, 17, 17);
static constexpr uint32_t VIA_JP_TEXT = rgb(26, 26, 26);
static constexpr uint32_t VIA_EN_TEXT = rgb(58, 58, 58);
static constexpr uint32_t BODY = rgb(158, 162, 165);
static constexpr uint32_t LED_HOUSING = rgb(42, 42, 44);
static constexpr uint32_t LED_PANEL = rgb(5, 5, 5);

NewStyleView computeNewStyleView(int32_t surfaceWidth, int32_t surfaceHeight) {
    int32_t s = surfaceWidth / CANVAS_WIDTH;
    const int32_t byHeight = surfaceHeight / CANVAS_HEIGHT;
    if (byHeight < s) {
        s = byHeight;
    }
    if (s < 1) {
        s = 1;
    }
    NewStyleView view{};
    view.scale = s * 1000;
    view.originX = (surfaceWidth - CANVAS_WIDTH * s) / 2;
    view.originY = (surfaceHeight - CANVAS_HEIGHT * s) / 2;
    return view;
}

// Canvas units to pixels along one axis.
int32_t unitsToPixels(int32_t units) {
    return static_cast<int32_t>(static_cast<int64_t>(units) * gNewStyle.newStyleView.scale / 1000);
}

void drawCanvasBox(int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius, int32_t hasFill, uint32_t fill,
                   int32_t outlineWidth, uint32_t outline) {
    const NewStyleView& v = gNewStyle.newStyleView;
    const int32_t left = v.originX + unitsToPixels(x);
    const int32_t top = v.originY + unitsToPixels(y);
    // The extra pixel makes a box without outline cover exactly its units.
    const int32_t right = v.originX + unitsToPixels(x + w) + 1;
    const int32_t bottom = v.originY + unitsToPixels(y + h) + 1;
    const int32_t ellipse = static_cast<int32_t>(static_cast<int64_t>(radius) * v.scale * 2 / 1000);
    int32_t pen = 0;
    if (outlineWidth > 0) {
        pen = unitsToPixels(outlineWidth);
        if (pen < 1) {
            pen = 1;
        }
    }
    fillCanvasShape(left, top, right, bottom, ellipse, hasFill, fill, pen, outline);
}

void canvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t fill) {
    drawCanvasBox(x, y, w, h, 0, 1, fill, 0, 0);
}

// The document's 0x00RRGGBB line colour as a drawing colour.
static uint32_t lineColour() {
    const uint32_t c = gDocuments.currentDocument.color;
    return rgb((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

static bool gridCoversPanel(int32_t s);

static void drawHeaderStrip() {
    const BoardDocument& d = gDocuments.currentDocument;
    const bool right = d.side == u'R';
    const uint32_t line = lineColour();

    // Each box covers exactly its units, so the strip's three bands are
    // painted side by side rather than on top of each other.
    canvasFill(0, 0, 400, 6, TOP_HIGHLIGHT);
    canvasFill(0, 6, 400, 12, HEADER_STRIP);
    canvasFill(0, 18, 400, 1, line);

    drawCanvasBox(right ? 383 : 1, 2, 16, 15, 0, 1, BADGE_FILL, 1, BADGE_OUTLINE);

    beginHeaderTexts();
    drawCanvasText(d.platform, right ? 391 : 9, 10, 15, 1, 700, PLATFORM_TEXT, 15, ALIGN_CENTRE);
    // The line badge goes over whatever of the platform number reached it.
    placeCanvasFill(right ? 352 : 18, 3, 30, 13, line);

    const int32_t lineX = right ? 367 : 33;
    drawCanvasText(d.lineJp, lineX, 7, 6, 0, 700, LINE_NAME_TEXT, 28, ALIGN_CENTRE);
    drawCanvasText(d.lineEn, lineX, 13, 4, 1, 400, LINE_NAME_TEXT, 28, ALIGN_CENTRE);

    if (!right) {
        const int32_t a = drawCanvasText(d.viaJp, 51, 10, 10, 0, 700, VIA_JP_TEXT, 160, ALIGN_LEFT);
        int32_t e = a + 52;
        const int32_t b = drawCanvasText(u"方面", e, 12, 5, 0, 700, VIA_JP_TEXT, 20, ALIGN_LEFT);
        e = e + b + 10;
        drawCanvasText(d.viaEn, e, 10, 7, 1, 700, VIA_EN_TEXT, 396 - e, ALIGN_LEFT);
    } else {
        const int32_t b = drawCanvasText(u"方面", 349, 12, 5, 0, 700, VIA_JP_TEXT, 20, ALIGN_RIGHT);
        int32_t e = 382 - b - 34;
        const int32_t a = drawCanvasText(d.viaJp, e, 10, 10, 0, 700, VIA_JP_TEXT, 160, ALIGN_RIGHT);
        e = e - a - 10;
        drawCanvasText(d.viaEn, e, 10, 7, 1, 700, VIA_EN_TEXT, e - 4, ALIGN_RIGHT);
    }
    drawPlacedTexts();
}

// The body (0, 19, 400 x 60) around the housing (6, 20, 388 x 52) around the
// panel (8, 22, 384 x 48), each drawn as a frame around the next; the panel
// is left to the dot blit when that covers it. Drawn after the header's
// texts, so that a descender reaching below the strip is cut at the same
// line.
static void drawFrame() {
    canvasFill(0, 19, 400, 1, BODY);
    canvasFill(0, 72, 400, 7, BODY);
    canvasFill(0, 20, 6, 52, BODY);
    canvasFill(394, 20, 6, 52, BODY);
    canvasFill(6, 20, 388, 2, LED_HOUSING);
    canvasFill(6, 70, 388, 2, LED_HOUSING);
    canvasFill(6, 22, 2, 48, LED_HOUSING);
    canvasFill(392, 22, 2, 48, LED_HOUSING);
    if (!gridCoversPanel(gNewStyle.newStyleView.scale / 1000)) {
        canvasFill(8, 22, 384, 48, LED_PANEL);
    }
}

// The header strip and the frame below it: the strip copied back when the
// same header was drawn before, else drawn (and kept when it can be).
static void drawHeaderAndFrame() {
    if (gSignPaint.headerStrip.valid && headerContentMatches(gSignPaint.headerStripKey)) {
        flushBoardSurface();
        if (restorePixelPatch(gSignPaint.headerStrip)) {
            gHeaderTexts.headerTextOutsideCanvas = gSignPaint.headerStripOutsideCanvas;
            gHeaderTexts.headerReach[0] = gSignPaint.headerStrip.x;
            gHeaderTexts.headerReach[1] = gSignPaint.headerStrip.y;
            gHeaderTexts.headerReach[2] =
                static_cast<int64_t>(gSignPaint.headerStrip.x) + gSignPaint.headerStrip.w;
            gHeaderTexts.headerReach[3] =
                static_cast<int64_t>(gSignPaint.headerStrip.y) + gSignPaint.headerStrip.h;
            drawFrame();
            return;
        }
    }
    const int64_t s = gNewStyle.newStyleView.scale / 1000;
    const int64_t left = gNewStyle.newStyleView.originX;
    const int64_t top = gNewStyle.newStyleView.originY;
    gHeaderTexts.headerReach[0] = left;
    gHeaderTexts.headerReach[1] = top;
    gHeaderTexts.headerReach[2] = left + CANVAS_WIDTH * s;
    gHeaderTexts.headerReach[3] = top + HEADER_STRIP_UNITS * s;
    drawHeaderStrip();
    drawFrame();
    gSignPaint.headerStrip.valid = false;
    if (!gHeaderTexts.headerTextOverPanel) {
        // The reach held to the surface: nothing is drawn beyond it.
        const int64_t x0 = std::max<int64_t>(gHeaderTexts.headerReach[0], 0);
        const int64_t y0 = std::max<int64_t>(gHeaderTexts.headerReach[1], 0);
        const int64_t x1 = std::min<int64_t>(gHeaderTexts.headerReach[2], gRender.boardSurface.width);
        const int64_t y1 = std::min<int64_t>(gHeaderTexts.headerReach[3], gRender.boardSurface.height);
        // Nothing of the LED panel is kept: its dots are the blit's.
        if (x0 < x1 && y0 < y1 && y1 <= top + LED_TOP_UNIT * s) {
            flushBoardSurface();
            savePixelPatch(gSignPaint.headerStrip, static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                           static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0));
            rememberHeaderIn(gSignPaint.headerStripKey);
            gSignPaint.headerStripOutsideCanvas = gHeaderTexts.headerTextOutsideCanvas;
        }
    }
}

static void buildNewStyleSprites(int32_t s) {
    gSignPaint.presentedGridValid = false;
    heapFree(gNewStyle.newStyleSprites.pixels);
    gNewStyle.newStyleSprites.pixels = nullptr;
    gNewStyle.newStyleSprites.scale = 0;
    gNewStyle.newStyleSprites.mirrored = 0;
    const size_t count =
        static_cast<size_t>(NEW_STYLE_PALETTE_SIZE) * static_cast<size_t>(s) * static_cast<size_t>(s);
    auto* pixels = static_cast<uint32_t*>(heapAlloc(count * sizeof(uint32_t)));
    if (pixels == nullptr) {
        return;  // no dots until a later build succeeds
    }
    fillDotSprites(pixels, s, NEW_STYLE_PALETTE, NEW_STYLE_PALETTE_SIZE);
    gNewStyle.newStyleSprites.pixels = pixels;
    gNewStyle.newStyleSprites.scale = s;
    // Round dots are the same upside down; the blit then draws only the
    // upper half of each dot row and copies the rest.
    gNewStyle.newStyleSprites.mirrored = 1;
    for (int32_t v = 0; v < NEW_STYLE_PALETTE_SIZE; ++v) {
        for (int32_t py = 0; py < s / 2; ++py) {
            const uint32_t* sprite = pixels + v * s * s;
            if (std::memcmp(sprite + py * s, sprite + (s - 1 - py) * s,
                            static_cast<size_t>(s) * sizeof(uint32_t)) != 0) {
                gNewStyle.newStyleSprites.mirrored = 0;
            }
        }
    }
}

// Every dot is drawn, unlit ones included, whatever the classic board's
// unlit-dot setting says: the new-style panel always shows its dark discs.
// Only whole dots that fit the surface are drawn; the sign's panel always
// fits unless the surface is smaller than the canvas at one pixel a unit.
// A dot row is drawn in place on a surface that stays in the cache; when a
// streamed one is painted whole (nothing of the panel kept), it is drawn in
// a scratch block and streamed out, so that the surface is only written.
static void blitNewStyleGrid(int32_t s, bool panelKept) {
    const PixelSurface& surface = gRender.boardSurface;
    const int32_t x0 = gNewStyle.newStyleView.originX + LED_LEFT_UNIT * s;
    const int32_t y0 = gNewStyle.newStyleView.originY + LED_TOP_UNIT * s;
    if (gNewStyle.newStyleSprites.pixels == nullptr || x0 < 0 || y0 < 0) {
        return;
    }
    const int32_t columns = static_cast<int32_t>(
        std::min<int64_t>(NEW_STYLE_COLUMNS, (static_cast<int64_t>(surface.width) - x0) / s));
    if (columns <= 0) {
        return;
    }
    const size_t rowPixels = static_cast<size_t>(columns) * static_cast<size_t>(s);
    uint32_t* scratch = !panelKept && surfaceIsStreamed(surface.width, surface.height)
                            ? blitRowScratch(rowPixels * static_cast<size_t>(s))
                            : nullptr;
    const uint8_t* previousDots = nullptr;  // the dot row drawn just above, if any
    for (int32_t r = 0; r < NEW_STYLE_ROWS; ++r) {
        const int64_t top = static_cast<int64_t>(y0) + static_cast<int64_t>(r) * s;
        if (top + s > surface.height) {
            break;
        }
        const uint8_t* dots = gNewStyle.newStyleGrid.dots + r * NEW_STYLE_STRIDE;
        if (panelKept &&
            std::memcmp(dots, gSignPaint.presentedGrid.dots + r * NEW_STYLE_STRIDE, NEW_STYLE_COLUMNS) == 0) {
            previousDots = dots;
            continue;  // the surface already shows this row
        }
        uint32_t* rowOut = surface.pixels + top * surface.width + x0;
        // The row above was drawn a moment ago (and, when streaming, nothing
        // is kept, so it is the one the scratch block holds).
        const bool sameAsAbove =
            previousDots != nullptr && std::memcmp(dots, previousDots, static_cast<size_t>(columns)) == 0;
        previousDots = dots;
        blitPanelDotRow(rowOut, surface.width, scratch, rowPixels, s, gNewStyle.newStyleSprites.mirrored != 0,
                        sameAsAbove, [&](uint32_t* row, int32_t py) {
                            copySpriteCells(row, dots, 0, columns, gNewStyle.newStyleSprites.pixels + py * s,
                                            s, 1, NEW_STYLE_PALETTE_SIZE);
                        });
    }
    if (scratch != nullptr) {
        streamedPixelsDone();
    }
}

// Whether the blit above covers the whole LED panel, so that nothing needs
// to be painted under it.
static bool gridCoversPanel(int32_t s) {
    const int64_t x0 = static_cast<int64_t>(gNewStyle.newStyleView.originX) + LED_LEFT_UNIT * s;
    const int64_t y0 = static_cast<int64_t>(gNewStyle.newStyleView.originY) + LED_TOP_UNIT * s;
    return gNewStyle.newStyleSprites.pixels != nullptr && gNewStyle.newStyleSprites.scale == s && x0 >= 0 &&
           y0 >= 0 && x0 + static_cast<int64_t>(NEW_STYLE_COLUMNS) * s <= gRender.boardSurface.width &&
           y0 + static_cast<int64_t>(NEW_STYLE_ROWS) * s <= gRender.boardSurface.height;
}

// The background colour around the canvas. The canvas itself is covered by
// the header strip and the body, so it is not filled first unless it hangs
// over the surface's edges.
static void fillAroundCanvas(int32_t s) {
    const int32_t w = gRender.boardSurface.width;
    const int32_t h = gRender.boardSurface.height;
    const uint32_t colour = gSettings.settings.backgroundColor;
    const int32_t left = gNewStyle.newStyleView.originX;
    const int32_t top = gNewStyle.newStyleView.originY;
    const int32_t canvasW = CANVAS_WIDTH * s;
    const int32_t canvasH = CANVAS_HEIGHT * s;
    if (left < 0 || top < 0 || left + canvasW > w || top + canvasH > h) {
        fillBox(0, 0, w, h, colour);
        return;
    }
    fillOutsideBox(left, top, canvasW, canvasH, colour);
}

// The background again where the header on the surface may have inked
// outside the canvas (gHeaderTexts.headerReach); the rest of the background around the
// canvas was never drawn over since it was filled.
static void fillReachOutsideCanvas(int32_t s) {
    const int64_t w = gRender.boardSurface.width;
    const int64_t h = gRender.boardSurface.height;
    const int64_t left = gNewStyle.newStyleView.originX;
    const int64_t top = gNewStyle.newStyleView.originY;
    const int64_t right = left + static_cast<int64_t>(CANVAS_WIDTH) * s;
    const int64_t bottom = top + static_cast<int64_t>(CANVAS_HEIGHT) * s;
    if (left < 0 || top < 0 || right > w || bottom > h) {
        fillAroundCanvas(s);
        return;
    }
    const auto clamp = [](int64_t v, int64_t low, int64_t high) {
        return v < low ? low : (v > high ? high : v);
    };
    const int64_t x0 = clamp(gHeaderTexts.headerReach[0], 0, w);
    const int64_t y0 = clamp(gHeaderTexts.headerReach[1], 0, h);
    const int64_t x1 = clamp(gHeaderTexts.headerReach[2], x0, w);
    const int64_t y1 = clamp(gHeaderTexts.headerReach[3], y0, h);
    const auto fill = [](int64_t ax, int64_t ay, int64_t bx, int64_t by) {
        if (ax < bx && ay < by) {
            fillBox(static_cast<int32_t>(ax), static_cast<int32_t>(ay), static_cast<int32_t>(bx - ax),
                    static_cast<int32_t>(by - ay), gSettings.settings.backgroundColor);
        }
    };
    fill(x0, y0, x1, std::min(y1, top));
    fill(x0, std::max(y0, bottom), x1, y1);
    fill(x0, std::max(y0, top), std::min(x1, left), std::min(y1, bottom));
    fill(std::max(x0, right), std::max(y0, top), x1, std::min(y1, bottom));
}

void composeNewStyleBoardLeds(uint32_t now, const BoardStatus& status) {
    if (gNewStyle.fontSlotsReady == 0) {
        initFontSlots();
    }
    prepareNewStyleText();
    composeNewStyleLeds(now, status);
}

void composeNewStyleBoardAt(uint32_t now, const BoardStatus& status) {
    if (gNewStyle.fontSlotsReady == 0) {
        initFontSlots();
    }
    if (gRender.boardSurface.pixels == nullptr || gRender.boardSurface.width <= 0 ||
        gRender.boardSurface.height <= 0) {
        return;
    }
    gNewStyle.newStyleView = computeNewStyleView(gRender.boardSurface.width, gRender.boardSurface.height);
    const int32_t s = gNewStyle.newStyleView.scale / 1000;
    if (s != gNewStyle.newStyleSprites.scale || gNewStyle.newStyleSprites.pixels == nullptr) {
        buildNewStyleSprites(s);
        reservePixelPatch(gSignPaint.headerStrip,
                          static_cast<int64_t>(CANVAS_WIDTH + 2 * HEADER_STRIP_MARGIN_UNITS) * s *
                              (HEADER_STRIP_UNITS + 2 * HEADER_STRIP_MARGIN_UNITS) * s,
                          true);
        reserveKeptTexts(s);
    }
    const bool frameKept = frameUnchanged();
    gHeaderTexts.headerTextOverPanel = false;
    if (!headerUnchanged()) {
        if (!frameKept) {
            fillAroundCanvas(s);
        } else if (gHeaderTexts.headerTextOutsideCanvas) {
            fillReachOutsideCanvas(s);
        }
        gHeaderTexts.headerTextOutsideCanvas = false;
        drawHeaderAndFrame();
        rememberHeader();
    }
    prepareNewStyleText();
    composeNewStyleLeds(now, status);
    flushBoardSurface();
    blitNewStyleGrid(s, frameKept && gSignPaint.presentedGridValid && !gHeaderTexts.headerTextOverPanel);
    gSignPaint.presentedGridValid = gridCoversPanel(s);
    if (gSignPaint.presentedGridValid) {
        std::memcpy(gSignPaint.presentedGrid.dots, gNewStyle.newStyleGrid.dots,
                    sizeof gSignPaint.presentedGrid.dots);
    }
}

int32_t newStyleLedArea(int32_t* x, int32_t* y, int32_t* w, int32_t* h) {
    if (gRender.boardSurface.pixels == nullptr || !gSignPaint.headerPainted) {
        return 0;
    }
    // The view the next paint will use; the header must still be the one on
    // the surface.
    const NewStyleView saved = gNewStyle.newStyleView;
    gNewStyle.newStyleView = computeNewStyleView(gRender.boardSurface.width, gRender.boardSurface.height);
    const bool same = headerUnchanged();
    gNewStyle.newStyleView = saved;
    if (!same) {
        return 0;
    }
    const NewStyleView view = computeNewStyleView(gRender.boardSurface.width, gRender.boardSurface.height);
    const int32_t s = view.scale / 1000;
    *x = view.originX + LED_LEFT_UNIT * s;
    *y = view.originY + LED_TOP_UNIT * s;
    *w = NEW_STYLE_COLUMNS * s;
    *h = NEW_STYLE_ROWS * s;
    return 1;
}

void composeNewStyleBoard(const BoardStatus& status) {
    composeNewStyleBoardAt(tickCount(), status);
}
