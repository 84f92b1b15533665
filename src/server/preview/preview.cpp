// What a board shows at a moment, for the operator's page: the board's
// current document, read by the board's own reader and composed by the
// board's own composition code at the moment asked for. That code keeps its
// state in static records (one document at a time), so previews are made one
// at a time; the only state a board carries between previews is where its
// scrolling text is, kept here per board so that each board's scroll runs on
// its own as on the platform.
#include "server/preview/preview.h"

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "documents/documents.h"
#include "render/newstyle.h"
#include "render/render.h"

namespace {

std::mutex sourceLock;
PreviewDocumentSource documentSource;

// Held for the whole of a preview: the render core's records are shared.
std::mutex previewLock;

// One board's scroll run: the text it was started for and its start tick.
struct ScrollRun {
    std::u16string text;
    uint8_t colour = 0;
    bool newStyle = false;
    uint32_t start = 0;
};
std::map<int, ScrollRun> scrollRuns;

BoardDocument parsedDocument;
TextStrip measureStrip;
int32_t measureStripWidth = TEXT_STRIP_WIDTH;

// The new-style sign's scroll text: its font, strip and default speed, for
// measuring how long one run of a text lasts.
constexpr int32_t SIGN_SCROLL_HEIGHT = 17;
constexpr int32_t SIGN_SCROLL_WEIGHT = 700;
constexpr int32_t SIGN_SCROLL_CELL = 22;
constexpr int32_t SIGN_SCROLL_STRIP_WIDTH = 4096;
constexpr int32_t SIGN_DEFAULT_SCROLL_SPEED = 40;
uint8_t signMeasureStrip[SIGN_SCROLL_CELL * SIGN_SCROLL_STRIP_WIDTH];

// A scroll run ends, and the board starts the text again at the right edge,
// once the text has moved past the panel's width plus its own. The run is
// kept in step with the moment asked for, so a board previewed now and then
// shows its text where the board has it.
void followScrollRun(ScrollRun* run, uint32_t tick, int64_t panelWidth, int64_t textWidth, int64_t speed) {
    if (speed < 1) {
        return;
    }
    const int64_t length = ((panelWidth + textWidth + 1) * 1000 + speed - 1) / speed;
    const uint32_t elapsed = tick - run->start;
    if (length > 0 && elapsed >= length) {
        run->start += static_cast<uint32_t>(elapsed / length * length);
    }
}

// The scroll run of this board for this text, restarted when the text or its
// colour changed.
ScrollRun* scrollRunFor(int number, const char16_t* text, uint8_t colour, bool newStyle, uint32_t tick) {
    ScrollRun& run = scrollRuns[number];
    if (run.text != text || run.colour != colour || run.newStyle != newStyle) {
        run.text = text;
        run.colour = colour;
        run.newStyle = newStyle;
        run.start = tick;
    }
    return &run;
}

// One composition pass at a tick, as a board whose document has just
// arrived: the link is fine, so no link message covers the panel.
template <typename Pass>
void composeAt(uint32_t tick, Pass pass) {
    BoardStatus status = {};
    status.serverOk = 1;
    status.lastFetchOkTick = tick;
    status.fetchAttempts = 1;
    status.localAddress = u"";
    pass(tick, status);
}

void composeClassic(int number, uint32_t tick) {
    const int32_t rows = boardRowCount();
    int32_t scrollRow = -1;
    for (int32_t i = 0; i < rows && scrollRow < 0; ++i) {
        if (currentDocument.lines[i].kind == LINE_SCROLL) {
            scrollRow = i;
        }
    }
    if (scrollRow < 0) {
        scrollRuns.erase(number);
        composeAt(tick, composeClassicBoard);
        return;
    }
    const ClassicLine& line = currentDocument.lines[scrollRow];
    measureStripWidth = rasteriseMarkup(line.text, COLOR_GREEN, &measureStrip, measureStripWidth);
    ScrollRun* run = scrollRunFor(number, line.text, line.color, false, tick);
    followScrollRun(run, tick, boardWidthDots(), measureStripWidth, currentDocument.scroll);

    // The composition keeps one scroll run; it is set to this board's by a
    // pass without scroll rows (which forgets the run) and a pass at the
    // run's start (which begins it there).
    uint8_t kinds[CLASSIC_LINE_COUNT];
    for (int32_t i = 0; i < CLASSIC_LINE_COUNT; ++i) {
        kinds[i] = currentDocument.lines[i].kind;
        if (kinds[i] == LINE_SCROLL) {
            currentDocument.lines[i].kind = LINE_EMPTY;
        }
    }
    composeAt(tick, composeClassicBoard);
    for (int32_t i = 0; i < CLASSIC_LINE_COUNT; ++i) {
        currentDocument.lines[i].kind = kinds[i];
    }
    composeAt(run->start, composeClassicBoard);
    composeAt(tick, composeClassicBoard);
}

void composeNewStyle(int number, uint32_t tick) {
    const NewStyleMessage& msg = currentDocument.msg;
    resetNewStyleScroll();
    if (msg.kind != MSG_SCROLL) {
        scrollRuns.erase(number);
        composeAt(tick, composeNewStyleLeds);
        return;
    }
    std::memset(signMeasureStrip, 0, sizeof signMeasureStrip);
    const int32_t width =
        drawLedText(msg.scrollText, LANGUAGE_JAPANESE, SIGN_SCROLL_HEIGHT, SIGN_SCROLL_WEIGHT,
                    SIGN_SCROLL_CELL, signMeasureStrip, SIGN_SCROLL_STRIP_WIDTH, SIGN_SCROLL_STRIP_WIDTH,
                    SIGN_SCROLL_CELL, 0, 0, LED_GREEN, 0, 0);
    ScrollRun* run = scrollRunFor(number, msg.scrollText, 0, true, tick);
    const int64_t speed = currentDocument.scroll > 0 ? currentDocument.scroll : SIGN_DEFAULT_SCROLL_SPEED;
    followScrollRun(run, tick, NEW_STYLE_COLUMNS, width, speed);
    composeAt(run->start, composeNewStyleLeds);
    composeAt(tick, composeNewStyleLeds);
}

void copyDots(const uint8_t* grid, int32_t stride, int32_t width, int32_t height, const uint32_t* palette,
              int32_t paletteSize, PreviewDots& out) {
    out.width = width;
    out.height = height;
    out.dots.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) {
        std::memcpy(out.dots.data() + static_cast<size_t>(y) * static_cast<size_t>(width),
                    grid + static_cast<size_t>(y) * static_cast<size_t>(stride), static_cast<size_t>(width));
    }
    for (int32_t k = 0; k < 16; ++k) {
        out.palette[k] = k < paletteSize ? palette[k] : 0;
    }
}

}  // namespace

