// Text into LED dots. A string is drawn white on black into a 16-pixel-high
// scratch picture by the installed glyph source, then sampled column by
// column: one dot per sampled column, one dot row per pixel row, lit where the
// ink's blue byte reaches half intensity. Text wider than its box is squeezed
// by merging columns; narrower text can be centred. The brace markup of text
// and scroll rows picks colours and the small or normal font and renders into
// a wide strip that the composition copies (and scrolls) into the frame.
#include <cstring>

#include "render/inkcache.h"
#include "render/render.h"

// Ink of each scratch column as a mask of its 16 rows, for a text that the
// ink cache below does not keep.
static uint16_t columnInk[TEXT_SCRATCH_WIDTH];

// Recently drawn texts with the ink of their columns. Every composition pass
// draws the board's few texts again (33 times a second, whether or not
// anything changed), and asking the glyph source to measure and draw them is
// by far the dearest part of the pass. The ink depends only on the text and
// the font, so it is kept here, and forgotten whenever the glyph source or
// its fonts change. Longer texts than an entry holds are drawn every time.
constexpr int32_t INK_CACHE_ENTRIES = 16;
constexpr int32_t INK_CACHE_TEXT_CAPACITY = 128;

struct InkCacheEntry {
    char16_t text[INK_CACHE_TEXT_CAPACITY];
    int32_t length;  // 0: the entry is free
    int32_t smallFont;
    int32_t cx;
    uint32_t lastUse;
    uint16_t ink[TEXT_SCRATCH_WIDTH];
};

// Where the rasteriser's glyphs come from and what it keeps of them.
struct TextRasteriser {
    const GlyphSource* glyphSource;  // the installed source; none: no text drawn
    // The font the next segment is drawn with: 0 LedFont, 1 LedSmallFont
    // (set only inside a markup call).
    int32_t currentSmallFont;
    InkCacheEntry inkCache[INK_CACHE_ENTRIES];  // the kept inks
    uint32_t inkCacheClock;                     // counts uses, to find the entry used longest ago
    uint32_t textGeneration;                    // counts forgetRasterisedText calls
};
static TextRasteriser gRasteriser;

void forgetRasterisedText() {
    for (InkCacheEntry& entry : gRasteriser.inkCache) {
        entry.length = 0;
    }
    ++gRasteriser.textGeneration;
}

uint32_t rasterisedTextGeneration() {
    return gRasteriser.textGeneration;
}

void setGlyphSource(const GlyphSource* source) {
    gRasteriser.glyphSource = source;
    forgetRasterisedText();
}

// The ink of each column of text as drawn in the current font: from the
// cache, or measured and drawn by the glyph source (and then kept when it
// fits an entry). Sets *cx to the width in columns; nothing when the text
// cannot be measured.
static const uint16_t* inkOfText(const char16_t* text, int32_t length, int32_t* cx) {
    const bool cacheable = length < INK_CACHE_TEXT_CAPACITY;
    if (cacheable) {
        for (InkCacheEntry& entry : gRasteriser.inkCache) {
            if (entry.length == length && entry.smallFont == gRasteriser.currentSmallFont &&
                std::memcmp(entry.text, text, sizeof(char16_t) * static_cast<size_t>(length)) == 0) {
                entry.lastUse = ++gRasteriser.inkCacheClock;
                *cx = entry.cx;
                return entry.ink;
            }
        }
    }
    int32_t width = gRasteriser.glyphSource->measure(text, length, gRasteriser.currentSmallFont);
    if (width > TEXT_SCRATCH_WIDTH) {
        width = TEXT_SCRATCH_WIDTH;
    }
    if (width <= 0) {
        return nullptr;
    }
    gRasteriser.glyphSource->draw(text, length, width,
                                  gRasteriser.currentSmallFont != 0 ? SMALL_TEXT_OFFSET : 0,
                                  gRasteriser.currentSmallFont);

    uint16_t* ink = columnInk;
    if (cacheable) {
        InkCacheEntry* chosen = freeOrOldestEntry(gRasteriser.inkCache);
        std::memcpy(chosen->text, text, sizeof(char16_t) * static_cast<size_t>(length));
        chosen->length = length;
        chosen->smallFont = gRasteriser.currentSmallFont;
        chosen->cx = width;
        chosen->lastUse = ++gRasteriser.inkCacheClock;
        ink = chosen->ink;
    }
    const uint32_t* scratch = gRasteriser.glyphSource->scratch;
    for (int32_t s = 0; s < width; ++s) {
        uint16_t mask = 0;
        for (int32_t j = 0; j < TEXT_SCRATCH_HEIGHT; ++j) {
            if ((scratch[j * TEXT_SCRATCH_WIDTH + s] & 0xFF) >= INK_THRESHOLD) {
                mask = static_cast<uint16_t>(mask | (1u << j));
            }
        }
        ink[s] = mask;
    }
    *cx = width;
    return ink;
}

