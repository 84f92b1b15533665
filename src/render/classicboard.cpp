// The classic board's composition pass, run on every display tick: picks the
// language and blink phases from the tick, redraws every board row of a
// document into a dot frame, moves the scrolling row and lays the link
// status over the board. What carries over from one pass to the next (the
// text strip and the scroll run) is the composer's, which the caller holds:
// the window one for its panel (it then commits the frame, so that a board
// that did not change causes no repaint), the server's preview one per board.
#include <cstdint>
#include <cstring>

#include "base/blink.h"
#include "base/numbers.h"
#include "render/newstyle.h"

static constexpr char16_t CONNECTING_TEXT[] = u"サーバーに接続しています";
static constexpr char16_t STALE_TEXT[] = u"サーバーと通信できません";
static constexpr int32_t SERVER_LINE_CAPACITY = SERVER_CAPACITY + 16;

void forgetClassicScroll(ClassicComposer* composer) {
    composer->scrollRemembered = 0;
    composer->scrollText[0] = 0;
}

// "server:port" for the connecting line.
static void formatServerLine(char16_t* out, int32_t capacity) {
    copyText(out, capacity, gSettings.settings.server);
    appendText(out, capacity, u":");
    appendDecimal(out, capacity, gSettings.settings.port);
}

static bool englishPhase(const BoardDocument& document, uint32_t now) {
    // Any 32-bit value stands for both periods, so their sum is taken wide.
    const int64_t cycle = static_cast<int64_t>(document.jpMs) + document.enMs;
    if (cycle < 1) {
        return false;
    }
    const int64_t phase = now % static_cast<uint32_t>(cycle);
    return phase >= document.jpMs;
}

// The width of the box from column `from` up to column `to`. The columns
// come from the document and may be any 32-bit value, so the difference is
// taken in 64 bits; a box wider than the largest 32-bit value squeezes no
// text (none is nearly that wide), so holding it there changes no dot. A
// box of no width, like 0, squeezes nothing either.
static int32_t boxWidthBetween(int64_t from, int64_t to) {
    const int64_t width = to - from;
    if (width <= 0) {
        return 0;
    }
    return width > INT32_MAX ? INT32_MAX : static_cast<int32_t>(width);
}

// One pass's fixed inputs, so that the row functions take one argument for
// them.
struct ClassicPass {
    ClassicComposer* composer;      // the board's text strip and scroll run
    const BoardDocument* document;  // what the board shows
    const ClassicPanel* panel;      // where it is drawn
    uint32_t now;                   // the tick of this pass
    bool english;                   // the English phase of the alternation
    bool timesShowing;              // the blink phase: blinking times shown
};

static void drawTrainRow(const ClassicPass& pass, const ClassicLine& line, int32_t row) {
    const BoardDocument& document = *pass.document;
    const ClassicPanel& panel = *pass.panel;
    if (line.blink == 0 || pass.timesShowing) {
        rasteriseIntoPanel(panel, line.time, document.timeColor, document.timeX, row,
                           boxWidthBetween(document.timeX, document.destX), 0);
    }
    const uint8_t colour = line.color != 0 ? line.color : COLOR_ORANGE;
    const char16_t* text = pass.english && line.textEn[0] != 0 ? line.textEn : line.text;
    rasteriseIntoPanel(panel, text, colour, document.destX, row, boxWidthBetween(document.destX, panel.width),
                       0);
}

static void drawTextRow(const ClassicPass& pass, const ClassicLine& line, int32_t row) {
    ClassicComposer* composer = pass.composer;
    const int32_t width = pass.panel->width;
    const uint8_t colour = line.color != 0 ? line.color : COLOR_GREEN;
    const char16_t* text = pass.english && line.textEn[0] != 0 ? line.textEn : line.text;
    composer->textStripWidth = rasteriseMarkup(text, colour, &composer->textStrip, composer->textStripWidth);
    const int32_t shown = composer->textStripWidth < width ? composer->textStripWidth : width;
    placeTextStrip(*pass.panel, composer->textStrip, composer->textStripWidth, row,
                   line.centred != 0 ? (width - shown) / 2 : 0);
}