void setPreviewDocumentSource(PreviewDocumentSource source) {
    std::lock_guard<std::mutex> hold(sourceLock);
    documentSource = std::move(source);
}

int64_t previewClockMs(const ServerClock& clock) {
    if (clock.startInstant == 0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    return clock.startInstant * 1000 + (monotonicMs() - clock.startMonotonicMs);
}

bool renderBoardPreview(int number, int64_t nowMs, PreviewDots& out) {
    PreviewDocumentSource source;
    {
        std::lock_guard<std::mutex> hold(sourceLock);
        source = documentSource;
    }
    std::string body;
    if (!source || !source(number, &body) || body.empty() ||
        body.size() > static_cast<size_t>(DOCUMENT_BODY_CAPACITY)) {
        return false;
    }

    std::lock_guard<std::mutex> hold(previewLock);
    {
        std::lock_guard<std::mutex> reading(boardReaderLock);
        if (parseDisplayDocument(reinterpret_cast<const unsigned char*>(body.data()),
                                 static_cast<int32_t>(body.size()), &parsedDocument) != 1) {
            return false;
        }
    }
    installPreviewGlyphs();
    std::memcpy(&currentDocument, &parsedDocument, sizeof(BoardDocument));
    // The board's tick is the server's clock in ms.
    const uint32_t tick = static_cast<uint32_t>(nowMs);

    if (currentDocument.isNewStyle != 0) {
        composeNewStyle(number, tick);
        copyDots(newStyleGrid.dots, NEW_STYLE_STRIDE, NEW_STYLE_COLUMNS, NEW_STYLE_ROWS, NEW_STYLE_PALETTE,
                 NEW_STYLE_PALETTE_SIZE, out);
    } else {
        composeClassic(number, tick);
        copyDots(dotFrame.dots, DOT_STRIDE, boardWidthDots(), boardRowCount() * BOARD_ROW_DOTS,
                 CLASSIC_PALETTE, PALETTE_SIZE, out);
    }
    return true;
}
