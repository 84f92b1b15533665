// The new-style sign's header texts: each text is measured and placed
// before any is drawn, the measures of recent texts are reused, and groups
// of texts drawn before are copied back instead of being drawn again. Used by
// the sign's header drawing (newstyle_sign.cpp) through newstyle_canvas.h;
// drawCanvasText is also the one-text entry point of newstyle.h.
#include <algorithm>
#include <cstring>

#include "render/newstyle.h"
#include "render/newstyle_canvas.h"
#include "render/pixelpatch.h"

// One header text as drawCanvasText placed it: where it goes and the font
// that draws it.
struct PlacedText {
    const char16_t* text;  // the document's text (still in place when drawn)
    int32_t length;        // its length
    int32_t slot;          // font slot
    int32_t height;        // font height in pixels
    int32_t fontWidth;     // average character width asked of the font, 0 for its own
    int32_t weight;        // font weight
    uint32_t colour;       // drawing colour
    int32_t px;            // top-left of its cell on the surface
    int32_t py;
    int32_t w;           // measured width in pixels
    int32_t cellHeight;  // cell height in pixels
    int32_t slack;       // pixels the glyphs may reach past the cell
    bool fill;           // not a text but the box (unitX, unitY, unitW, unitH) filled in colour
    int32_t unitX;       // that box in canvas units
    int32_t unitY;
    int32_t unitW;
    int32_t unitH;
};
// The header's six texts and the line badge, with room to spare.
static constexpr int32_t MAX_HEADER_TEXTS = 8;
// The header's texts while they are placed.
struct HeaderPlacing {
    // While set, drawCanvasText places its text in placedTexts instead of
    // drawing it, so that the header knows where every text goes first.
    bool placing;
    PlacedText placedTexts[MAX_HEADER_TEXTS];  // the texts placed so far
    int32_t placedCount;                       // how many
};
static HeaderPlacing gPlacing;

// A header text's measure in the font that draws it.
struct CanvasTextSize {
    int32_t w;           // width in pixels
    int32_t cellHeight;  // cell height in pixels
    int32_t fontWidth;   // average character width asked of the font, 0 for its own
};

// Selects the font for a text of height h and measures it. A text wider than
// m pixels (m > 0) is measured again with a narrower font, at most twice,
// so it can stay a little wider than asked. Leaves the font selected; 0 when
// no font could be selected.
static int32_t measureCanvasText(const char16_t* text, int32_t length, int32_t slot, int32_t h,
                                 int32_t weight, int32_t m, CanvasTextSize* size) {
    int32_t average = 0;
    int32_t cellHeight = 0;
    if (gHeaderTexts.headerText->select(slot, h, 0, weight, &average, &cellHeight) == 0) {
        return 0;
    }
    int32_t w = gHeaderTexts.headerText->measure(text, length);
    int32_t fontWidth = 0;
    if (m > 0 && m < w) {
        int32_t a = average;
        for (int32_t attempt = 0; attempt < 2 && m < w; ++attempt) {
            a = static_cast<int32_t>(static_cast<int64_t>(m) * a / w);
            if (a < 1) {
                a = 1;
            }
            fontWidth = a;
            if (gHeaderTexts.headerText->select(slot, h, a, weight, &average, &cellHeight) == 0) {
                return 0;
            }
            w = gHeaderTexts.headerText->measure(text, length);
        }
    }
    *size = {w, cellHeight, fontWidth};
    return 1;
}

// The measures of the last header texts placed: measuring with the fonts
// costs more than anything else in a new header, and a new header mostly
// repeats the texts of the last one. Forgotten with the fonts or the text
// source (forgetHeaderStrip).
struct KnownTextSize {
    char16_t text[VIA_EN_CAPACITY];  // the text
    int32_t length;                  // its length, 0 for an empty entry
    int32_t slot;                    // font slot, height and weight
    int32_t height;
    int32_t weight;
    int32_t maxWidth;     // widest it was asked to be, in pixels
    CanvasTextSize size;  // what measureCanvasText found
};
static constexpr int32_t KNOWN_TEXT_SIZES = 16;
struct KnownTextSizes {
    KnownTextSize knownTextSizes[KNOWN_TEXT_SIZES];  // the measures, round-robin
    int32_t nextKnownTextSize;                       // the entry the next measure replaces
};
static KnownTextSizes gKnownSizes;

