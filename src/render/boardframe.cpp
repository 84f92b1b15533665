// The classic board's frame: the layout that fits the board into the client
// area with one integer dot pitch (centred, a dark housing around the LEDs, a
// header band above them), and the paint that composes the whole surface -
// background, housing, header with platform, label and captions, then the
// dots. The surface itself, the header fonts and the boxed text come from
// the platform's surface file.
#include "render/newstyle.h"
#include "render/render.h"

#include "render/bootscreen.h"
#include "render/pixelpatch.h"

// What the housing and header of the last full paint were drawn from. While
// none of it changes, a paint redraws only the LED panel: the rest of the
// surface already holds exactly what a full paint would put there. Anything
// that may have drawn over the surface by other means (a new layout, the
// boot screen, another kind of board) asks for a full paint through
// forceFullPaint, which invalidatePresentedFrame calls.
struct HeaderKey {
    char16_t platform[PLATFORM_CAPACITY];
    char16_t labelJp[LABEL_JP_CAPACITY];
    char16_t labelEn[LABEL_EN_CAPACITY];
    char16_t capTime[CAPTION_CAPACITY];
    char16_t capDest[CAPTION_CAPACITY];
    int32_t timeX;
    int32_t destX;
    int32_t width;
    int32_t rows;
    uint32_t backgroundColor;
    uint32_t generation;  // gRender.surfaceGeneration after the full paint
    int32_t surfaceWidth;
    int32_t surfaceHeight;
    BoardLayout layout;
};

// What the window's classic frame remembers of its last paints.
struct ClassicFramePaint {
    HeaderKey paintedHeader;  // what the last full paint drew the housing and header from
    bool fullPaintNeeded;     // the next paint redraws the whole surface
    // The header band's pixels as the last full paint that drew its texts
    // left them, and what they were drawn from (headerBandKey). A full paint
    // with the same header (after the boot screen, a new-style sign, a
    // settings reload or a forced repaint) copies the band back instead of
    // drawing its texts again. The block is reserved by layoutBoard, which is
    // also where the header fonts are made, so a saved band never outlives
    // its fonts.
    PixelPatch headerBand;
    HeaderKey headerBandKey;  // what headerBand was drawn from
};
static ClassicFramePaint gFramePaint = {{}, true, {}, {}};

void forceFullPaint() {
    gFramePaint.fullPaintNeeded = true;
    forceNewStyleFullPaint();
}

// Everything that decides the header's pixels: the key without the surface
// generation.
static bool headerContentMatches(const BoardDocument& d, const HeaderKey& k, int32_t width, int32_t rows) {
    const BoardLayout& l = gRender.boardLayout;
    return textEquals(k.platform, d.platform) && textEquals(k.labelJp, d.labelJp) &&
           textEquals(k.labelEn, d.labelEn) && textEquals(k.capTime, d.capTime) &&
           textEquals(k.capDest, d.capDest) && k.timeX == d.timeX && k.destX == d.destX && k.width == width &&
           k.rows == rows && k.backgroundColor == gSettings.settings.backgroundColor &&
           k.surfaceWidth == gRender.boardSurface.width && k.surfaceHeight == gRender.boardSurface.height &&
           k.layout.pitch == l.pitch && k.layout.housingLeft == l.housingLeft &&
           k.layout.housingTop == l.housingTop && k.layout.housingWidth == l.housingWidth &&
           k.layout.housingHeight == l.housingHeight && k.layout.ledLeft == l.ledLeft &&
           k.layout.headerTop == l.headerTop && k.layout.ledTop == l.ledTop;
}

static bool headerKeyMatches(const BoardDocument& d, const HeaderKey& k, int32_t width, int32_t rows) {
    return k.generation == gRender.surfaceGeneration && headerContentMatches(d, k, width, rows);
}