int32_t panelWidthDots(const BoardDocument& document) {
    const int32_t width = document.width;
    if (width < 0) {
        return 0;
    }
    return width > DOT_COLUMNS ? DOT_COLUMNS : width;
}

int32_t panelRowCount(const BoardDocument& document) {
    const int32_t rows = document.rows;
    if (rows < 0) {
        return 0;
    }
    return rows > DOT_ROWS / BOARD_ROW_DOTS ? DOT_ROWS / BOARD_ROW_DOTS : rows;
}

int32_t boardWidthDots() {
    return panelWidthDots(gDocuments.currentDocument);
}

int32_t boardRowCount() {
    return panelRowCount(gDocuments.currentDocument);
}

ClassicPanel classicPanelOf(const BoardDocument& document, DotFrame* frame) {
    return ClassicPanel{frame, panelWidthDots(document), panelRowCount(document)};
}

int32_t rasteriseText(const char16_t* text, int32_t length, uint8_t colour, uint8_t* target, int32_t stride,
                      int32_t columnLimit, int32_t rowLimit, int32_t x, int32_t y, int32_t boxWidth,
                      int32_t centre) {
    if (text == nullptr || length <= 0 || gRasteriser.glyphSource == nullptr) {
        return 0;
    }
    int32_t cx = 0;
    const uint16_t* ink = inkOfText(text, length, &cx);
    if (ink == nullptr) {
        return 0;
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
            mask |= ink[s];
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

int32_t rasteriseIntoPanel(const ClassicPanel& panel, const char16_t* text, uint8_t colour, int32_t x,
                           int32_t boardRow, int32_t boxWidth, int32_t centre) {
    return rasteriseText(text, textLength(text), colour, panel.frame->dots, DOT_STRIDE, panel.width,
                         panel.rows * BOARD_ROW_DOTS, x, BOARD_ROW_DOTS * boardRow, boxWidth, centre);
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
            int32_t tagSmall = gRasteriser.currentSmallFont;
            const int32_t tagLength = readTag(text + i, &tagColour, &tagSmall);
            if (tagLength == 0) {
                ++i;
                continue;
            }
            total +=
                rasteriseSegment(text + segmentStart, i - segmentStart, colour, strip,
                                 static_cast<int32_t>(total < TEXT_STRIP_WIDTH ? total : TEXT_STRIP_WIDTH));
            colour = tagColour;
            gRasteriser.currentSmallFont = tagSmall;
            i += tagLength;
            segmentStart = i;
        }
        total += rasteriseSegment(text + segmentStart, i - segmentStart, colour, strip,
                                  static_cast<int32_t>(total < TEXT_STRIP_WIDTH ? total : TEXT_STRIP_WIDTH));
    }
    gRasteriser.currentSmallFont = 0;
    // Several segments, or a wide face, can add up to more than the strip
    // holds; the rest was never drawn, so the width stops at the strip's end.
    return static_cast<int32_t>(total < TEXT_STRIP_WIDTH ? total : TEXT_STRIP_WIDTH);
}

void placeTextStrip(const ClassicPanel& panel, const TextStrip& strip, int32_t textWidth, int32_t boardRow,
                    int32_t x) {
    const int32_t width = panel.width;
    if (boardRow < 0 || boardRow >= panel.rows) {
        return;
    }
    if (textWidth > TEXT_STRIP_WIDTH) {
        textWidth = TEXT_STRIP_WIDTH;
    }
    const int32_t n = textWidth < width ? textWidth : width;
    if (n <= 0) {
        return;
    }
    uint8_t* frameRow = panel.frame->dots + BOARD_ROW_DOTS * boardRow * DOT_STRIDE;
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