void forgetTextSizes() {
    for (KnownTextSize& k : gKnownSizes.knownTextSizes) {
        k.length = 0;
    }
}

static bool recallTextSize(const char16_t* text, int32_t length, int32_t slot, int32_t h, int32_t weight,
                           int32_t m, CanvasTextSize* size) {
    for (const KnownTextSize& k : gKnownSizes.knownTextSizes) {
        if (k.length == length && k.slot == slot && k.height == h && k.weight == weight && k.maxWidth == m &&
            std::memcmp(k.text, text, static_cast<size_t>(length) * sizeof(char16_t)) == 0) {
            *size = k.size;
            return true;
        }
    }
    return false;
}

static void rememberTextSize(const char16_t* text, int32_t length, int32_t slot, int32_t h, int32_t weight,
                             int32_t m, const CanvasTextSize& size) {
    if (length <= 0 || length >= VIA_EN_CAPACITY) {
        return;
    }
    KnownTextSize& k = gKnownSizes.knownTextSizes[gKnownSizes.nextKnownTextSize];
    gKnownSizes.nextKnownTextSize = (gKnownSizes.nextKnownTextSize + 1) % KNOWN_TEXT_SIZES;
    std::memcpy(k.text, text, static_cast<size_t>(length) * sizeof(char16_t));
    k.length = length;
    k.slot = slot;
    k.height = h;
    k.weight = weight;
    k.maxWidth = m;
    k.size = size;
}

// One line of header text; returns its width in canvas units so that the
// caller can chain texts. A text wider than maxWidth is drawn with a
// narrower font (see measureCanvasText). While the header places its texts,
// the measure of a text placed before is reused.
int32_t drawCanvasText(const char16_t* text, int32_t x, int32_t y, int32_t height, int32_t slot,
                       int32_t weight, uint32_t colour, int32_t maxWidth, int32_t align) {
    const NewStyleView& v = gNewStyle.newStyleView;
    const int32_t h = unitsToPixels(height);
    if (text == nullptr || text[0] == 0 || h <= 3 || gHeaderTexts.headerText == nullptr) {
        return 0;
    }
    const int32_t length = textLength(text);
    const int32_t m = unitsToPixels(maxWidth);
    CanvasTextSize size{};
    if (!(gPlacing.placing && recallTextSize(text, length, slot, h, weight, m, &size))) {
        if (measureCanvasText(text, length, slot, h, weight, m, &size) == 0) {
            return 0;
        }
        if (gPlacing.placing) {
            rememberTextSize(text, length, slot, h, weight, m, size);
        }
    }
    const int32_t w = size.w;
    const int32_t cellHeight = size.cellHeight;
    const int32_t fontWidth = size.fontWidth;
    int32_t px = v.originX + unitsToPixels(x);
    if (align == ALIGN_CENTRE) {
        px -= w / 2;
    } else if (align == ALIGN_RIGHT) {
        px -= w;
    }
    const int32_t py = v.originY + unitsToPixels(y) - cellHeight / 2;
    // Glyphs may reach a little past their cell (overhangs, antialiased
    // edges); an eighth of the cell height is allowed for that.
    const int32_t slack = cellHeight / 8 + 1;
    const int32_t scale = v.scale / 1000;
    if (px - slack < v.originX || py - slack < v.originY ||
        px + w + slack > v.originX + CANVAS_WIDTH * scale ||
        py + cellHeight + slack > v.originY + CANVAS_HEIGHT * scale) {
        gHeaderTexts.headerTextOutsideCanvas = true;
    }
    const int32_t panelLeft = v.originX + LED_LEFT_UNIT * scale;
    const int32_t panelTop = v.originY + LED_TOP_UNIT * scale;
    if (px + w + slack > panelLeft && px - slack < panelLeft + NEW_STYLE_COLUMNS * scale &&
        py + cellHeight + slack > panelTop && py - slack < panelTop + NEW_STYLE_ROWS * scale) {
        gHeaderTexts.headerTextOverPanel = true;
    }
    gHeaderTexts.headerReach[0] = std::min<int64_t>(gHeaderTexts.headerReach[0], px - slack);
    gHeaderTexts.headerReach[1] = std::min<int64_t>(gHeaderTexts.headerReach[1], py - slack);
    gHeaderTexts.headerReach[2] =
        std::max<int64_t>(gHeaderTexts.headerReach[2], static_cast<int64_t>(px) + w + slack);
    gHeaderTexts.headerReach[3] =
        std::max<int64_t>(gHeaderTexts.headerReach[3], static_cast<int64_t>(py) + cellHeight + slack);
    if (gPlacing.placing) {
        if (gPlacing.placedCount < MAX_HEADER_TEXTS) {
            gPlacing.placedTexts[gPlacing.placedCount++] = {text,   length, slot, h, fontWidth,  weight,
                                                            colour, px,     py,   w, cellHeight, slack,
                                                            false,  0,      0,    0, 0};
        }
    } else {
        gHeaderTexts.headerText->draw(text, length, px, py, colour);
    }
    return static_cast<int32_t>(static_cast<int64_t>(w) * 1000 / v.scale);
}