int32_t boardDotsArea(const BoardStatus& status, int32_t* x, int32_t* y, int32_t* w, int32_t* h) {
    const int32_t width = boardWidthDots();
    const int32_t rows = boardRowCount();
    const int32_t n = gRender.boardLayout.pitch;
    const BoardDocument& document = gDocuments.currentDocument;
    if (gRender.boardSurface.pixels != nullptr && !status.bootScreenActive && document.isNewStyle != 0) {
        return newStyleLedArea(x, y, w, h);
    }
    if (gRender.boardSurface.pixels == nullptr || status.bootScreenActive || document.isNewStyle != 0 ||
        n <= 0 || gFramePaint.fullPaintNeeded ||
        !headerKeyMatches(document, gFramePaint.paintedHeader, width, rows)) {
        return 0;
    }
    *x = gRender.boardLayout.ledLeft;
    *y = gRender.boardLayout.ledTop;
    *w = n * width;
    *h = n * rows * BOARD_ROW_DOTS;
    return 1;
}

static void rememberHeaderKey(const BoardDocument& d, HeaderKey& k, int32_t width, int32_t rows) {
    copyText(k.platform, d.platform);
    copyText(k.labelJp, d.labelJp);
    copyText(k.labelEn, d.labelEn);
    copyText(k.capTime, d.capTime);
    copyText(k.capDest, d.capDest);
    k.timeX = d.timeX;
    k.destX = d.destX;
    k.width = width;
    k.rows = rows;
    k.backgroundColor = gSettings.settings.backgroundColor;
    k.generation = gRender.surfaceGeneration;
    k.surfaceWidth = gRender.boardSurface.width;
    k.surfaceHeight = gRender.boardSurface.height;
    k.layout = gRender.boardLayout;
}

// COLORREF values (0x00BBGGRR) of the frame.
static constexpr uint32_t HOUSING_COLOUR = 0x1C1A1A;  // 26, 26, 28
static constexpr uint32_t HEADER_COLOUR = 0x3A3434;   // 52, 52, 58
static constexpr uint32_t LED_PANEL_COLOUR = 0x000000;
static constexpr uint32_t PLATFORM_SQUARE_COLOUR = 0xFAFAFA;
static constexpr uint32_t PLATFORM_TEXT_COLOUR = 0x000000;
static constexpr uint32_t LABEL_TEXT_COLOUR = 0xFFFFFF;
static constexpr uint32_t CAPTION_TEXT_COLOUR = 0xC8C8C8;

// Housing margins and header band, in dots.
static constexpr int32_t HOUSING_EXTRA_COLUMNS = 4;
static constexpr int32_t HOUSING_EXTRA_ROWS = 14;

// labelJp, one ideographic space and labelEn.
static constexpr int32_t HEADER_LABEL_CAPACITY = LABEL_JP_CAPACITY + 1 + LABEL_EN_CAPACITY;

BoardLayout computeBoardLayout(int32_t clientWidth, int32_t clientHeight, int32_t width, int32_t rows) {
    BoardLayout layout{};
    const int32_t a = width + HOUSING_EXTRA_COLUMNS;
    const int32_t b = rows * BOARD_ROW_DOTS + HOUSING_EXTRA_ROWS;
    const int32_t byWidth = clientWidth / a;
    const int32_t byHeight = clientHeight / b;
    int32_t n = byWidth < byHeight ? byWidth : byHeight;
    if (n <= 0) {
        n = 1;
    }
    layout.pitch = n;
    layout.housingWidth = n * a;
    layout.housingHeight = n * b;
    layout.housingLeft = (clientWidth - layout.housingWidth) / 2;
    layout.housingTop = (clientHeight - layout.housingHeight) / 2;
    layout.ledLeft = layout.housingLeft + 2 * n;
    layout.headerTop = layout.housingTop + 2 * n;
    layout.ledTop = layout.housingTop + 12 * n;
    return layout;
}

void resetLayoutPitch() {
    gRender.boardLayout.pitch = 0;
}

