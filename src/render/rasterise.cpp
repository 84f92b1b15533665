// Text into LED dots. A string is drawn white on black into a 16-pixel-high
// scratch picture by the installed glyph source, then sampled column by
// column: one dot per sampled column, one dot row per pixel row, lit where the
// ink's blue byte reaches half intensity. Text wider than its box is squeezed
// by merging columns; narrower text can be centred. The brace markup of text
// and scroll rows picks colours and the small or normal font and renders into
// a wide strip that the composition copies (and scrolls) into the frame.
#include <cstring>

#include "render/render.h"

static const GlyphSource* glyphSource = nullptr;

// The font the next segment is drawn with: 0 LedFont, 1 LedSmallFont (set
// only inside a markup call).
static int32_t currentSmallFont = 0;

// Ink of each scratch column as a mask of its 16 rows.
static uint16_t columnInk[TEXT_SCRATCH_WIDTH];

void setGlyphSource(const GlyphSource* source) {
    glyphSource = source;
}

int32_t boardWidthDots() {
    const int32_t width = currentDocument.width;
    if (width < 0) {
        return 0;
    }
    return width > DOT_COLUMNS ? DOT_COLUMNS : width;
}

int32_t boardRowCount() {
    const int32_t rows = currentDocument.rows;
    if (rows < 0) {
        return 0;
    }
    return rows > DOT_ROWS / BOARD_ROW_DOTS ? DOT_ROWS / BOARD_ROW_DOTS : rows;
}

int32_t rasteriseText(const char16_t* text, int32_t length, uint8_t colour, uint8_t* target, int32_t stride,
                      int32_t columnLimit, int32_t rowLimit, int32_t x, int32_t y, int32_t boxWidth,
                      int32_t centre) {
    if (text == nullptr || length <= 0 || glyphSource == nullptr) {
        return 0;
    }
    int32_t cx = glyphSource->measure(text, length, currentSmallFont);
    if (cx > TEXT_SCRATCH_WIDTH) {
        cx = TEXT_SCRATCH_WIDTH;
    }
    if (cx <= 0) {
        return 0;
    }
    glyphSource->draw(text, length, cx, currentSmallFont != 0 ? SMALL_TEXT_OFFSET : 0, currentSmallFont);

    const uint32_t* scratch = glyphSource->scratch;
    for (int32_t s = 0; s < cx; ++s) {
        uint16_t mask = 0;
        for (int32_t j = 0; j < TEXT_SCRATCH_HEIGHT; ++j) {
            if ((scratch[j * TEXT_SCRATCH_WIDTH + s] & 0xFF) >= INK_THRESHOLD) {
                mask = static_cast<uint16_t>(mask | (1u << j));
            }
        }
        columnInk[s] = mask;
    }

    int32_t w = cx;
    int64_t left = x;
    if (boxWidth > 0 && boxWidth < cx) {
        w = boxWidth;
    } else if (boxWidth > 0 && centre == 1) {
        left += (boxWidth - cx) / 2;
    }

    for (int32_t k = 0; k < w; ++k) {
        const int64_t column = left + k;
        if (column < 0 || column >= columnLimit) {
            continue;
        }
        int32_t s0 = static_cast<int32_t>(static_cast<int64_t>(k) * cx / w);
        int32_t s1 = static_cast<int32_t>(static_cast<int64_t>(k + 1) * cx / w);
        if (s1 <= s0) {
            s1 = s0 + 1;
        }
        uint32_t mask = 0;
        for (int32_t s = s0; s < s1; ++s) {
            mask |= columnInk[s];
        }
        if (mask == 0) {
            continue;
        }
        for (int32_t j = 0; j < TEXT_SCRATCH_HEIGHT; ++j) {
            const int64_t row = static_cast<int64_t>(y) + j;
            if ((mask & (1u << j)) != 0 && row >= 0 && row < rowLimit) {
                target[row * stride + column] = colour;
            }
        }
    }
    return w;
}

int32_t rasteriseIntoFrame(const char16_t* text, uint8_t colour, int32_t x, int32_t boardRow,
                           int32_t boxWidth, int32_t centre) {
    return rasteriseText(text, textLength(text), colour, dotFrame.dots, DOT_STRIDE, boardWidthDots(),
                         boardRowCount() * BOARD_ROW_DOTS, x, BOARD_ROW_DOTS * boardRow, boxWidth, centre);
}

