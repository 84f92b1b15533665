// Fuzz entry for the new-style LED composition: any document the server may
// send, composed at ticks taken from the input, with a glyph source whose
// text widths also come from the input, so that long, wide, squeezed and
// off-grid texts, every position code and every language list are tried.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/newstyle.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

static uint32_t scratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];
static int32_t glyphWidth = 8;

static int32_t measure(const char16_t*, int32_t length, int32_t, int32_t, int32_t) {
    return length * glyphWidth;
}

static void draw(const char16_t*, int32_t, int32_t cx, int32_t cell, int32_t baselineY) {
    for (int32_t y = 0; y < cell; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            scratch[y * LED_SCRATCH_WIDTH + x] = (x % 3 == 0 && y <= baselineY) ? 0xFFFFFF : 0;
        }
    }
}

static const LedGlyphSource glyphs = {measure, draw, scratch};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9 || size > static_cast<size_t>(DOCUMENT_BODY_CAPACITY)) {
        return 0;
    }
    uint32_t now = 0;
    std::memcpy(&now, data, 4);
    glyphWidth = data[4] % 64;
    for (int32_t slot = 0; slot < FONT_SLOT_COUNT; ++slot) {
        gNewStyle.fontSlots[slot].available = (data[5] >> slot) & 1;
    }
    gNewStyle.fontSlotsReady = 1;
    gLink.serverOk = data[6] & 1;
    if (parseDisplayDocument(data + 8, static_cast<int32_t>(size - 8), &gDocuments.currentDocument) != 1) {
        return 0;
    }
    setLedGlyphSource(&glyphs);
    for (uint32_t step = 0; step < 4; ++step) {
        const uint32_t tick = now + step * (static_cast<uint32_t>(data[7]) * 997u);
        gLink.lastFetchOkTick = tick - (data[6] >> 1) * 200u;
        composeNewStyleLeds(tick, currentBoardStatus());
        for (uint8_t v : gNewStyle.newStyleGrid.dots) {
            if (v >= NEW_STYLE_PALETTE_SIZE) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
