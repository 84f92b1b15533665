// The deterministic glyph source described in testglyphs.h.
#include "testglyphs.h"

#include <cstring>

static uint32_t scratch[TEXT_SCRATCH_WIDTH * TEXT_SCRATCH_HEIGHT];

int32_t testGlyphWidth(char16_t c, int32_t smallFont) {
    if (c == u'|') {
        return smallFont != 0 ? 3 : 4;
    }
    if (c == u'▒') {
        return 16;
    }
    if (c == u'■') {
        return 64;
    }
    if (c >= 0x2E80) {
        return smallFont != 0 ? 11 : 16;
    }
    return smallFont != 0 ? 6 : 8;
}

static int32_t measureTest(const char16_t* text, int32_t length, int32_t smallFont) {
    int32_t width = 0;
    for (int32_t i = 0; i < length; ++i) {
        width += testGlyphWidth(text[i], smallFont);
    }
    return width;
}

static uint32_t glyphPixel(char16_t c, int32_t column) {
    if (c == u'▒') {
        return column < 8 ? 0x7F : 0x80;
    }
    return ((c & 0xFF) >> (column % 8)) & 1 ? 0xFFFFFF : 0;
}

static void drawTest(const char16_t* text, int32_t length, int32_t cx, int32_t offsetY, int32_t smallFont) {
    for (int32_t y = 0; y < TEXT_SCRATCH_HEIGHT; ++y) {
        std::memset(scratch + y * TEXT_SCRATCH_WIDTH, 0, sizeof(uint32_t) * static_cast<size_t>(cx));
    }
    const int32_t cell = smallFont != 0 ? 11 : 16;
    int32_t x = 0;
    for (int32_t i = 0; i < length && x < cx; ++i) {
        const int32_t w = testGlyphWidth(text[i], smallFont);
        for (int32_t column = 0; column < w && x + column < cx; ++column) {
            const uint32_t pixel = glyphPixel(text[i], column);
            for (int32_t row = offsetY; row < offsetY + cell && row < TEXT_SCRATCH_HEIGHT; ++row) {
                scratch[row * TEXT_SCRATCH_WIDTH + x + column] = pixel;
            }
        }
        x += w;
    }
}

static const GlyphSource testSource = {measureTest, drawTest, scratch};

void useTestGlyphs() {
    setGlyphSource(&testSource);
}

int32_t testTextWidth(const char16_t* text) {
    return measureTest(text, textLength(text), 0);
}

bool testTextInk(const char16_t* text, int32_t column) {
    int32_t x = 0;
    for (int32_t i = 0; text[i] != 0; ++i) {
        const int32_t w = testGlyphWidth(text[i], 0);
        if (column < x + w) {
            return (glyphPixel(text[i], column - x) & 0xFF) >= INK_THRESHOLD;
        }
        x += w;
    }
    return false;
}
