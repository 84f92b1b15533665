// The LED content of the new-style sign: a 384 x 48 grid rebuilt from a
// document on every paint. The upper half shows a train or a text,
// the lower half a scrolling text, a framed message, an approach warning, the
// three-station position diagram or a second train. Texts come from TrueType
// fonts through a glyph seam and are sampled into dots; the diagram is drawn
// with a few dot primitives and a small train picture. Only the scroll text
// survives between compositions, in the composer the caller holds, so a
// running scroll keeps its place.
#include <cstring>

#include "base/blink.h"
#include "render/inkcache.h"
#include "render/newstyle.h"

PanelComposers gPanelComposers;

const uint32_t NEW_STYLE_PALETTE[NEW_STYLE_PALETTE_SIZE] = {
    0x151517,  // unlit; picture letter K
    0xEEF0FF,  // white text; W
    0xFFC400,  // amber text
    0xF5B800,  // amber graphics
    0x46FF64,  // green scrolling text
    0x7A5C00,  // dim amber chevrons
    0xC3CFE4,  // L
    0x68707C,  // G
    0xF4E49A,  // S
    0xB4D4FF,  // B
};

static constexpr int32_t LANGUAGE_LIST_LIMIT = 32;
static constexpr int32_t DEFAULT_LANG_MS = 4000;

// ---------------------------------------------------------------------------
// Language cycle

int32_t currentLanguage(const BoardDocument& document, uint32_t now) {
    int32_t list[LANGUAGE_LIST_LIMIT];
    int32_t count = 0;
    for (const char16_t* p = document.langs; *p != 0 && count < LANGUAGE_LIST_LIMIT; ++p) {
        int32_t language = -1;
        switch (*p) {
            case u'j':
                language = LANGUAGE_JAPANESE;
                break;
            case u'e':
                language = LANGUAGE_ENGLISH;
                break;
            case u'k':
                language = LANGUAGE_KANA;
                break;
            case u's':
                language = LANGUAGE_SIMPLIFIED;
                break;
            case u't':
                language = LANGUAGE_TRADITIONAL;
                break;
            case u'o':
                language = LANGUAGE_KOREAN;
                break;
            default:
                break;
        }
        if (language >= 0 && isLanguageAvailable(language)) {
            list[count++] = language;
        }
    }
    if (count == 0) {
        return LANGUAGE_JAPANESE;
    }
    const uint32_t period = document.langMs < 1 ? DEFAULT_LANG_MS : static_cast<uint32_t>(document.langMs);
    return list[(now / period) % static_cast<uint32_t>(count)];
}

bool blinkPhaseOn(const BoardDocument& document, uint32_t now) {
    return blinkShowing(now, document.blinkMs);
}

// ---------------------------------------------------------------------------
// Primitives

void setLed(int32_t x, int32_t y, uint8_t colour) {
    if (x < 0 || x >= NEW_STYLE_COLUMNS || y < 0 || y >= NEW_STYLE_ROWS) {
        return;
    }
    gNewStyle.newStyleGrid.dots[y * NEW_STYLE_STRIDE + x] = colour;
}

void ledLine(int32_t x1, int32_t x2, int32_t y, uint8_t colour) {
    if (y < 0 || y >= NEW_STYLE_ROWS) {
        return;
    }
    if (x1 < 0) {
        x1 = 0;
    }
    if (x2 >= NEW_STYLE_COLUMNS) {
        x2 = NEW_STYLE_COLUMNS - 1;
    }
    for (int32_t x = x1; x <= x2; ++x) {
        gNewStyle.newStyleGrid.dots[y * NEW_STYLE_STRIDE + x] = colour;
    }
}

void ledRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint8_t colour) {
    ledLine(x1, x2, y1, colour);
    ledLine(x1, x2, y2, colour);
    for (int32_t y = y1; y <= y2; ++y) {
        setLed(x1, y, colour);
        setLed(x2, y, colour);
    }
}

// Largest r with r * r <= value (value >= 0).
static int32_t floorSqrt(int32_t value) {
    int32_t r = 0;
    while ((r + 1) * (r + 1) <= value) {
        ++r;
    }
    return r;
}