static void drawScrollRow(const ClassicPass& pass, const ClassicLine& line, int32_t row) {
    ClassicComposer* composer = pass.composer;
    const uint32_t now = pass.now;
    const int32_t width = pass.panel->width;
    if (composer->scrollRemembered == 0 || !textEquals(line.text, composer->scrollText) ||
        line.color != composer->scrollColour) {
        composer->scrollRemembered = 1;
        copyText(composer->scrollText, line.text);
        composer->scrollColour = line.color;
        composer->scrollWidth = rasteriseMarkup(line.text, line.color != 0 ? line.color : COLOR_GREEN,
                                                &composer->scrollStrip, TEXT_STRIP_WIDTH);
        composer->scrollStart = now;
    }
    const uint32_t speed = static_cast<uint32_t>(pass.document->scroll);
    const int32_t scrollWidth = composer->scrollWidth;
    int64_t u = width - static_cast<int64_t>((now - composer->scrollStart) * speed / 1000u);
    if (u + scrollWidth < 0) {
        // Wholly gone at the left edge: enter again from the right.
        composer->scrollStart = now;
        u = width;
    }
    uint8_t* frameRow = pass.panel->frame->dots + BOARD_ROW_DOTS * row * DOT_STRIDE;
    // Board columns k with 0 <= k - u < scrollWidth.
    const int64_t first = u > 0 ? u : 0;
    const int64_t end = u + scrollWidth < width ? u + scrollWidth : width;
    if (first >= end) {
        return;
    }
    for (int32_t j = 0; j < BOARD_ROW_DOTS; ++j) {
        std::memcpy(frameRow + j * DOT_STRIDE + first,
                    composer->scrollStrip.dots + j * TEXT_STRIP_WIDTH + (first - u),
                    static_cast<size_t>(end - first));
    }
}

// Sets the panel's active area (its width x rows * 16 dots) to unlit.
static void clearPanel(const ClassicPanel& panel) {
    if (panel.width <= 0 || panel.rows <= 0) {
        return;
    }
    for (int32_t r = 0; r < panel.rows * BOARD_ROW_DOTS; ++r) {
        std::memset(panel.frame->dots + r * DOT_STRIDE, 0, static_cast<size_t>(panel.width));
    }
}

// The link message a board shows before its first document: what it is
// doing and where it is connecting to.
static void drawConnecting(const ClassicPanel& panel) {
    rasteriseIntoPanel(panel, CONNECTING_TEXT, COLOR_WHITE, 0, 0, panel.width, 1);
    if (panel.rows >= 2) {
        char16_t line[SERVER_LINE_CAPACITY];
        formatServerLine(line, SERVER_LINE_CAPACITY);
        rasteriseIntoPanel(panel, line, COLOR_WHITE, 0, 1, panel.width, 1);
    }
}

void composeClassicDots(ClassicComposer* composer, const BoardDocument& document, uint32_t now,
                        const BoardStatus& status, const ClassicPanel& panel) {
    const int32_t width = panel.width;
    const int32_t rows = panel.rows;
    clearPanel(panel);

    if (status.serverOk == 0) {
        drawConnecting(panel);
        forgetClassicScroll(composer);
        return;
    }

    const ClassicPass pass = {
        composer, &document, &panel, now, englishPhase(document, now), blinkShowing(now, document.blinkMs)};
    bool scrollDrawn = false;
    for (int32_t i = 0; i < rows; ++i) {
        const ClassicLine& line = document.lines[i];
        if (line.kind == LINE_TRAIN) {
            drawTrainRow(pass, line, i);
        } else if (line.kind == LINE_TEXT) {
            drawTextRow(pass, line, i);
        } else if (line.kind == LINE_SCROLL && !scrollDrawn) {
            // Only the first scroll row moves; any later one stays dark.
            drawScrollRow(pass, line, i);
            scrollDrawn = true;
        }
    }

    if (rows > 0 && now - status.lastFetchOkTick > STALE_LINK_MS) {
        const int32_t last = rows - 1;
        for (int32_t j = 0; j < BOARD_ROW_DOTS; ++j) {
            std::memset(panel.frame->dots + (BOARD_ROW_DOTS * last + j) * DOT_STRIDE, 0,
                        static_cast<size_t>(width));
        }
        rasteriseIntoPanel(panel, STALE_TEXT, COLOR_RED, 0, last, width, 1);
    }

    if (!scrollDrawn) {
        // A scroll row that shows up later starts from the right edge.
        forgetClassicScroll(composer);
    }
}

