// What a board shows at a moment, for the operator's page: the board's
// current document, read by the board's own reader and composed by the
// board's own composition code at the moment asked for. Each board has its
// own composers, so its scrolling text runs on its own as on the platform;
// the glyph ink caches and the new-style LED grid are shared, so previews
// are still made one at a time.
#include "server/preview/preview.h"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "documents/documents.h"
#include "render/newstyle.h"
#include "render/render.h"

namespace {

std::mutex sourceLock;
PreviewDocumentSource documentSource;

// Held for the whole of a preview: the glyph sources, their ink caches and
// the new-style LED grid are shared by every board.
std::mutex previewLock;

// One board's composers: the classic panel's and the new-style sign's (a
// board may switch between the two formats).
struct BoardPreview {
    ClassicComposer classic;    // the classic panel's text strip and scroll run
    NewStyleComposer newStyle;  // the new-style sign's scroll run
};
std::map<int, std::unique_ptr<BoardPreview>> boardPreviews;

// The dots of the classic panel being previewed, copied out at once.
DotFrame classicFrame;

BoardDocument parsedDocument;

// A scroll run ends, and the board starts the text again at the right edge,
// once the text has moved past the panel's width plus its own. The run is
// kept in step with the moment asked for, so a board previewed now and then
// shows its text where the board has it; the composition then goes on from
// the run's start as the board's own does.
void followScrollRun(uint32_t* start, uint32_t tick, int64_t panelWidth, int64_t textWidth, int64_t speed) {
    if (speed < 1) {
        return;
    }
    const int64_t length = ((panelWidth + textWidth + 1) * 1000 + speed - 1) / speed;
    const uint32_t elapsed = tick - *start;
    if (length > 0 && elapsed >= length) {
        *start += static_cast<uint32_t>(elapsed / length * length);
    }
}

// The status of a board whose document has just arrived: the link is fine,
// so no link message covers the panel.
BoardStatus previewStatus(uint32_t tick) {
    BoardStatus status = {};
    status.serverOk = 1;
    status.lastFetchOkTick = tick;
    status.fetchAttempts = 1;
    status.localAddress = u"";
    return status;
}

// The first scroll row a classic document shows, or nothing.
const ClassicLine* firstScrollRow(const BoardDocument& document) {
    const int32_t rows = panelRowCount(document);
    for (int32_t i = 0; i < rows; ++i) {
        if (document.lines[i].kind == LINE_SCROLL) {
            return &document.lines[i];
        }
    }
    return nullptr;
}

void composeClassic(BoardPreview* board, const BoardDocument& document, uint32_t tick) {
    ClassicComposer* composer = &board->classic;
    const ClassicLine* line = firstScrollRow(document);
    if (line != nullptr && composer->scrollRemembered != 0 && textEquals(composer->scrollText, line->text) &&
        composer->scrollColour == line->color) {
        followScrollRun(&composer->scrollStart, tick, panelWidthDots(document), composer->scrollWidth,
                        document.scroll);
    }
    forgetNewStyleScroll(&board->newStyle);
    composeClassicDots(composer, document, tick, previewStatus(tick),
                       classicPanelOf(document, &classicFrame));
}

void composeNewStyle(BoardPreview* board, const BoardDocument& document, uint32_t tick) {
    NewStyleComposer* composer = &board->newStyle;
    const NewStyleMessage& msg = document.msg;
    if (msg.kind == MSG_SCROLL && composer->scrollValid != 0 &&
        textEquals(composer->scrollText, msg.scrollText)) {
        const int64_t speed = document.scroll > 0 ? document.scroll : NEW_STYLE_DEFAULT_SCROLL_SPEED;
        followScrollRun(&composer->scrollStart, tick, NEW_STYLE_COLUMNS, composer->scrollWidth, speed);
    }
    forgetClassicScroll(&board->classic);
    composeNewStyleDots(composer, document, tick, previewStatus(tick));
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
    std::unique_ptr<BoardPreview>& board = boardPreviews[number];
    if (!board) {
        // Zeroed: no scroll run yet.
        board = std::make_unique<BoardPreview>();
    }
    // The board's tick is the server's clock in ms.
    const uint32_t tick = static_cast<uint32_t>(nowMs);
    const BoardDocument& document = parsedDocument;
    if (document.isNewStyle != 0) {
        composeNewStyle(board.get(), document, tick);
        copyDots(gNewStyle.newStyleGrid.dots, NEW_STYLE_STRIDE, NEW_STYLE_COLUMNS, NEW_STYLE_ROWS,
                 NEW_STYLE_PALETTE, NEW_STYLE_PALETTE_SIZE, out);
    } else {
        composeClassic(board.get(), document, tick);
        copyDots(classicFrame.dots, DOT_STRIDE, panelWidthDots(document),
                 panelRowCount(document) * BOARD_ROW_DOTS, CLASSIC_PALETTE, PALETTE_SIZE, out);
    }
    return true;
}