void ledStadium(int32_t left, int32_t top, int32_t right, int32_t bottom, uint8_t colour) {
    const int32_t f = (bottom - top) / 2;
    ledLine(left + f, right - f, top, colour);
    ledLine(left + f, right - f, bottom, colour);
    for (int32_t y = top; y <= bottom; ++y) {
        const int32_t g = y - top - f;
        const int32_t h = f * f - g * g;
        const int32_t l = h > 0 ? floorSqrt(h) : 0;
        setLed(left + f - l, y, colour);
        setLed(right - f + l, y, colour);
    }
}

// A ring open at the bottom, standing on two short feet.
void ledRing(int32_t cx, int32_t cy) {
    for (int32_t i = -5; i <= 5; ++i) {
        for (int32_t j = -5; j <= 5; ++j) {
            const int32_t d = i * i + j * j;
            if (d < 16 || d > 30 || (i >= 2 && j >= -2 && j <= 2)) {
                continue;
            }
            setLed(cx + j, cy + i, LED_AMBER);
        }
    }
    ledLine(cx - 5, cx - 2, cy + 5, LED_AMBER);
    ledLine(cx + 2, cx + 5, cy + 5, LED_AMBER);
}

// Three chevrons drawn as "<": each has its point in its leftmost column on
// row y and its arms rising and falling to the right, so they point left,
// the way the train picture faces. The bright one runs left to right over
// phases 0..2, and phase 3 lights all three.
void ledChevrons(int32_t x, int32_t y, int32_t phase) {
    for (int32_t i = 0; i < 3; ++i) {
        const uint8_t colour = (phase == i || phase == 3) ? LED_AMBER : LED_DIM_AMBER;
        for (int32_t j = 0; j <= 7; ++j) {
            for (int32_t k = 0; k < 3; ++k) {
                setLed(x + 10 * i + j + k, y - j, colour);
                setLed(x + 10 * i + j + k, y + j, colour);
            }
        }
    }
}

static constexpr int32_t TRAIN_PICTURE_ROWS = 13;
static constexpr int32_t TRAIN_PICTURE_COLUMNS = 35;
static const char* const TRAIN_PICTURE[TRAIN_PICTURE_ROWS] = {
    "      KKKKKKKKKKKKKKKKKKKKKKKKKKKK ", "   KKKKGGGGGGGGGGGGGGGGGGGGGGGGGGKK",
    " KKKWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWK", "KKWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWK",
    "KBBBKKKKKKKBKKKBBKKKKBKKKKBKKKBKKBK", "KBBBKKKKKKKBKKKBBKKKKBKKKKBKKKBKKBK",
    "KBBBKKKKKKKBKKKBBKKKKBKKKKBKKKBKKBK", "KSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSK",
    "KWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWK", "KKWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWK",
    " KKKKGGGGGGGGGGGGGGGGGGGGGGGGGGKKKK", "    KKKWKKKKKWKKKKKKKKWKKKKKWKKK   ",
    "      KKK   KKK      KKK   KKK     ",
};