// The pixels of the last header texts drawn, kept in groups so that a new
// header draws again only the texts that changed (a new direction keeps the
// platform and the line name as they were). The texts are grouped by their
// boxes (cell plus the slack the glyphs may reach): texts whose boxes meet
// form one group, and groups whose bounding boxes meet are merged, so that a
// group's box holds the strip's bands and badges - fixed by the side, line
// colour and scale - and the ink of its own texts alone (see groupKeepable
// for what else it may cover). Kept boxes share one block, reserved with
// the strip for each scale and emptied when full; new fonts or another text
// source forget them.
struct TextBox {
    int32_t x;  // surface pixels
    int32_t y;
    int32_t w;
    int32_t h;
};

struct KeptGroup {
    int32_t count;                                      // texts in the group
    PlacedText placed[MAX_HEADER_TEXTS];                // where and with which font (text not used)
    char16_t texts[MAX_HEADER_TEXTS][VIA_EN_CAPACITY];  // the texts as drawn
    TextBox box;                                        // the group's box on the surface
    char16_t side;                                      // the header's side, line colour, scale
    uint32_t color;                                     // and background, which decide what lies
    uint32_t backgroundColor;                           // under the texts
    int32_t scale;
    const HeaderTextSource* source;  // the source that drew them
    int64_t offset;                  // its pixels in keptTextPixels
    bool valid;                      // holds a group
};
static constexpr int32_t KEPT_GROUPS = 12;
struct KeptTexts {
    KeptGroup keptGroups[KEPT_GROUPS];  // the groups, round-robin
    int32_t nextKeptGroup;              // the group the next one replaces
    PixelPatch keptTextPixels;          // the groups' boxes one after another
    int64_t keptTextPixelsUsed;         // pixels of keptTextPixels in use
};
static KeptTexts gKeptTexts;

void forgetKeptTexts() {
    for (KeptGroup& k : gKeptTexts.keptGroups) {
        k.valid = false;
    }
    gKeptTexts.keptTextPixelsUsed = 0;
}

static TextBox boxOf(const PlacedText& t) {
    return {t.px - t.slack, t.py - t.slack, t.w + 2 * t.slack, t.cellHeight + 2 * t.slack};
}