void layoutBoard(int32_t clientWidth, int32_t clientHeight) {
    if (clientWidth <= 0 || clientHeight <= 0) {
        return;
    }
    if (gRender.boardSurface.pixels == nullptr || clientWidth != gRender.boardSurface.width ||
        clientHeight != gRender.boardSurface.height) {
        if (resizeBoardSurface(clientWidth, clientHeight) == 0) {
            return;
        }
    }
    gFramePaint.fullPaintNeeded = true;
    ++gRender.surfaceGeneration;
    const BoardLayout layout =
        computeBoardLayout(clientWidth, clientHeight, boardWidthDots(), boardRowCount());
    const int32_t previousPitch = gRender.boardLayout.pitch;
    gRender.boardLayout = layout;
    if (layout.pitch != previousPitch || headerFontsReady() == 0) {
        createHeaderFonts(layout.pitch);
    }
    if (layout.pitch != gRender.dotSprites.pitch || gRender.dotSprites.pixels == nullptr) {
        buildDotSprites(layout.pitch);
    }
    reservePixelPatch(gFramePaint.headerBand,
                      static_cast<int64_t>(layout.pitch) * boardWidthDots() * 10 * layout.pitch, true);
}

// A caption over the LED columns from `from` up to `to` (exclusive), left-
// aligned and clipped to that box. The columns come from the document and
// may be any 32-bit value, so the box is worked out in 64 bits and held to
// the surface: its right edge stops at the surface's, and a box that ends
// left of the surface, or starts so far left that no caption could reach
// back onto it, draws nothing. Nothing visible changes by that.
static void drawCaption(const char16_t* text, int64_t from, int64_t to, int32_t n) {
    if (text[0] == 0) {
        return;
    }
    const BoardLayout& l = gRender.boardLayout;
    const int64_t left = l.ledLeft + n * from;
    int64_t right = l.ledLeft + n * to;
    if (right > gRender.boardSurface.width) {
        right = gRender.boardSurface.width;
    }
    // Four font heights per character is far more than any glyph is wide.
    const int64_t reach = static_cast<int64_t>(textLength(text)) * 4 * (3 * static_cast<int64_t>(n) + 6);
    if (left >= right || right <= 0 || left + reach <= 0) {
        return;
    }
    drawBoxText(HEADER_FONT_CAPTION, text, static_cast<int32_t>(left), l.headerTop + 6 * n,
                static_cast<int32_t>(right - left), 4 * n, CAPTION_TEXT_COLOUR, 0);
}

static void paintHeaderTexts(const BoardDocument& d, int32_t n, int32_t width) {
    const BoardLayout& l = gRender.boardLayout;
    int32_t x = l.ledLeft + n;
    if (d.platform[0] != 0) {
        fillBox(l.ledLeft + n, l.headerTop + n, 5 * n, 5 * n, PLATFORM_SQUARE_COLOUR);
        drawBoxText(HEADER_FONT_PLATFORM, d.platform, l.ledLeft + n, l.headerTop + n, 5 * n, 5 * n,
                    PLATFORM_TEXT_COLOUR, 1);
        x = l.ledLeft + 8 * n;
    }

    char16_t label[HEADER_LABEL_CAPACITY];
    copyText(label, d.labelJp);
    if (d.labelEn[0] != 0) {
        appendText(label, u"\u3000");
        appendText(label, d.labelEn);
    }
    drawBoxText(HEADER_FONT_LABEL, label, x, l.headerTop + n, l.ledLeft + n * width - x, 5 * n,
                LABEL_TEXT_COLOUR, 0);

    drawCaption(d.capTime, d.timeX, d.destX, n);
    drawCaption(d.capDest, d.destX, width, n);
}

// Whether every header text stays inside the header band, so that the band
// alone holds all the header drew: the captions' columns come from the
// document and may lie anywhere.
static bool headerTextsInsideBand(const BoardDocument& d, int32_t width) {
    const int64_t timeX = d.timeX;
    const int64_t destX = d.destX;
    const bool timeInside = d.capTime[0] == 0 || timeX >= destX || (timeX >= 0 && destX <= width);
    const bool destInside = d.capDest[0] == 0 || destX >= width || destX >= 0;
    return timeInside && destInside;
}

// The header band: copied back from the last one drawn when nothing it shows
// changed, else filled and its texts drawn (and saved when it can be).
static void paintHeader(const BoardDocument& d, int32_t n, int32_t width, int32_t rows) {
    const BoardLayout& l = gRender.boardLayout;
    if (gFramePaint.headerBand.valid && headerContentMatches(d, gFramePaint.headerBandKey, width, rows)) {
        flushBoardSurface();
        if (restorePixelPatch(gFramePaint.headerBand)) {
            return;
        }
    }
    fillBox(l.ledLeft, l.headerTop, n * width, 10 * n, HEADER_COLOUR);
    paintHeaderTexts(d, n, width);
    gFramePaint.headerBand.valid = false;
    if (headerTextsInsideBand(d, width)) {
        flushBoardSurface();
        savePixelPatch(gFramePaint.headerBand, l.ledLeft, l.headerTop, n * width, 10 * n);
        rememberHeaderKey(d, gFramePaint.headerBandKey, width, rows);
    }
}

