// The new-style station sign: a fixed 400 x 79 unit canvas scaled by a whole
// number of pixels per unit and centred in the surface, with a light header
// (platform badge, line badge, direction in two languages, badges on the
// left or right), a grey body and a black LED panel whose 384 x 48 dots are
// copied from per-scale round-dot sprites. The header, body and housing are
// redrawn only when what they show changed (or a full paint was asked for);
// every paint composes the LEDs and copies the whole panel. Fonts come from
// the caches, so a steady paint creates none.
#include <cstring>

#include "platform/platform.h"
#include "render/newstyle.h"

NewStyleView newStyleView;
NewStyleSprites newStyleSprites;

static const HeaderTextSource* headerText = nullptr;

// What the header and frame of the last full paint were drawn from. While
// it all stays the same, only the LED panel is drawn again: the rest of the
// surface already holds what a full paint would draw there.
struct NewStyleHeaderKey {
    const uint32_t* pixels;
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
static NewStyleHeaderKey paintedHeader;
static bool headerPainted = false;

void forceNewStyleFullPaint() {
    headerPainted = false;
}

static bool headerUnchanged() {
    const NewStyleHeaderKey& k = paintedHeader;
    const BoardDocument& d = currentDocument;
    return headerPainted && k.pixels == boardSurface.pixels && k.surfaceWidth == boardSurface.width &&
           k.surfaceHeight == boardSurface.height && k.view.scale == newStyleView.scale &&
           k.view.originX == newStyleView.originX && k.view.originY == newStyleView.originY &&
           k.backgroundColor == settings.backgroundColor && k.headerText == headerText && k.side == d.side &&
           k.color == d.color && textEquals(k.platform, d.platform) && textEquals(k.lineJp, d.lineJp) &&
           textEquals(k.lineEn, d.lineEn) && textEquals(k.viaJp, d.viaJp) && textEquals(k.viaEn, d.viaEn);
}

static void rememberHeader() {
    NewStyleHeaderKey& k = paintedHeader;
    const BoardDocument& d = currentDocument;
    k.pixels = boardSurface.pixels;
    k.surfaceWidth = boardSurface.width;
    k.surfaceHeight = boardSurface.height;
    k.view = newStyleView;
    k.backgroundColor = settings.backgroundColor;
    k.headerText = headerText;
    k.side = d.side;
    k.color = d.color;
    copyText(k.platform, d.platform);
    copyText(k.lineJp, d.lineJp);
    copyText(k.lineEn, d.lineEn);
    copyText(k.viaJp, d.viaJp);
    copyText(k.viaEn, d.viaEn);
    headerPainted = true;
}

// The paint installs the same source before every frame; only another
// source means the header must be drawn again.
void setHeaderTextSource(const HeaderTextSource* source) {
    if (source != headerText) {
        headerText = source;
        headerPainted = false;
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

static constexpr int32_t LED_LEFT_UNIT = 8;
static constexpr int32_t LED_TOP_UNIT = 22;

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
static int32_t unitsToPixels(int32_t units) {
    return static_cast<int32_t>(static_cast<int64_t>(units) * newStyleView.scale / 1000);
}

void drawCanvasBox(int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius, int32_t hasFill, uint32_t fill,
                   int32_t outlineWidth, uint32_t outline) {
    const NewStyleView& v = newStyleView;
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

static void canvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t fill) {
    drawCanvasBox(x, y, w, h, 0, 1, fill, 0, 0);
}

// One line of header text; returns its width in canvas units so that the
// caller can chain texts. A text wider than maxWidth is drawn with a
// narrower font, measured again at most twice, so it can stay a little
// wider than asked.
int32_t drawCanvasText(const char16_t* text, int32_t x, int32_t y, int32_t height, int32_t slot,
                       int32_t weight, uint32_t colour, int32_t maxWidth, int32_t align) {
    const NewStyleView& v = newStyleView;
    const int32_t h = unitsToPixels(height);
    if (text == nullptr || text[0] == 0 || h <= 3 || headerText == nullptr) {
        return 0;
    }
    const int32_t length = textLength(text);
    int32_t average = 0;
    int32_t cellHeight = 0;
    if (headerText->select(slot, h, 0, weight, &average, &cellHeight) == 0) {
        return 0;
    }
    int32_t w = headerText->measure(text, length);
    const int32_t m = unitsToPixels(maxWidth);
    if (m > 0 && m < w) {
        int32_t a = average;
        for (int32_t attempt = 0; attempt < 2 && m < w; ++attempt) {
            a = static_cast<int32_t>(static_cast<int64_t>(m) * a / w);
            if (a < 1) {
                a = 1;
            }
            if (headerText->select(slot, h, a, weight, &average, &cellHeight) == 0) {
                return 0;
            }
            w = headerText->measure(text, length);
        }
    }
    int32_t px = v.originX + unitsToPixels(x);
    if (align == ALIGN_CENTRE) {
        px -= w / 2;
    } else if (align == ALIGN_RIGHT) {
        px -= w;
    }
    const int32_t py = v.originY + unitsToPixels(y) - cellHeight / 2;
    headerText->draw(text, length, px, py, colour);
    return static_cast<int32_t>(static_cast<int64_t>(w) * 1000 / v.scale);
}

// The document's 0x00RRGGBB line colour as a drawing colour.
static uint32_t lineColour() {
    const uint32_t c = currentDocument.color;
    return rgb((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

static void drawHeaderAndFrame() {
    const BoardDocument& d = currentDocument;
    const bool right = d.side == u'R';
    const uint32_t line = lineColour();

    canvasFill(0, 0, 400, 19, HEADER_STRIP);
    canvasFill(0, 0, 400, 6, TOP_HIGHLIGHT);
    canvasFill(0, 18, 400, 1, line);

    drawCanvasBox(right ? 383 : 1, 2, 16, 15, 0, 1, BADGE_FILL, 1, BADGE_OUTLINE);
    drawCanvasText(d.platform, right ? 391 : 9, 10, 15, 1, 700, PLATFORM_TEXT, 15, ALIGN_CENTRE);

    canvasFill(right ? 352 : 18, 3, 30, 13, line);
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

    canvasFill(0, 19, 400, 60, BODY);
    canvasFill(6, 20, 388, 52, LED_HOUSING);
    canvasFill(8, 22, 384, 48, LED_PANEL);
}

static void buildNewStyleSprites(int32_t s) {
    if (newStyleSprites.pixels != nullptr) {
        heapFree(newStyleSprites.pixels);
        newStyleSprites.pixels = nullptr;
    }
    newStyleSprites.scale = 0;
    const size_t count =
        static_cast<size_t>(NEW_STYLE_PALETTE_SIZE) * static_cast<size_t>(s) * static_cast<size_t>(s);
    auto* pixels = static_cast<uint32_t*>(heapAlloc(count * sizeof(uint32_t)));
    if (pixels == nullptr) {
        return;  // no dots until a later build succeeds
    }
    fillDotSprites(pixels, s, NEW_STYLE_PALETTE, NEW_STYLE_PALETTE_SIZE);
    newStyleSprites.pixels = pixels;
    newStyleSprites.scale = s;
}

// Every dot is drawn, unlit ones included, whatever the classic board's
// unlit-dot setting says: the new-style panel always shows its dark discs.
static void blitNewStyleGrid(int32_t s) {
    const PixelSurface& surface = boardSurface;
    const int32_t x0 = newStyleView.originX + LED_LEFT_UNIT * s;
    const int32_t y0 = newStyleView.originY + LED_TOP_UNIT * s;
    if (newStyleSprites.pixels == nullptr || x0 < 0 || y0 < 0) {
        return;
    }
    const int32_t cell = s * s;
    for (int32_t r = 0; r < NEW_STYLE_ROWS; ++r) {
        const int64_t top = static_cast<int64_t>(y0) + static_cast<int64_t>(r) * s;
        if (top + s > surface.height) {
            break;
        }
        const uint8_t* dots = newStyleGrid.dots + r * NEW_STYLE_STRIDE;
        for (int32_t c = 0; c < NEW_STYLE_COLUMNS; ++c) {
            const int64_t left = static_cast<int64_t>(x0) + static_cast<int64_t>(c) * s;
            if (left + s > surface.width) {
                break;
            }
            uint8_t v = dots[c];
            if (v >= NEW_STYLE_PALETTE_SIZE) {
                v = 0;
            }
            const uint32_t* sprite = newStyleSprites.pixels + v * cell;
            for (int32_t py = 0; py < s; ++py) {
                uint32_t* out = surface.pixels + (top + py) * surface.width + left;
                const uint32_t* in = sprite + py * s;
                if (s >= 8) {
                    std::memcpy(out, in, static_cast<size_t>(s) * sizeof(uint32_t));
                } else {
                    for (int32_t px = 0; px < s; ++px) {
                        out[px] = in[px];
                    }
                }
            }
        }
    }
}

void composeNewStyleBoardLeds(uint32_t now) {
    if (fontSlotsReady == 0) {
        initFontSlots();
    }
    prepareNewStyleText();
    composeNewStyleLeds(now);
}

void composeNewStyleBoardAt(uint32_t now) {
    if (fontSlotsReady == 0) {
        initFontSlots();
    }
    if (boardSurface.pixels == nullptr || boardSurface.width <= 0 || boardSurface.height <= 0) {
        return;
    }
    newStyleView = computeNewStyleView(boardSurface.width, boardSurface.height);
    const int32_t s = newStyleView.scale / 1000;
    if (s != newStyleSprites.scale || newStyleSprites.pixels == nullptr) {
        buildNewStyleSprites(s);
    }
    if (!headerUnchanged()) {
        fillBox(0, 0, boardSurface.width, boardSurface.height, settings.backgroundColor);
        drawHeaderAndFrame();
        rememberHeader();
    }
    prepareNewStyleText();
    composeNewStyleLeds(now);
    flushBoardSurface();
    blitNewStyleGrid(s);
}

int32_t newStyleLedArea(int32_t* x, int32_t* y, int32_t* w, int32_t* h) {
    if (boardSurface.pixels == nullptr || !headerPainted) {
        return 0;
    }
    // The view the next paint will use; the header must still be the one on
    // the surface.
    const NewStyleView saved = newStyleView;
    newStyleView = computeNewStyleView(boardSurface.width, boardSurface.height);
    const bool same = headerUnchanged();
    newStyleView = saved;
    if (!same) {
        return 0;
    }
    const NewStyleView view = computeNewStyleView(boardSurface.width, boardSurface.height);
    const int32_t s = view.scale / 1000;
    *x = view.originX + LED_LEFT_UNIT * s;
    *y = view.originY + LED_TOP_UNIT * s;
    *w = NEW_STYLE_COLUMNS * s;
    *h = NEW_STYLE_ROWS * s;
    return 1;
}

void composeNewStyleBoard() {
    composeNewStyleBoardAt(tickCount());
}
