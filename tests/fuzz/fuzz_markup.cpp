// Fuzz entry for the brace markup walker: any text a document can carry,
// drawn with the deterministic test glyphs over a strip left dirty by a
// previous text. The width stays within the strip, every dot is a palette
// index, and nothing is left lit beyond the returned width.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../render/testglyphs.h"
#include "render/render.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 2050) {  // up to 1024 units, the longest text a document holds
        return 0;
    }
    static bool ready = false;
    if (!ready) {
        useTestGlyphs();
        ready = true;
    }
    // Byte 0: the colour; byte 1: how wide the previous text was (in steps
    // of 32 columns, 255 meaning wider than the strip); then UTF-16 text.
    const uint8_t colour = static_cast<uint8_t>(1 + data[0] % (PALETTE_SIZE - 1));
    const int32_t previous = data[1] == 255 ? TEXT_STRIP_WIDTH + 100 : data[1] * 32;
    // The strip as a previous text of that width left it: ink up to the
    // width, nothing beyond (which is what the caller's width promises).
    static TextStrip strip;
    std::memset(strip.dots, 0, sizeof(strip.dots));
    const int32_t dirty = previous < TEXT_STRIP_WIDTH ? previous : TEXT_STRIP_WIDTH;
    for (int32_t row = 0; row < BOARD_ROW_DOTS; ++row) {
        std::memset(strip.dots + row * TEXT_STRIP_WIDTH, 3, static_cast<size_t>(dirty));
    }
    static char16_t text[4096 + 1];
    const size_t units = (size - 2) / 2;
    for (size_t i = 0; i < units; ++i) {
        text[i] = static_cast<char16_t>(data[2 + 2 * i] | (data[3 + 2 * i] << 8));
    }
    text[units] = 0;

    const int32_t width = rasteriseMarkup(text, colour, &strip, previous);
    if (width < 0 || width > TEXT_STRIP_WIDTH) {
        __builtin_trap();
    }
    for (int32_t row = 0; row < BOARD_ROW_DOTS; ++row) {
        const uint8_t* line = strip.dots + row * TEXT_STRIP_WIDTH;
        for (int32_t column = 0; column < TEXT_STRIP_WIDTH; ++column) {
            if (line[column] >= PALETTE_SIZE || (column >= width && line[column] != 0)) {
                std::fprintf(stderr, "row %d column %d holds %d, width %d\n", static_cast<int>(row),
                             static_cast<int>(column), line[column], static_cast<int>(width));
                __builtin_trap();
            }
        }
    }
    return 0;
}