// The housing as a frame around the header band and the LED panel, which
// lie one above the other and are painted by their own steps.
static void fillHousingFrame(int32_t n, int32_t width, int32_t rows) {
    const BoardLayout& l = gRender.boardLayout;
    const int32_t innerHeight = 10 * n + n * rows * BOARD_ROW_DOTS;
    const int32_t innerBottom = l.headerTop + innerHeight;
    const int32_t innerRight = l.ledLeft + n * width;
    fillBox(l.housingLeft, l.housingTop, l.housingWidth, l.headerTop - l.housingTop, HOUSING_COLOUR);
    fillBox(l.housingLeft, innerBottom, l.housingWidth, l.housingTop + l.housingHeight - innerBottom,
            HOUSING_COLOUR);
    fillBox(l.housingLeft, l.headerTop, l.ledLeft - l.housingLeft, innerHeight, HOUSING_COLOUR);
    fillBox(innerRight, l.headerTop, l.housingLeft + l.housingWidth - innerRight, innerHeight,
            HOUSING_COLOUR);
}

void paintBoardFrame(const BoardStatus& status) {
    if (gRender.boardSurface.pixels == nullptr) {
        return;
    }
    if (status.bootScreenActive) {
        drawBootScreen(status);
        ++gRender.surfaceGeneration;
        forceFullPaint();
        return;
    }
    const BoardDocument& document = gDocuments.currentDocument;
    if (document.isNewStyle != 0) {
        // The new-style sign has a composer of its own, which draws over
        // the whole surface.
        composeNewStyleBoard(status);
        gFramePaint.fullPaintNeeded = true;
        return;
    }
    const int32_t n = gRender.boardLayout.pitch;
    if (n <= 0 || gRender.dotSprites.pixels == nullptr) {
        return;
    }
    const int32_t width = boardWidthDots();
    const int32_t rows = boardRowCount();
    const BoardLayout& l = gRender.boardLayout;

    // Whatever this paint draws, a sign painted earlier is no longer on the
    // surface; the classic frame's own key takes the value after it.
    const bool keyMatches =
        !gFramePaint.fullPaintNeeded && headerKeyMatches(document, gFramePaint.paintedHeader, width, rows);
    ++gRender.surfaceGeneration;
    if (!keyMatches) {
        forceNewStyleFullPaint();
        fillOutsideBox(l.housingLeft, l.housingTop, l.housingWidth, l.housingHeight,
                       gSettings.settings.backgroundColor);
        fillHousingFrame(n, width, rows);
        paintHeader(document, n, width, rows);
        rememberHeaderKey(document, gFramePaint.paintedHeader, width, rows);
        gFramePaint.fullPaintNeeded = false;
    }
    gFramePaint.paintedHeader.generation = gRender.surfaceGeneration;
    // With unlit dots shown, the blit writes every pixel of the panel (the
    // sprites' corners are the panel's black), so the panel is not filled
    // first.
    const bool blitCoversPanel = gSettings.settings.showUnlitDots != 0 && gRender.dotSprites.pitch == n &&
                                 width <= DOT_COLUMNS && rows <= DOT_ROWS / BOARD_ROW_DOTS;
    if (!blitCoversPanel) {
        fillBox(l.ledLeft, l.ledTop, n * width, n * rows * BOARD_ROW_DOTS, LED_PANEL_COLOUR);
    }
    flushBoardSurface();
    if (keyMatches) {
        blitDotFrame(gRender.boardSurface, l.ledLeft, l.ledTop, n, width, rows,
                     gSettings.settings.showUnlitDots);
    } else {
        blitDotFrameStreamed(gRender.boardSurface, l.ledLeft, l.ledTop, n, width, rows,
                             gSettings.settings.showUnlitDots);
    }
}