// One segment of markup text at the strip's current end.
static int32_t rasteriseSegment(const char16_t* text, int32_t length, uint8_t colour, TextStrip* strip,
                                int32_t column) {
    if (column >= TEXT_STRIP_WIDTH) {
        return 0;
    }
    return rasteriseText(text, length, colour, strip->dots, TEXT_STRIP_WIDTH, TEXT_STRIP_WIDTH,
                         BOARD_ROW_DOTS, column, 0, 0, 0);
}

// A tag is "{", one to seven characters, "}". Returns the tag's length
// including both braces and fills what it selects, or 0 when the "{" at
// text[0] is an ordinary character.
static int32_t readTag(const char16_t* text, uint8_t* colourOut, int32_t* smallOut) {
    int32_t close = 0;
    for (int32_t j = 1; j <= 8 && text[j] != 0; ++j) {
        if (text[j] == u'}') {
            close = j;
            break;
        }
    }
    if (close < 2) {
        return 0;  // no "}" within reach, or an empty pair of braces
    }
    const char16_t first[2] = {text[1], 0};
    const ColorCode code = parseColorCode(first);
    if (code != COLOR_NONE) {
        *colourOut = code;
        return close + 1;
    }
    if (close == 2 && (text[1] == u'大' || text[1] == u'普')) {
        *smallOut = 0;
        return close + 1;
    }
    if (close == 2 && text[1] == u'小') {
        *smallOut = 1;
        return close + 1;
    }
    return 0;
}

int32_t rasteriseMarkup(const char16_t* text, uint8_t colour, TextStrip* strip, int32_t previousWidth) {
    int32_t clear = previousWidth < TEXT_STRIP_WIDTH ? previousWidth : TEXT_STRIP_WIDTH;
    if (clear > 0) {
        for (int32_t j = 0; j < BOARD_ROW_DOTS; ++j) {
            std::memset(strip->dots + j * TEXT_STRIP_WIDTH, 0, static_cast<size_t>(clear));
        }
    }
    int64_t total = 0;
    int32_t segmentStart = 0;
    int32_t i = 0;
    if (text != nullptr) {
        while (text[i] != 0) {
            if (text[i] != u'{') {
                ++i;
                continue;
            }
            uint8_t tagColour = colour;
            int32_t tagSmall = currentSmallFont;
            const int32_t tagLength = readTag(text + i, &tagColour, &tagSmall);
            if (tagLength == 0) {
                ++i;
                continue;
            }
            total +=
                rasteriseSegment(text + segmentStart, i - segmentStart, colour, strip,
                                 static_cast<int32_t>(total < TEXT_STRIP_WIDTH ? total : TEXT_STRIP_WIDTH));
            colour = tagColour;
            currentSmallFont = tagSmall;
            i += tagLength;
            segmentStart = i;
        }
        total += rasteriseSegment(text + segmentStart, i - segmentStart, colour, strip,
                                  static_cast<int32_t>(total < TEXT_STRIP_WIDTH ? total : TEXT_STRIP_WIDTH));
    }
    currentSmallFont = 0;
    // Several segments, or a wide face, can add up to more than the strip
    // holds; the rest was never drawn, so the width stops at the strip's end.
    return static_cast<int32_t>(total < TEXT_STRIP_WIDTH ? total : TEXT_STRIP_WIDTH);
}

void placeTextStrip(const TextStrip& strip, int32_t textWidth, int32_t boardRow, int32_t x) {
    const int32_t width = boardWidthDots();
    if (boardRow < 0 || boardRow >= boardRowCount()) {
        return;
    }
    if (textWidth > TEXT_STRIP_WIDTH) {
        textWidth = TEXT_STRIP_WIDTH;
    }
    const int32_t n = textWidth < width ? textWidth : width;
    if (n <= 0) {
        return;
    }
    uint8_t* frameRow = dotFrame.dots + BOARD_ROW_DOTS * boardRow * DOT_STRIDE;
    for (int32_t i = 0; i < n; ++i) {
        const int64_t column = static_cast<int64_t>(x) + i;
        if (column < 0 || column >= width) {
            continue;
        }
        const int32_t s0 = static_cast<int32_t>(static_cast<int64_t>(i) * textWidth / n);
        int32_t s1 = static_cast<int32_t>(static_cast<int64_t>(i + 1) * textWidth / n);
        if (s1 <= s0) {
            s1 = s0 + 1;
        }
        for (int32_t j = 0; j < BOARD_ROW_DOTS; ++j) {
            const uint8_t* source = strip.dots + j * TEXT_STRIP_WIDTH;
            for (int32_t s = s0; s < s1; ++s) {
                if (source[s] != 0) {
                    frameRow[j * DOT_STRIDE + column] = source[s];
                    break;
                }
            }
        }
    }
}