void ledTrainPicture(int32_t x, int32_t y) {
    for (int32_t r = 0; r < TRAIN_PICTURE_ROWS; ++r) {
        const char* letters = TRAIN_PICTURE[r];
        for (int32_t c = 0; c < TRAIN_PICTURE_COLUMNS && letters[c] != 0; ++c) {
            int32_t colour = -1;
            switch (letters[c]) {
                case 'K':
                    colour = 0;
                    break;
                case 'W':
                    colour = 1;
                    break;
                case 'L':
                    colour = 6;
                    break;
                case 'G':
                    colour = 7;
                    break;
                case 'S':
                    colour = 8;
                    break;
                case 'B':
                    colour = 9;
                    break;
                default:
                    break;
            }
            if (colour >= 0) {
                setLed(x + c, y + r, static_cast<uint8_t>(colour));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// LED text

// Ink of each scratch column as a mask of its 32 rows, for a text that the
// ink cache below does not keep.
static uint32_t scratchInk[LED_SCRATCH_WIDTH];

// Recently drawn texts with the ink of their columns. Every frame draws the
// panel's few texts again, and asking the glyph source to measure and draw
// them is by far the dearest part of a frame. The ink depends only on the
// text, the font (slot, height, weight) and the cell height, so it is kept
// here, and forgotten when the glyph source or the font slots change. Longer
// texts than an entry holds are drawn every time.
constexpr int32_t LED_INK_CACHE_ENTRIES = 12;
constexpr int32_t LED_INK_TEXT_CAPACITY = 96;

struct LedInkEntry {
    char16_t text[LED_INK_TEXT_CAPACITY];
    int32_t length;  // 0: the entry is free
    int32_t slot;
    int32_t height;
    int32_t weight;
    int32_t cell;
    int32_t cx;
    uint32_t lastUse;
    uint32_t ink[LED_SCRATCH_WIDTH];
};

// Where LED text's glyphs come from and what is kept of them.
struct LedText {
    const LedGlyphSource* ledGlyphs;                 // the installed source; none: no text drawn
    LedInkEntry ledInkCache[LED_INK_CACHE_ENTRIES];  // the kept inks
    uint32_t ledInkClock;                            // counts uses, to find the entry used longest ago
};
static LedText gLedText;

void forgetLedText() {
    for (LedInkEntry& entry : gLedText.ledInkCache) {
        entry.length = 0;
    }
}

// The paint installs the same source before every frame; only another
// source forgets what was drawn.
void setLedGlyphSource(const LedGlyphSource* source) {
    if (source != gLedText.ledGlyphs) {
        gLedText.ledGlyphs = source;
        forgetLedText();
    }
}

static LedInkEntry* findLedInk(const char16_t* text, int32_t length, int32_t slot, int32_t height,
                               int32_t weight, int32_t cell) {
    for (LedInkEntry& entry : gLedText.ledInkCache) {
        if (entry.length == length && entry.slot == slot && entry.height == height &&
            entry.weight == weight && entry.cell == cell &&
            std::memcmp(entry.text, text, sizeof(char16_t) * static_cast<size_t>(length)) == 0) {
            entry.lastUse = ++gLedText.ledInkClock;
            return &entry;
        }
    }
    return nullptr;
}

// The free entry, or else the one used longest ago, keyed for the text.
static LedInkEntry* claimLedInk(const char16_t* text, int32_t length, int32_t slot, int32_t height,
                                int32_t weight, int32_t cell) {
    LedInkEntry* chosen = freeOrOldestEntry(gLedText.ledInkCache);
    std::memcpy(chosen->text, text, sizeof(char16_t) * static_cast<size_t>(length));
    chosen->length = length;
    chosen->slot = slot;
    chosen->height = height;
    chosen->weight = weight;
    chosen->cell = cell;
    chosen->lastUse = ++gLedText.ledInkClock;
    return chosen;
}

// The ink of each column of text in the font (slot, height, weight) drawn
// in a cell of `cell` rows (1..32): kept from an earlier drawing, or drawn
// through the glyph source now. Sets *cx to the width in columns (at most
// the scratch's); nothing when the text cannot be measured.
static const uint32_t* ledTextInk(const char16_t* text, int32_t slot, int32_t height, int32_t weight,
                                  int32_t cell, int32_t* cx) {
    const int32_t length = textLength(text);
    const bool cacheable = length < LED_INK_TEXT_CAPACITY;
    const LedInkEntry* known = cacheable ? findLedInk(text, length, slot, height, weight, cell) : nullptr;
    if (known != nullptr) {
        *cx = known->cx;
        return known->ink;
    }
    int32_t width = gLedText.ledGlyphs->measure(text, length, slot, height, weight);
    if (width > LED_SCRATCH_WIDTH) {
        width = LED_SCRATCH_WIDTH;
    }
    if (width <= 0) {
        return nullptr;
    }
    const int32_t baseline = (height + cell) / 2 - height * 12 / 100;
    gLedText.ledGlyphs->draw(text, length, width, cell, baseline);

    uint32_t* out = scratchInk;
    if (cacheable) {
        LedInkEntry* entry = claimLedInk(text, length, slot, height, weight, cell);
        entry->cx = width;
        out = entry->ink;
    }
    const uint32_t* scratch = gLedText.ledGlyphs->scratch;
    for (int32_t s = 0; s < width; ++s) {
        uint32_t mask = 0;
        for (int32_t j = 0; j < cell; ++j) {
            if ((scratch[j * LED_SCRATCH_WIDTH + s] & 0xFF) >= INK_THRESHOLD) {
                mask |= 1u << j;
            }
        }
        out[s] = mask;
    }
    *cx = width;
    return out;
}

static bool ledTextReady(const char16_t* text) {
    return text != nullptr && text[0] != 0 && gLedText.ledGlyphs != nullptr &&
           gLedText.ledGlyphs->scratch != nullptr;
}

// The width in dots of text drawn without squeezing; 0 when nothing would
// be drawn.
static int32_t measureLedText(const char16_t* text, int32_t slot, int32_t height, int32_t weight,
                              int32_t cell) {
    if (!ledTextReady(text)) {
        return 0;
    }
    if (cell > LED_SCRATCH_HEIGHT) {
        cell = LED_SCRATCH_HEIGHT;
    }
    if (cell <= 0) {
        return 0;
    }
    int32_t cx = 0;
    return ledTextInk(text, slot, height, weight, cell, &cx) != nullptr ? cx : 0;
}

// Draws text through the glyph source and samples it into target: one dot
// per output column (squeezed by merging source columns when wider than
// maxWidth), one dot row per scratch row, lit where the blue byte reaches
// half intensity. Returns the output width in dots.
int32_t drawLedText(const char16_t* text, int32_t slot, int32_t height, int32_t weight, int32_t cell,
                    uint8_t* target, int32_t stride, int32_t columnLimit, int32_t rowLimit, int32_t x,
                    int32_t y, uint8_t colour, int32_t maxWidth, int32_t centre) {
    if (!ledTextReady(text)) {
        return 0;
    }
    if (cell > LED_SCRATCH_HEIGHT) {
        cell = LED_SCRATCH_HEIGHT;
    }
    if (cell <= 0) {
        return 0;
    }
    int32_t cx = 0;
    const uint32_t* ink = ledTextInk(text, slot, height, weight, cell, &cx);
    if (ink == nullptr) {
        return 0;
    }

    const int32_t w = (maxWidth > 0 && maxWidth < cx) ? maxWidth : cx;
    const int64_t first = centre != 0 ? static_cast<int64_t>(x) - w / 2 : x;
    for (int32_t k = 0; k < w; ++k) {
        const int64_t column = first + k;
        if (column < 0 || column >= columnLimit) {
            continue;
        }
        const int32_t s0 = static_cast<int32_t>(static_cast<int64_t>(k) * cx / w);
        int32_t s1 = static_cast<int32_t>(static_cast<int64_t>(k + 1) * cx / w);
        if (s1 <= s0) {
            s1 = s0 + 1;
        }
        uint32_t mask = 0;
        for (int32_t s = s0; s < s1 && s < cx; ++s) {
            mask |= ink[s];
        }
        if (mask == 0) {
            continue;
        }
        for (int32_t j = 0; j < cell; ++j) {
            const int64_t row = static_cast<int64_t>(y) + j;
            if ((mask & (1u << j)) != 0 && row >= 0 && row < rowLimit) {
                target[row * stride + column] = colour;
            }
        }
    }
    return w;
}

// Text into the grid.
static int32_t gridText(const char16_t* text, int32_t slot, int32_t height, int32_t weight, int32_t cell,
                        int32_t x, int32_t y, uint8_t colour, int32_t maxWidth, int32_t centre) {
    return drawLedText(text, slot, height, weight, cell, gNewStyle.newStyleGrid.dots, NEW_STYLE_STRIDE,
                       NEW_STYLE_COLUMNS, NEW_STYLE_ROWS, x, y, colour, maxWidth, centre);
}

// ---------------------------------------------------------------------------
// Lines

// The train line's three texts: the time at the left, the name centred at
// NAME_X and the name in the current language centred at OTHER_X.
static constexpr int32_t TRAIN_TEXT_HEIGHT = 21;
static constexpr int32_t TRAIN_TEXT_CELL = 24;
static constexpr int32_t TRAIN_NAME_X = 178;
static constexpr int32_t TRAIN_NAME_MAX = 118;
static constexpr int32_t TRAIN_OTHER_X = 292;
static constexpr int32_t TRAIN_OTHER_MAX = 170;
// When the two names would meet, the right-hand one is placed after the
// left-hand one's ink with at least this many dark columns between them,
// and no further right than OTHER_LAST (about what separates two names
// whose boxes just touch).
static constexpr int32_t TRAIN_TEXT_GAP = 4;
static constexpr int32_t TRAIN_OTHER_LAST = 377;

// The last grid column from first to last with a lit dot in rows y to
// y + rows - 1, or -1.
static int32_t lastLitColumn(int32_t first, int32_t last, int32_t y, int32_t rows) {
    for (int32_t c = last; c >= first; --c) {
        for (int32_t r = y; r < y + rows; ++r) {
            if (c >= 0 && c < NEW_STYLE_COLUMNS && r >= 0 && r < NEW_STYLE_ROWS &&
                gNewStyle.newStyleGrid.dots[r * NEW_STYLE_STRIDE + c] != 0) {
                return c;
            }
        }
    }
    return -1;
}

// Departure time, name, and the name in the current language (in the
// Japanese phase the name again without its spaces, which there only pad).
// Long names are common enough for the two names' boxes to overlap; the
// right-hand one then keeps its place only if it still starts clear of the
// left-hand one's ink, and otherwise moves right, squeezed into the room
// that is left, so that the two never run into each other.
static void drawTrainLine(int32_t y, const char16_t* time, uint8_t blink, const LangTexts& texts,
                          int32_t language, bool blinkOn) {
    if (blink == 0 || blinkOn) {
        gridText(time, LANGUAGE_ENGLISH, 22, 400, 24, 12, y, LED_WHITE, 90, 0);
    }
    const int32_t nameWidth = gridText(texts.text[0], LANGUAGE_JAPANESE, TRAIN_TEXT_HEIGHT, 700,
                                       TRAIN_TEXT_CELL, TRAIN_NAME_X, y, LED_WHITE, TRAIN_NAME_MAX, 1);

    char16_t packed[LANG_TEXT_CAPACITY];
    const char16_t* other = packed;
    int32_t slot = language;
    if (language != LANGUAGE_JAPANESE) {
        other = langText(texts, language);
    } else {
        int32_t n = 0;
        for (const char16_t* p = texts.text[0]; *p != 0 && n < LANG_TEXT_CAPACITY - 1; ++p) {
            if (*p != u' ' && *p != u'\u3000') {
                packed[n++] = *p;
            }
        }
        packed[n] = 0;
        slot = LANGUAGE_JAPANESE;
    }

    int32_t otherWidth = measureLedText(other, slot, TRAIN_TEXT_HEIGHT, 700, TRAIN_TEXT_CELL);
    if (otherWidth > TRAIN_OTHER_MAX) {
        otherWidth = TRAIN_OTHER_MAX;
    }
    const int32_t nameLast = TRAIN_NAME_X - nameWidth / 2 + nameWidth - 1;
    const int32_t otherFirst = TRAIN_OTHER_X - otherWidth / 2;
    if (nameWidth > 0 && otherWidth > 0 && otherFirst <= nameLast) {
        const int32_t inkLast = lastLitColumn(TRAIN_NAME_X - nameWidth / 2, nameLast, y, TRAIN_TEXT_CELL);
        const int32_t start = inkLast + TRAIN_TEXT_GAP + 1;
        if (inkLast >= 0 && otherFirst < start) {
            const int32_t room = TRAIN_OTHER_LAST - start + 1;
            gridText(other, slot, TRAIN_TEXT_HEIGHT, 700, TRAIN_TEXT_CELL, start, y, LED_WHITE,
                     otherWidth < room ? otherWidth : room, 0);
            return;
        }
    }
    gridText(other, slot, TRAIN_TEXT_HEIGHT, 700, TRAIN_TEXT_CELL, TRAIN_OTHER_X, y, LED_WHITE,
             TRAIN_OTHER_MAX, 1);
}

static constexpr int32_t SCROLL_TOP = 25;

void forgetNewStyleScroll(NewStyleComposer* composer) {
    composer->scrollValid = 0;
    composer->scrollText[0] = 0;
}

void resetNewStyleScroll() {
    forgetNewStyleScroll(&gPanelComposers.newStyle);
}

// The scroll text is rendered into the composer's strip once per text; each
// composition copies the visible window of it. The elapsed distance is
// computed in 64 bits so that a board left unpainted for a long time simply
// restarts its scroll instead of jumping to a wrapped position.
static void drawScroll(NewStyleComposer* composer, const BoardDocument& document, uint32_t now) {
    const NewStyleMessage& msg = document.msg;
    uint8_t* strip = composer->scrollStrip;
    if (composer->scrollValid == 0 || !textEquals(composer->scrollText, msg.scrollText)) {
        copyText(composer->scrollText, msg.scrollText);
        std::memset(strip, 0, sizeof composer->scrollStrip);
        composer->scrollWidth = drawLedText(msg.scrollText, LANGUAGE_JAPANESE, 17, 700, NEW_STYLE_SCROLL_ROWS,
                                            strip, NEW_STYLE_SCROLL_WIDTH, NEW_STYLE_SCROLL_WIDTH,
                                            NEW_STYLE_SCROLL_ROWS, 0, 0, LED_GREEN, 0, 0);
        composer->scrollStart = now;
        composer->scrollValid = 1;
    }
    const int64_t speed = document.scroll > 0 ? document.scroll : NEW_STYLE_DEFAULT_SCROLL_SPEED;
    const uint32_t elapsed = now - composer->scrollStart;
    int64_t l = NEW_STYLE_COLUMNS -
                static_cast<int64_t>(static_cast<uint64_t>(elapsed) * static_cast<uint64_t>(speed) / 1000u);
    const int32_t width = composer->scrollWidth;
    if (width + l < 0) {
        composer->scrollStart = now;
        l = NEW_STYLE_COLUMNS;
    }
    for (int32_t i = 0; i < NEW_STYLE_COLUMNS; ++i) {
        const int64_t source = i - l;
        if (source < 0 || source >= width) {
            continue;
        }
        for (int32_t r = 0; r < NEW_STYLE_SCROLL_ROWS; ++r) {
            const uint8_t v = strip[r * NEW_STYLE_SCROLL_WIDTH + source];
            if (v != 0) {
                gNewStyle.newStyleGrid.dots[(SCROLL_TOP + r) * NEW_STYLE_STRIDE + i] = v;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Position diagram

struct StationBox {
    int32_t left;
    int32_t right;
    int32_t nameX;
};
static constexpr StationBox STATIONS[STATION_COUNT] = {{2, 50, 54}, {143, 189, 195}, {286, 332, 336}};
static constexpr int32_t ARROW_X[2] = {102, 245};

// Position p counts back from station 2 in half-steps: at station 2,
// between 1 and 2, at station 1, between 0 and 1; other values highlight
// nothing. The current place blinks every 600 ms between the train picture
// and its plain look. Station names show their slot-0 text in every
// language; labels are short codes.
void drawPositionDiagram(const NewStyleMessage& msg, uint32_t now) {
    const bool highlight = now % 1200u < 600u;
    const int32_t arrowPhase = static_cast<int32_t>((now / 250u) % 4u);
    const int32_t p = msg.position;
    const int32_t currentStation = p == 0 ? 2 : (p == 2 ? 1 : -1);
    const int32_t currentArrow = p == 1 ? 1 : (p == 3 ? 0 : -1);

    for (int32_t i = 0; i < STATION_COUNT; ++i) {
        const int32_t left = STATIONS[i].left;
        const int32_t right = STATIONS[i].right;
        if (i == currentStation && highlight) {
            for (int32_t y = 27; y <= 44; ++y) {
                const int32_t q = 64 - (y - 35) * (y - 35);
                const int32_t m = q > 0 ? floorSqrt(q) : 0;
                ledLine(left + 8 - m, right - 8 + m, y, LED_AMBER);
            }
            ledTrainPicture(left + (right - left - 34) / 2, 29);
        } else {
            ledStadium(left, 27, right, 44, LED_AMBER);
            int32_t labelX = 0;
            int32_t labelWidth = 0;
            if (i == 0) {
                ledRing(left + 9, 36);
                labelX = (left + right + 16) / 2;
                labelWidth = right - left - 20;
            } else {
                labelX = (left + right) / 2;
                labelWidth = right - left - 6;
            }
            gridText(msg.stationLabels[i], LANGUAGE_ENGLISH, 14, 400, 17, labelX, 28, LED_WHITE, labelWidth,
                     1);
        }
        gridText(msg.stationNames[i].text[0], LANGUAGE_JAPANESE, 16, 700, 20, STATIONS[i].nameX, 26,
                 LED_WHITE, 46, 0);
    }
    for (int32_t j = 0; j < 2; ++j) {
        if (j == currentArrow && highlight) {
            ledTrainPicture(ARROW_X[j] - 1, 30);
        } else {
            ledChevrons(ARROW_X[j], 36, arrowPhase);
        }
    }
}

// ---------------------------------------------------------------------------
// Composition

void composeNewStyleDots(NewStyleComposer* composer, const BoardDocument& document, uint32_t now,
                         const BoardStatus& status) {
    const int32_t language = currentLanguage(document, now);
    const bool blinkOn = blinkPhaseOn(document, now);
    std::memset(gNewStyle.newStyleGrid.dots, 0, sizeof gNewStyle.newStyleGrid.dots);

    // Without a document, or with one too old to trust, the panel says only
    // how the link is doing.
    if (status.serverOk == 0 || now - status.lastFetchOkTick > STALE_LINK_MS) {
        if (status.serverOk == 0) {
            gridText(u"サーバーに接続しています", LANGUAGE_JAPANESE, 18, 700, 24, 192, 12, LED_WHITE, 376, 1);
        } else {
            gridText(u"サーバーと通信できません", LANGUAGE_JAPANESE, 18, 700, 24, 192, 12, LED_AMBER_TEXT,
                     376, 1);
        }
        return;
    }

    const NewStyleRow& row = document.row;
    if (row.kind == ROW_TRAIN) {
        drawTrainLine(0, row.time, row.blink, row.trainTexts, language, blinkOn);
    } else if (row.kind == ROW_TEXT) {
        gridText(langText(row.texts, language), language, 18, 700, 24, 192, 0, LED_WHITE, 376, 1);
    }

    const NewStyleMessage& msg = document.msg;
    if (msg.kind != MSG_SCROLL) {
        forgetNewStyleScroll(composer);
    }
    switch (msg.kind) {
        case MSG_SCROLL:
            drawScroll(composer, document, now);
            break;
        case MSG_FRAME:
            ledRect(1, 25, 382, 46, LED_AMBER);
            gridText(langText(msg.texts, language), language, 16, 700, 20, 192, 26, LED_AMBER_TEXT, 372, 1);
            break;
        case MSG_APPROACH: {
            for (int32_t y = 25; y <= 46; ++y) {
                ledLine(0, 185, y, LED_AMBER);
            }
            // Unlit letters cut out of the lit block.
            gridText(msg.texts.text[0], LANGUAGE_JAPANESE, 18, 700, 22, 93, 25, LED_UNLIT, 176, 1);
            ledRect(188, 25, 382, 46, LED_AMBER);
            const int32_t side = language == LANGUAGE_JAPANESE ? LANGUAGE_ENGLISH : language;
            gridText(langText(msg.texts2, side), side, 16, 700, 20, 286, 26, LED_AMBER_TEXT, 184, 1);
            break;
        }
        case MSG_POS:
            drawPositionDiagram(msg, now);
            break;
        case MSG_TRAIN:
            drawTrainLine(24, msg.time, msg.blink, msg.texts, language, blinkOn);
            break;
        default:
            break;
    }
}

void composeNewStyleLeds(uint32_t now, const BoardStatus& status) {
    composeNewStyleDots(&gPanelComposers.newStyle, gDocuments.currentDocument, now, status);
}