static bool boxesMeet(const TextBox& a, const TextBox& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

static TextBox unionOf(const TextBox& a, const TextBox& b) {
    const int32_t x = std::min(a.x, b.x);
    const int32_t y = std::min(a.y, b.y);
    return {x, y, std::max(a.x + a.w, b.x + b.w) - x, std::max(a.y + a.h, b.y + b.h) - y};
}

// Merges one pair of groups whose boxes meet; false when no two meet.
static bool mergeMeetingGroups(int32_t* group, TextBox* boxes) {
    for (int32_t a = 0; a < gPlacing.placedCount; ++a) {
        for (int32_t b = a + 1; b < gPlacing.placedCount; ++b) {
            if (group[a] != a || group[b] != b || !boxesMeet(boxes[a], boxes[b])) {
                continue;
            }
            boxes[a] = unionOf(boxes[a], boxes[b]);
            for (int32_t i = 0; i < gPlacing.placedCount; ++i) {
                group[i] = group[i] == b ? a : group[i];
            }
            return true;
        }
    }
    return false;
}

// Groups the placed texts: group[i] is the group of text i (the index of its
// first text), boxes[g] the box of group g.
static void groupPlacedTexts(int32_t* group, TextBox* boxes) {
    for (int32_t i = 0; i < gPlacing.placedCount; ++i) {
        group[i] = i;
        boxes[i] = boxOf(gPlacing.placedTexts[i]);
    }
    while (mergeMeetingGroups(group, boxes)) {
    }
}

// Whether a group's box can be kept and copied back: it lies on the surface
// and ends above the LED panel. Under the texts, before they are drawn,
// there is only what the key holds: the strip's bands and badges, the body
// and housing (painted again after the texts) and, outside the canvas, the
// background colour.
static bool groupKeepable(const TextBox& box) {
    const int32_t s = gNewStyle.newStyleView.scale / 1000;
    return gKeptTexts.keptTextPixels.pixels != nullptr && box.w > 0 && box.h > 0 && box.x >= 0 &&
           box.y >= 0 && box.x + box.w <= gRender.boardSurface.width &&
           box.y + box.h <= gRender.boardSurface.height &&
           box.y + box.h <= gNewStyle.newStyleView.originY + LED_TOP_UNIT * s;
}

static bool samePlacement(const PlacedText& p, const PlacedText& t) {
    return p.fill == t.fill && p.unitX == t.unitX && p.unitY == t.unitY && p.unitW == t.unitW &&
           p.unitH == t.unitH && p.length == t.length && p.slot == t.slot && p.height == t.height &&
           p.fontWidth == t.fontWidth && p.weight == t.weight && p.colour == t.colour && p.px == t.px &&
           p.py == t.py && p.w == t.w && p.cellHeight == t.cellHeight && p.slack == t.slack;
}

// The kept group holding exactly the texts of group g, or none.
static const KeptGroup* findKeptGroup(const int32_t* group, int32_t g) {
    for (const KeptGroup& k : gKeptTexts.keptGroups) {
        if (!k.valid || k.side != gDocuments.currentDocument.side ||
            k.color != gDocuments.currentDocument.color ||
            k.backgroundColor != gSettings.settings.backgroundColor ||
            k.scale != gNewStyle.newStyleView.scale || k.source != gHeaderTexts.headerText) {
            continue;
        }
        int32_t n = 0;
        bool same = true;
        for (int32_t i = 0; i < gPlacing.placedCount && same; ++i) {
            if (group[i] != g) {
                continue;
            }
            const PlacedText& t = gPlacing.placedTexts[i];
            same = n < k.count && samePlacement(k.placed[n], t) &&
                   std::memcmp(k.texts[n], t.text, static_cast<size_t>(t.length) * sizeof(char16_t)) == 0;
            ++n;
        }
        if (same && n == k.count) {
            return &k;
        }
    }
    return nullptr;
}

// Copies a kept group's box to or from the kept block.
static void copyKeptBox(const KeptGroup& k, bool toSurface) {
    const TextBox& box = k.box;
    for (int32_t r = 0; r < box.h; ++r) {
        uint32_t* surface = gRender.boardSurface.pixels +
                            (static_cast<int64_t>(box.y) + r) * gRender.boardSurface.width + box.x;
        uint32_t* kept = gKeptTexts.keptTextPixels.pixels + k.offset + static_cast<int64_t>(r) * box.w;
        std::memcpy(toSurface ? surface : kept, toSurface ? kept : surface,
                    static_cast<size_t>(box.w) * sizeof(uint32_t));
    }
}

static void keepGroup(const int32_t* group, int32_t g, const TextBox& box) {
    const int64_t size = static_cast<int64_t>(box.w) * box.h;
    if (size > gKeptTexts.keptTextPixels.capacity) {
        return;
    }
    if (gKeptTexts.keptTextPixelsUsed + size > gKeptTexts.keptTextPixels.capacity) {
        forgetKeptTexts();
    }
    KeptGroup& k = gKeptTexts.keptGroups[gKeptTexts.nextKeptGroup];
    gKeptTexts.nextKeptGroup = (gKeptTexts.nextKeptGroup + 1) % KEPT_GROUPS;
    k.count = 0;
    for (int32_t i = 0; i < gPlacing.placedCount; ++i) {
        const PlacedText& t = gPlacing.placedTexts[i];
        if (group[i] != g || t.length >= VIA_EN_CAPACITY) {
            continue;
        }
        std::memcpy(k.texts[k.count], t.text, static_cast<size_t>(t.length) * sizeof(char16_t));
        k.placed[k.count] = t;
        k.placed[k.count].text = nullptr;
        ++k.count;
    }
    k.box = box;
    k.side = gDocuments.currentDocument.side;
    k.color = gDocuments.currentDocument.color;
    k.backgroundColor = gSettings.settings.backgroundColor;
    k.scale = gNewStyle.newStyleView.scale;
    k.source = gHeaderTexts.headerText;
    k.offset = gKeptTexts.keptTextPixelsUsed;
    gKeptTexts.keptTextPixelsUsed += size;
    k.valid = true;
    copyKeptBox(k, false);
}

// Draws the placed texts group by group: a group kept from an earlier
// header is copied back, any other is drawn in the texts' order (and kept
// when it can be). Groups do not meet, so their order does not matter.
void drawPlacedTexts() {
    gPlacing.placing = false;
    int32_t group[MAX_HEADER_TEXTS];
    TextBox boxes[MAX_HEADER_TEXTS];
    groupPlacedTexts(group, boxes);
    for (int32_t g = 0; g < gPlacing.placedCount; ++g) {
        if (group[g] != g) {
            continue;
        }
        bool keepable = groupKeepable(boxes[g]);
        for (int32_t i = 0; i < gPlacing.placedCount; ++i) {
            keepable = keepable && (group[i] != g || gPlacing.placedTexts[i].length < VIA_EN_CAPACITY);
        }
        const KeptGroup* kept = keepable ? findKeptGroup(group, g) : nullptr;
        if (kept != nullptr) {
            flushBoardSurface();
            copyKeptBox(*kept, true);
            continue;
        }
        for (int32_t i = 0; i < gPlacing.placedCount; ++i) {
            const PlacedText& t = gPlacing.placedTexts[i];
            int32_t average = 0;
            int32_t cellHeight = 0;
            if (group[i] != g) {
                continue;
            }
            if (t.fill) {
                canvasFill(t.unitX, t.unitY, t.unitW, t.unitH, t.colour);
            } else if (gHeaderTexts.headerText->select(t.slot, t.height, t.fontWidth, t.weight, &average,
                                                       &cellHeight) != 0) {
                gHeaderTexts.headerText->draw(t.text, t.length, t.px, t.py, t.colour);
            }
        }
        if (keepable) {
            flushBoardSurface();
            keepGroup(group, g, boxes[g]);
        }
    }
}

// Places a plain box among the header's texts, to be filled in its turn.
void placeCanvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    if (gPlacing.placedCount >= MAX_HEADER_TEXTS) {
        canvasFill(x, y, w, h, colour);
        return;
    }
    const int32_t left = gNewStyle.newStyleView.originX + unitsToPixels(x);
    const int32_t top = gNewStyle.newStyleView.originY + unitsToPixels(y);
    const int32_t right = gNewStyle.newStyleView.originX + unitsToPixels(x + w);
    const int32_t bottom = gNewStyle.newStyleView.originY + unitsToPixels(y + h);
    gPlacing.placedTexts[gPlacing.placedCount++] = {
        u"", 0, 0, 0, 0, 0, colour, left, top, right - left, bottom - top, 0, true, x, y, w, h};
}

void beginHeaderTexts() {
    gPlacing.placing = true;
    gPlacing.placedCount = 0;
}

void reserveKeptTexts(int32_t s) {
    reservePixelPatch(gKeptTexts.keptTextPixels,
                      2 * static_cast<int64_t>(CANVAS_WIDTH) * s * HEADER_STRIP_UNITS * s, false);
    forgetKeptTexts();
}
