// The classic board's composition pass, run on every display tick: picks the
// language and blink phases from the tick, redraws every board row of
// currentDocument into the DotFrame, moves the scrolling row, lays the link
// status over the board, and commits the frame so that a board that did not
// change causes no repaint.
#include <cstdint>
#include <cstring>

#include "base/blink.h"
#include "base/numbers.h"
#include "render/render.h"

// One strip shared by all text rows, and the width its contents use (only
// that much is cleared before the next text).
static TextStrip textStrip;
static int32_t textStripWidth = 0;

// The scroll run: the rendered text, where the run started and what it was
// rendered from, so that an unchanged scroll row keeps moving smoothly.
static TextStrip scrollStrip;
static int32_t scrollWidth = 0;
static uint32_t scrollStart = 0;
static char16_t scrollText[CLASSIC_TEXT_CAPACITY];
static uint8_t scrollColour = 0;
static bool scrollRemembered = false;

static constexpr char16_t CONNECTING_TEXT[] = u"サーバーに接続しています";
static constexpr char16_t STALE_TEXT[] = u"サーバーと通信できません";
static constexpr int32_t SERVER_LINE_CAPACITY = SERVER_CAPACITY + 16;

static void forgetScrollText() {
    scrollRemembered = false;
    scrollText[0] = 0;
}

// "server:port" for the connecting line.
static void formatServerLine(char16_t* out, int32_t capacity) {
    copyText(out, capacity, settings.server);
    appendText(out, capacity, u":");
    appendDecimal(out, capacity, settings.port);
}

static bool englishPhase(uint32_t now) {
    // Any 32-bit value stands for both periods, so their sum is taken wide.
    const int64_t cycle = static_cast<int64_t>(currentDocument.jpMs) + currentDocument.enMs;
    if (cycle < 1) {
        return false;
    }
    const int64_t phase = now % static_cast<uint32_t>(cycle);
    return phase >= currentDocument.jpMs;
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

static void drawTrainRow(const ClassicLine& line, int32_t row, bool english, bool timeShowing,
                         int32_t width) {
    if (line.blink == 0 || timeShowing) {
        rasteriseIntoFrame(line.time, currentDocument.timeColor, currentDocument.timeX, row,
                           boxWidthBetween(currentDocument.timeX, currentDocument.destX), 0);
    }
    const uint8_t colour = line.color != 0 ? line.color : COLOR_ORANGE;
    const char16_t* text = english && line.textEn[0] != 0 ? line.textEn : line.text;
    rasteriseIntoFrame(text, colour, currentDocument.destX, row,
                       boxWidthBetween(currentDocument.destX, width), 0);
}

static void drawTextRow(const ClassicLine& line, int32_t row, bool english, int32_t width) {
    const uint8_t colour = line.color != 0 ? line.color : COLOR_GREEN;
    const char16_t* text = english && line.textEn[0] != 0 ? line.textEn : line.text;
    textStripWidth = rasteriseMarkup(text, colour, &textStrip, textStripWidth);
    const int32_t shown = textStripWidth < width ? textStripWidth : width;
    placeTextStrip(textStrip, textStripWidth, row, line.centred != 0 ? (width - shown) / 2 : 0);
}

static void drawScrollRow(const ClassicLine& line, int32_t row, uint32_t now, int32_t width) {
    if (!scrollRemembered || !textEquals(line.text, scrollText) || line.color != scrollColour) {
        scrollRemembered = true;
        copyText(scrollText, line.text);
        scrollColour = line.color;
        scrollWidth = rasteriseMarkup(line.text, line.color != 0 ? line.color : COLOR_GREEN, &scrollStrip,
                                      TEXT_STRIP_WIDTH);
        scrollStart = now;
    }
    const uint32_t speed = static_cast<uint32_t>(currentDocument.scroll);
    int64_t u = width - static_cast<int64_t>((now - scrollStart) * speed / 1000u);
    if (u + scrollWidth < 0) {
        // Wholly gone at the left edge: enter again from the right.
        scrollStart = now;
        u = width;
    }
    uint8_t* frameRow = dotFrame.dots + BOARD_ROW_DOTS * row * DOT_STRIDE;
    // Board columns k with 0 <= k - u < scrollWidth.
    const int64_t first = u > 0 ? u : 0;
    const int64_t end = u + scrollWidth < width ? u + scrollWidth : width;
    if (first >= end) {
        return;
    }
    for (int32_t j = 0; j < BOARD_ROW_DOTS; ++j) {
        std::memcpy(frameRow + j * DOT_STRIDE + first, scrollStrip.dots + j * TEXT_STRIP_WIDTH + (first - u),
                    static_cast<size_t>(end - first));
    }
}

bool composeClassicBoard(uint32_t now, const BoardStatus& status) {
    const int32_t width = boardWidthDots();
    const int32_t rows = boardRowCount();
    const bool english = englishPhase(now);
    const bool timesShowing = blinkShowing(now, currentDocument.blinkMs);

    clearDotFrameActiveArea(width, rows);

    if (status.serverOk == 0) {
        rasteriseIntoFrame(CONNECTING_TEXT, COLOR_WHITE, 0, 0, width, 1);
        if (rows >= 2) {
            char16_t line[SERVER_LINE_CAPACITY];
            formatServerLine(line, SERVER_LINE_CAPACITY);
            rasteriseIntoFrame(line, COLOR_WHITE, 0, 1, width, 1);
        }
        forgetScrollText();
        return commitDotFrame(width, rows);
    }

    bool scrollDrawn = false;
    for (int32_t i = 0; i < rows; ++i) {
        const ClassicLine& line = currentDocument.lines[i];
        if (line.kind == LINE_TRAIN) {
            drawTrainRow(line, i, english, timesShowing, width);
        } else if (line.kind == LINE_TEXT) {
            drawTextRow(line, i, english, width);
        } else if (line.kind == LINE_SCROLL && !scrollDrawn) {
            // Only the first scroll row moves; any later one stays dark.
            drawScrollRow(line, i, now, width);
            scrollDrawn = true;
        }
    }

    if (rows > 0 && now - status.lastFetchOkTick > STALE_LINK_MS) {
        const int32_t last = rows - 1;
        for (int32_t j = 0; j < BOARD_ROW_DOTS; ++j) {
            std::memset(dotFrame.dots + (BOARD_ROW_DOTS * last + j) * DOT_STRIDE, 0,
                        static_cast<size_t>(width));
        }
        rasteriseIntoFrame(STALE_TEXT, COLOR_RED, 0, last, width, 1);
    }

    if (!scrollDrawn) {
        // A scroll row that shows up later starts from the right edge.
        forgetScrollText();
    }
    return commitDotFrame(width, rows);
}
