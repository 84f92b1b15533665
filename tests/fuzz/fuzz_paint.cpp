// Fuzz entry for the whole picture: a document of either format, as the
// server may send it, composed and painted into a surface of a size taken
// from the input, at the ticks where what the board shows turns over - the
// language alternation and cycle, blink on and off, the position diagram's
// highlight and arrow phases, and a scroll entering, moving and starting
// again - with the link fresh, stale or not yet up. Texts come from
// deterministic glyph sources, so every box, squeeze and clip runs under the
// sanitizers.
//
// Input: bytes 0-3 the base tick, 4 and 5 the surface size, 6 flags (bit 0
// link up, bit 1 stale, bit 2 unlit dots shown), 7 a tick step; then the
// document.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../render/testglyphs.h"
#include "render/newstyle.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

static uint32_t ledScratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];

static int32_t measureLed(const char16_t*, int32_t length, int32_t, int32_t height, int32_t) {
    return length * (height / 2 + 1);
}

static void drawLed(const char16_t* text, int32_t length, int32_t cx, int32_t cell, int32_t baselineY) {
    for (int32_t y = 0; y < cell; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            const char16_t c = text[(x * length) / cx];
            ledScratch[y * LED_SCRATCH_WIDTH + x] =
                ((c >> (x % 8)) & 1) != 0 && y <= baselineY ? 0xFFFFFF : 0;
        }
    }
}

static const LedGlyphSource ledGlyphs = {measureLed, drawLed, ledScratch};

static int32_t selectedHeight = 0;
static int32_t selectedWidth = 0;

static int32_t selectHeader(int32_t, int32_t height, int32_t width, int32_t, int32_t* averageWidth,
                            int32_t* cellHeight) {
    selectedHeight = height;
    selectedWidth = width > 0 ? width : height / 2 + 1;
    *averageWidth = selectedWidth;
    *cellHeight = height + height / 4;
    return 1;
}

static int32_t measureHeader(const char16_t*, int32_t length) {
    return length * selectedWidth;
}

// Header text as a filled box where its glyphs would go, clipped like any
// fill.
static void drawHeader(const char16_t*, int32_t length, int32_t x, int32_t y, uint32_t colour) {
    fillBox(x, y, length * selectedWidth, selectedHeight, colour);
}

static const HeaderTextSource headerGlyphs = {selectHeader, measureHeader, drawHeader};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t CONTROL_BYTES = 8;
    if (size <= CONTROL_BYTES || size - CONTROL_BYTES > static_cast<size_t>(DOCUMENT_BODY_CAPACITY)) {
        return 0;
    }
    static bool ready = false;
    if (!ready) {
        useTestGlyphs();
        fillFontSlots(nullptr);
        gNewStyle.fontSlotsReady = 1;
        ready = true;
    }
    if (parseDisplayDocument(data + CONTROL_BYTES, static_cast<int32_t>(size - CONTROL_BYTES),
                             &gDocuments.currentDocument) != 1) {
        return 0;
    }
    uint32_t base = 0;
    std::memcpy(&base, data, 4);
    const int32_t width = 64 + data[4] * 4;
    const int32_t height = 20 + data[5] * 2;
    const uint8_t flags = data[6];
    const uint32_t step = 1 + static_cast<uint32_t>(data[7]) * 997u;
    gLink.serverOk = flags & 1;
    gSettings.settings.showUnlitDots = (flags >> 2) & 1;
    setLedGlyphSource(&ledGlyphs);
    setHeaderTextSource(&headerGlyphs);
    resetNewStyleScroll();
    invalidatePresentedFrame();
    layoutBoard(width, height);

    const BoardDocument& d = gDocuments.currentDocument;
    const uint32_t jpMs = static_cast<uint32_t>(d.jpMs);
    const uint32_t blinkMs = static_cast<uint32_t>(d.blinkMs);
    const uint32_t langMs = static_cast<uint32_t>(d.langMs);
    const uint32_t ticks[] = {
        base,
        base + step,  // the scroll moves on from where it started
        base + 40 * step,
        jpMs - 1,  // the last Japanese and the first English tick
        jpMs,
        jpMs + static_cast<uint32_t>(d.enMs),
        blinkMs / 2 - 1,  // the last tick with the time shown and the first without
        blinkMs / 2,
        langMs,  // the second language of the cycle, and the third
        2 * langMs,
        599,  // the position diagram's highlight ends, the arrows turn over
        600,
        750,
        base - 1,  // backwards: the scroll run starts again
    };
    for (const uint32_t now : ticks) {
        gLink.lastFetchOkTick = (flags & 2) != 0 ? now - STALE_LINK_MS - 1 : now;
        if (d.isNewStyle != 0) {
            composeNewStyleBoardAt(now, currentBoardStatus());
        } else {
            composeClassicBoard(now, currentBoardStatus());
            paintBoardFrame(currentBoardStatus());
        }
    }
    // The frame composer's own way in, at the tick counter's time.
    paintBoardFrame(currentBoardStatus());
    return 0;
}