// Everything a pass of a board without a scroll row draws from besides the
// drawn rows' lines: the document's classic fields, the phases the tick
// selects, the link state and the glyphs' generation. Two passes with equal
// inputs and equal lines draw the same dots.
struct ClassicPassInputs {
    int32_t width;            // the panel's columns
    int32_t rows;             // the panel's board rows
    int32_t timeX;            // the document's time column
    int32_t destX;            // the document's destination column
    int32_t jpMs;             // the document's Japanese phase
    int32_t enMs;             // the document's English phase
    int32_t blinkMs;          // the document's blink period
    int32_t timeColor;        // the document's time colour
    int32_t english;          // 1 in the English phase of the alternation
    int32_t timesShowing;     // 1 while blinking times show
    int32_t stale;            // 1 while the link-lost line replaces the last row
    uint32_t textGeneration;  // rasterisedTextGeneration of the glyphs
};

// The window panel's last composed pass.
struct ClassicLastPass {
    ClassicPassInputs inputs;               // its inputs
    ClassicLine lines[CLASSIC_LINE_COUNT];  // its drawn rows' lines
    bool known;                             // inputs and lines hold a keyed pass
};
static ClassicLastPass gLastPass;

// The drawn rows of the panel, held to the document's lines.
static int32_t drawnLineCount(const ClassicPanel& panel) {
    return panel.rows < CLASSIC_LINE_COUNT ? (panel.rows > 0 ? panel.rows : 0) : CLASSIC_LINE_COUNT;
}

// Fills the inputs of a pass at now; false when the pass must run whatever
// they are: before the first document (its link line follows the settings)
// and with a scroll row, which moves with the tick.
static bool passInputsOf(const BoardDocument& document, const ClassicPanel& panel, uint32_t now,
                         const BoardStatus& status, ClassicPassInputs* inputs) {
    if (status.serverOk == 0) {
        return false;
    }
    for (int32_t i = 0; i < drawnLineCount(panel); ++i) {
        if (document.lines[i].kind == LINE_SCROLL) {
            return false;
        }
    }
    inputs->width = panel.width;
    inputs->rows = panel.rows;
    inputs->timeX = document.timeX;
    inputs->destX = document.destX;
    inputs->jpMs = document.jpMs;
    inputs->enMs = document.enMs;
    inputs->blinkMs = document.blinkMs;
    inputs->timeColor = document.timeColor;
    inputs->english = englishPhase(document, now) ? 1 : 0;
    inputs->timesShowing = blinkShowing(now, document.blinkMs) ? 1 : 0;
    inputs->stale = panel.rows > 0 && now - status.lastFetchOkTick > STALE_LINK_MS ? 1 : 0;
    inputs->textGeneration = rasterisedTextGeneration();
    return true;
}

// The window's pass. A board whose inputs and lines are those of the last
// pass, and whose frame is still the one presented, would draw the very dots
// it shows: the pass is skipped and reports no change. That is every 30 ms
// tick of a board standing still, which then costs a few comparisons instead
// of drawing its texts again.
bool composeClassicBoard(uint32_t now, const BoardStatus& status) {
    const BoardDocument& document = gDocuments.currentDocument;
    const ClassicPanel panel = classicPanelOf(document, &gRender.dotFrame);
    const size_t linesSize = static_cast<size_t>(drawnLineCount(panel)) * sizeof(ClassicLine);
    ClassicPassInputs inputs;
    const bool keyed = passInputsOf(document, panel, now, status, &inputs);
    if (keyed && gLastPass.known && std::memcmp(&inputs, &gLastPass.inputs, sizeof(ClassicPassInputs)) == 0 &&
        std::memcmp(document.lines, gLastPass.lines, linesSize) == 0 &&
        dotFrameMatchesPresented(panel.width, panel.rows)) {
        return false;
    }
    composeClassicDots(&gPanelComposers.classic, document, now, status, panel);
    gLastPass.known = keyed;
    if (keyed) {
        gLastPass.inputs = inputs;
        std::memcpy(gLastPass.lines, document.lines, linesSize);
    }
    return commitDotFrame(panel.width, panel.rows);
}
