// The new-style station sign: a fixed 400 x 79 unit canvas scaled by a whole
// number of pixels per unit and centred in the surface, with a light header
// (platform badge, line badge, direction in two languages, badges on the
// left or right), a grey body and a black LED panel whose 384 x 48 dots are
// copied from per-scale round-dot sprites. The header, body and housing are
// redrawn only when what they show changed (or a full paint was asked for);
// every paint composes the LEDs and copies the whole panel. Fonts come from
// the caches, so a steady paint creates none.
#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "render/newstyle.h"
#include "render/pixelpatch.h"
#include "render/spritecells.h"

NewStyleView newStyleView;
NewStyleSprites newStyleSprites;

static const HeaderTextSource* headerText = nullptr;

// What the header and frame of the last full paint were drawn from. While
// it all stays the same, only the LED panel is drawn again: the rest of the
// surface already holds what a full paint would draw there. When only the
// header's own content changed (texts, side, line colour), the header strip
// and the frame are drawn again, but the background around the canvas is
// left as it is unless a text of the old header reached out over it.
struct NewStyleHeaderKey {
    uint32_t generation;  // surfaceGeneration of the full paint
    int32_t surfaceWidth;
    int32_t surfaceHeight;
    NewStyleView view;
    uint32_t backgroundColor;
    const HeaderTextSource* headerText;
    char16_t side;
    uint32_t color;
    char16_t platform[PLATFORM_CAPACITY];
    char16_t lineJp[LINE_JP_CAPACITY];
    char16_t lineEn[LINE_EN_CAPACITY];
    char16_t viaJp[VIA_JP_CAPACITY];
    char16_t viaEn[VIA_EN_CAPACITY];
};
static NewStyleHeaderKey paintedHeader;
static bool headerPainted = false;
// Set when a header text was drawn (partly) outside the canvas.
static bool headerTextOutsideCanvas = false;
// Set when a header text was drawn (partly) over the LED panel.
static bool headerTextOverPanel = false;
// The box (left, top, right, bottom, in surface pixels) that the header
// texts drawn since the last drawHeaderStrip may have inked, slack included.
static int64_t headerReach[4] = {0, 0, 0, 0};

// The dots the LED panel on the surface shows, valid while nothing but the
// blit has drawn there since; a blit then copies only the dot rows that
// changed.
static NewStyleGrid presentedGrid;
static bool presentedGridValid = false;

void forceNewStyleFullPaint() {
    headerPainted = false;
}

// The surface (nothing re-created or drawn over it since), its size, the
// view and the background are those of the last full paint: everything
// outside the header strip is still in place.
static bool frameUnchanged() {
    const NewStyleHeaderKey& k = paintedHeader;
    return headerPainted && k.generation == surfaceGeneration && k.surfaceWidth == boardSurface.width &&
           k.surfaceHeight == boardSurface.height && k.view.scale == newStyleView.scale &&
           k.view.originX == newStyleView.originX && k.view.originY == newStyleView.originY &&
           k.backgroundColor == settings.backgroundColor && k.headerText == headerText;
}

// Everything the header strip's pixels are drawn from, whatever the surface
// generation and background.
static bool headerContentMatches(const NewStyleHeaderKey& k) {
    const BoardDocument& d = currentDocument;
    return k.view.scale == newStyleView.scale && k.view.originX == newStyleView.originX &&
           k.view.originY == newStyleView.originY && k.backgroundColor == settings.backgroundColor &&
           k.headerText == headerText && k.side == d.side && k.color == d.color &&
           textEquals(k.platform, d.platform) && textEquals(k.lineJp, d.lineJp) &&
           textEquals(k.lineEn, d.lineEn) && textEquals(k.viaJp, d.viaJp) && textEquals(k.viaEn, d.viaEn);
}

static bool headerUnchanged() {
    return frameUnchanged() && headerContentMatches(paintedHeader);
}

static void rememberHeaderIn(NewStyleHeaderKey& k) {
    const BoardDocument& d = currentDocument;
    k.generation = surfaceGeneration;
    k.surfaceWidth = boardSurface.width;
    k.surfaceHeight = boardSurface.height;
    k.view = newStyleView;
    k.backgroundColor = settings.backgroundColor;
    k.headerText = headerText;
    k.side = d.side;
    k.color = d.color;
    copyText(k.platform, d.platform);
    copyText(k.lineJp, d.lineJp);
    copyText(k.lineEn, d.lineEn);
    copyText(k.viaJp, d.viaJp);
    copyText(k.viaEn, d.viaEn);
}

static void rememberHeader() {
    rememberHeaderIn(paintedHeader);
    headerPainted = true;
}

// The header as the last paint that drew its texts left it: the strip (the
// canvas's top 19 units: bands, badges and texts) and as much around it as
// the texts may have reached, and what it was drawn from. A full paint with
// the same header copies it back instead of drawing the texts again. The
// texts are drawn on the strip and, outside the canvas, on the background
// just filled, so the same header always leaves the same pixels there; what
// reaches below the strip on the canvas is painted over by the body and
// housing, drawn again after the copy. Not kept when a text may have
// reached the LED panel's rows. The block is reserved with the sprites for each scale; new fonts
// forget it (forgetHeaderStrip).
static PixelPatch headerStrip;
static NewStyleHeaderKey headerStripKey;
static bool headerStripOutsideCanvas = false;  // headerTextOutsideCanvas when it was kept
// Canvas units around the strip that the block has room for.
static constexpr int32_t HEADER_STRIP_MARGIN_UNITS = 8;

static void forgetKeptTexts();
static void forgetTextSizes();

void forgetHeaderStrip() {
    headerStrip.valid = false;
    forgetKeptTexts();
    forgetTextSizes();
}

// The paint installs the same source before every frame; only another
// source means the header must be drawn again.
void setHeaderTextSource(const HeaderTextSource* source) {
    if (source != headerText) {
        headerText = source;
        headerPainted = false;
        // Texts from another source may look different.
        forgetHeaderStrip();
    }
}

// A drawing colour (0x00BBGGRR) from red, green and blue.
static constexpr uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) {
    return r | (g << 8) | (b << 16);
}

static constexpr uint32_t HEADER_STRIP = rgb(208, 211, 214);
static constexpr uint32_t TOP_HIGHLIGHT = rgb(222, 225, 227);
static constexpr uint32_t BADGE_FILL = rgb(255, 255, 255);
static constexpr uint32_t BADGE_OUTLINE = rgb(85, 85, 85);
static constexpr uint32_t PLATFORM_TEXT = rgb(0, 0, 0);
static constexpr uint32_t LINE_NAME_TEXT = rgb(17, 17, 17);
static constexpr uint32_t VIA_JP_TEXT = rgb(26, 26, 26);
static constexpr uint32_t VIA_EN_TEXT = rgb(58, 58, 58);
static constexpr uint32_t BODY = rgb(158, 162, 165);
static constexpr uint32_t LED_HOUSING = rgb(42, 42, 44);
static constexpr uint32_t LED_PANEL = rgb(5, 5, 5);

static constexpr int32_t LED_LEFT_UNIT = 8;
static constexpr int32_t HEADER_STRIP_UNITS = 19;
static constexpr int32_t LED_TOP_UNIT = 22;

NewStyleView computeNewStyleView(int32_t surfaceWidth, int32_t surfaceHeight) {
    int32_t s = surfaceWidth / CANVAS_WIDTH;
    const int32_t byHeight = surfaceHeight / CANVAS_HEIGHT;
    if (byHeight < s) {
        s = byHeight;
    }
    if (s < 1) {
        s = 1;
    }
    NewStyleView view{};
    view.scale = s * 1000;
    view.originX = (surfaceWidth - CANVAS_WIDTH * s) / 2;
    view.originY = (surfaceHeight - CANVAS_HEIGHT * s) / 2;
    return view;
}

// Canvas units to pixels along one axis.
static int32_t unitsToPixels(int32_t units) {
    return static_cast<int32_t>(static_cast<int64_t>(units) * newStyleView.scale / 1000);
}

void drawCanvasBox(int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius, int32_t hasFill, uint32_t fill,
                   int32_t outlineWidth, uint32_t outline) {
    const NewStyleView& v = newStyleView;
    const int32_t left = v.originX + unitsToPixels(x);
    const int32_t top = v.originY + unitsToPixels(y);
    // The extra pixel makes a box without outline cover exactly its units.
    const int32_t right = v.originX + unitsToPixels(x + w) + 1;
    const int32_t bottom = v.originY + unitsToPixels(y + h) + 1;
    const int32_t ellipse = static_cast<int32_t>(static_cast<int64_t>(radius) * v.scale * 2 / 1000);
    int32_t pen = 0;
    if (outlineWidth > 0) {
        pen = unitsToPixels(outlineWidth);
        if (pen < 1) {
            pen = 1;
        }
    }
    fillCanvasShape(left, top, right, bottom, ellipse, hasFill, fill, pen, outline);
}

static void canvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t fill) {
    drawCanvasBox(x, y, w, h, 0, 1, fill, 0, 0);
}

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
// The header's texts: six at most.
static constexpr int32_t MAX_HEADER_TEXTS = 8;
// While set, drawCanvasText places its text in placedTexts instead of
// drawing it, so that the header knows where every text goes first.
static bool placing = false;
static PlacedText placedTexts[MAX_HEADER_TEXTS];
static int32_t placedCount = 0;

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
    if (headerText->select(slot, h, 0, weight, &average, &cellHeight) == 0) {
        return 0;
    }
    int32_t w = headerText->measure(text, length);
    int32_t fontWidth = 0;
    if (m > 0 && m < w) {
        int32_t a = average;
        for (int32_t attempt = 0; attempt < 2 && m < w; ++attempt) {
            a = static_cast<int32_t>(static_cast<int64_t>(m) * a / w);
            if (a < 1) {
                a = 1;
            }
            fontWidth = a;
            if (headerText->select(slot, h, a, weight, &average, &cellHeight) == 0) {
                return 0;
            }
            w = headerText->measure(text, length);
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
static KnownTextSize knownTextSizes[KNOWN_TEXT_SIZES];
static int32_t nextKnownTextSize = 0;

static void forgetTextSizes() {
    for (KnownTextSize& k : knownTextSizes) {
        k.length = 0;
    }
}

static bool recallTextSize(const char16_t* text, int32_t length, int32_t slot, int32_t h, int32_t weight,
                           int32_t m, CanvasTextSize* size) {
    for (const KnownTextSize& k : knownTextSizes) {
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
    KnownTextSize& k = knownTextSizes[nextKnownTextSize];
    nextKnownTextSize = (nextKnownTextSize + 1) % KNOWN_TEXT_SIZES;
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
    const NewStyleView& v = newStyleView;
    const int32_t h = unitsToPixels(height);
    if (text == nullptr || text[0] == 0 || h <= 3 || headerText == nullptr) {
        return 0;
    }
    const int32_t length = textLength(text);
    const int32_t m = unitsToPixels(maxWidth);
    CanvasTextSize size{};
    if (!(placing && recallTextSize(text, length, slot, h, weight, m, &size))) {
        if (measureCanvasText(text, length, slot, h, weight, m, &size) == 0) {
            return 0;
        }
        if (placing) {
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
        headerTextOutsideCanvas = true;
    }
    const int32_t panelLeft = v.originX + LED_LEFT_UNIT * scale;
    const int32_t panelTop = v.originY + LED_TOP_UNIT * scale;
    if (px + w + slack > panelLeft && px - slack < panelLeft + NEW_STYLE_COLUMNS * scale &&
        py + cellHeight + slack > panelTop && py - slack < panelTop + NEW_STYLE_ROWS * scale) {
        headerTextOverPanel = true;
    }
    headerReach[0] = std::min<int64_t>(headerReach[0], px - slack);
    headerReach[1] = std::min<int64_t>(headerReach[1], py - slack);
    headerReach[2] = std::max<int64_t>(headerReach[2], static_cast<int64_t>(px) + w + slack);
    headerReach[3] = std::max<int64_t>(headerReach[3], static_cast<int64_t>(py) + cellHeight + slack);
    if (placing) {
        if (placedCount < MAX_HEADER_TEXTS) {
            placedTexts[placedCount++] = {text, length,     slot,  h,     fontWidth, weight, colour, px, py,
                                          w,    cellHeight, slack, false, 0,         0,      0,      0};
        }
    } else {
        headerText->draw(text, length, px, py, colour);
    }
    return static_cast<int32_t>(static_cast<int64_t>(w) * 1000 / v.scale);
}

// The document's 0x00RRGGBB line colour as a drawing colour.
static uint32_t lineColour() {
    const uint32_t c = currentDocument.color;
    return rgb((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

static bool gridCoversPanel(int32_t s);

// The pixels of the last header texts drawn, kept in groups so that a new
// header draws again only the texts that changed (a new direction keeps the
// platform and the line name as they were). The texts are grouped by their
// boxes (cell plus the slack the glyphs may reach): texts whose boxes meet
// form one group, and groups whose bounding boxes meet are merged, so that a
// group's box holds the strip's bands and badges - fixed by the side, line
// colour and scale - and the ink of its own texts alone (see groupKeepable
// for what else it may cover). Kept boxes share one
// block, reserved with the strip for each scale and emptied when full; new
// fonts or another text source forget them.
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
static KeptGroup keptGroups[KEPT_GROUPS];
static int32_t nextKeptGroup = 0;
static PixelPatch keptTextPixels;  // the groups' boxes one after another
static int64_t keptTextPixelsUsed = 0;

static void forgetKeptTexts() {
    for (KeptGroup& k : keptGroups) {
        k.valid = false;
    }
    keptTextPixelsUsed = 0;
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

// Groups the placed texts: group[i] is the group of text i (the index of its
// first text), boxes[g] the box of group g.
// Merges one pair of groups whose boxes meet; false when no two meet.
static bool mergeMeetingGroups(int32_t* group, TextBox* boxes) {
    for (int32_t a = 0; a < placedCount; ++a) {
        for (int32_t b = a + 1; b < placedCount; ++b) {
            if (group[a] != a || group[b] != b || !boxesMeet(boxes[a], boxes[b])) {
                continue;
            }
            boxes[a] = unionOf(boxes[a], boxes[b]);
            for (int32_t i = 0; i < placedCount; ++i) {
                group[i] = group[i] == b ? a : group[i];
            }
            return true;
        }
    }
    return false;
}

static void groupPlacedTexts(int32_t* group, TextBox* boxes) {
    for (int32_t i = 0; i < placedCount; ++i) {
        group[i] = i;
        boxes[i] = boxOf(placedTexts[i]);
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
    const int32_t s = newStyleView.scale / 1000;
    return keptTextPixels.pixels != nullptr && box.w > 0 && box.h > 0 && box.x >= 0 && box.y >= 0 &&
           box.x + box.w <= boardSurface.width && box.y + box.h <= boardSurface.height &&
           box.y + box.h <= newStyleView.originY + LED_TOP_UNIT * s;
}

static bool samePlacement(const PlacedText& p, const PlacedText& t) {
    return p.fill == t.fill && p.unitX == t.unitX && p.unitY == t.unitY && p.unitW == t.unitW &&
           p.unitH == t.unitH && p.length == t.length && p.slot == t.slot && p.height == t.height &&
           p.fontWidth == t.fontWidth && p.weight == t.weight && p.colour == t.colour && p.px == t.px &&
           p.py == t.py && p.w == t.w && p.cellHeight == t.cellHeight && p.slack == t.slack;
}

// The kept group holding exactly the texts of group g, or none.
static const KeptGroup* findKeptGroup(const int32_t* group, int32_t g) {
    for (const KeptGroup& k : keptGroups) {
        if (!k.valid || k.side != currentDocument.side || k.color != currentDocument.color ||
            k.backgroundColor != settings.backgroundColor || k.scale != newStyleView.scale ||
            k.source != headerText) {
            continue;
        }
        int32_t n = 0;
        bool same = true;
        for (int32_t i = 0; i < placedCount && same; ++i) {
            if (group[i] != g) {
                continue;
            }
            const PlacedText& t = placedTexts[i];
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
        uint32_t* surface =
            boardSurface.pixels + (static_cast<int64_t>(box.y) + r) * boardSurface.width + box.x;
        uint32_t* kept = keptTextPixels.pixels + k.offset + static_cast<int64_t>(r) * box.w;
        std::memcpy(toSurface ? surface : kept, toSurface ? kept : surface,
                    static_cast<size_t>(box.w) * sizeof(uint32_t));
    }
}

static void keepGroup(const int32_t* group, int32_t g, const TextBox& box) {
    const int64_t size = static_cast<int64_t>(box.w) * box.h;
    if (size > keptTextPixels.capacity) {
        return;
    }
    if (keptTextPixelsUsed + size > keptTextPixels.capacity) {
        forgetKeptTexts();
    }
    KeptGroup& k = keptGroups[nextKeptGroup];
    nextKeptGroup = (nextKeptGroup + 1) % KEPT_GROUPS;
    k.count = 0;
    for (int32_t i = 0; i < placedCount; ++i) {
        const PlacedText& t = placedTexts[i];
        if (group[i] != g || t.length >= VIA_EN_CAPACITY) {
            continue;
        }
        std::memcpy(k.texts[k.count], t.text, static_cast<size_t>(t.length) * sizeof(char16_t));
        k.placed[k.count] = t;
        k.placed[k.count].text = nullptr;
        ++k.count;
    }
    k.box = box;
    k.side = currentDocument.side;
    k.color = currentDocument.color;
    k.backgroundColor = settings.backgroundColor;
    k.scale = newStyleView.scale;
    k.source = headerText;
    k.offset = keptTextPixelsUsed;
    keptTextPixelsUsed += size;
    k.valid = true;
    copyKeptBox(k, false);
}

// Draws the placed texts group by group: a group kept from an earlier
// header is copied back, any other is drawn in the texts' order (and kept
// when it can be). Groups do not meet, so their order does not matter.
static void drawPlacedTexts() {
    int32_t group[MAX_HEADER_TEXTS];
    TextBox boxes[MAX_HEADER_TEXTS];
    groupPlacedTexts(group, boxes);
    for (int32_t g = 0; g < placedCount; ++g) {
        if (group[g] != g) {
            continue;
        }
        bool keepable = groupKeepable(boxes[g]);
        for (int32_t i = 0; i < placedCount; ++i) {
            keepable = keepable && (group[i] != g || placedTexts[i].length < VIA_EN_CAPACITY);
        }
        const KeptGroup* kept = keepable ? findKeptGroup(group, g) : nullptr;
        if (kept != nullptr) {
            flushBoardSurface();
            copyKeptBox(*kept, true);
            continue;
        }
        for (int32_t i = 0; i < placedCount; ++i) {
            const PlacedText& t = placedTexts[i];
            int32_t average = 0;
            int32_t cellHeight = 0;
            if (group[i] != g) {
                continue;
            }
            if (t.fill) {
                canvasFill(t.unitX, t.unitY, t.unitW, t.unitH, t.colour);
            } else if (headerText->select(t.slot, t.height, t.fontWidth, t.weight, &average, &cellHeight) !=
                       0) {
                headerText->draw(t.text, t.length, t.px, t.py, t.colour);
            }
        }
        if (keepable) {
            flushBoardSurface();
            keepGroup(group, g, boxes[g]);
        }
    }
}

// Places a plain box among the header's texts, to be filled in its turn.
static void placeCanvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    if (placedCount >= MAX_HEADER_TEXTS) {
        canvasFill(x, y, w, h, colour);
        return;
    }
    const int32_t left = newStyleView.originX + unitsToPixels(x);
    const int32_t top = newStyleView.originY + unitsToPixels(y);
    const int32_t right = newStyleView.originX + unitsToPixels(x + w);
    const int32_t bottom = newStyleView.originY + unitsToPixels(y + h);
    placedTexts[placedCount++] = {u"",          0, 0,    0, 0, 0, colour, left, top, right - left,
                                  bottom - top, 0, true, x, y, w, h};
}

static void drawHeaderStrip() {
    const BoardDocument& d = currentDocument;
    const bool right = d.side == u'R';
    const uint32_t line = lineColour();

    // Each box covers exactly its units, so the strip's three bands are
    // painted side by side rather than on top of each other.
    canvasFill(0, 0, 400, 6, TOP_HIGHLIGHT);
    canvasFill(0, 6, 400, 12, HEADER_STRIP);
    canvasFill(0, 18, 400, 1, line);

    drawCanvasBox(right ? 383 : 1, 2, 16, 15, 0, 1, BADGE_FILL, 1, BADGE_OUTLINE);

    placing = true;
    placedCount = 0;
    drawCanvasText(d.platform, right ? 391 : 9, 10, 15, 1, 700, PLATFORM_TEXT, 15, ALIGN_CENTRE);
    // The line badge goes over whatever of the platform number reached it.
    placeCanvasFill(right ? 352 : 18, 3, 30, 13, line);

    const int32_t lineX = right ? 367 : 33;
    drawCanvasText(d.lineJp, lineX, 7, 6, 0, 700, LINE_NAME_TEXT, 28, ALIGN_CENTRE);
    drawCanvasText(d.lineEn, lineX, 13, 4, 1, 400, LINE_NAME_TEXT, 28, ALIGN_CENTRE);

    if (!right) {
        const int32_t a = drawCanvasText(d.viaJp, 51, 10, 10, 0, 700, VIA_JP_TEXT, 160, ALIGN_LEFT);
        int32_t e = a + 52;
        const int32_t b = drawCanvasText(u"方面", e, 12, 5, 0, 700, VIA_JP_TEXT, 20, ALIGN_LEFT);
        e = e + b + 10;
        drawCanvasText(d.viaEn, e, 10, 7, 1, 700, VIA_EN_TEXT, 396 - e, ALIGN_LEFT);
    } else {
        const int32_t b = drawCanvasText(u"方面", 349, 12, 5, 0, 700, VIA_JP_TEXT, 20, ALIGN_RIGHT);
        int32_t e = 382 - b - 34;
        const int32_t a = drawCanvasText(d.viaJp, e, 10, 10, 0, 700, VIA_JP_TEXT, 160, ALIGN_RIGHT);
        e = e - a - 10;
        drawCanvasText(d.viaEn, e, 10, 7, 1, 700, VIA_EN_TEXT, e - 4, ALIGN_RIGHT);
    }
    placing = false;
    drawPlacedTexts();
}

// The body (0, 19, 400 x 60) around the housing (6, 20, 388 x 52) around the
// panel (8, 22, 384 x 48), each drawn as a frame around the next; the panel
// is left to the dot blit when that covers it. Drawn after the header's
// texts, so that a descender reaching below the strip is cut at the same
// line.
static void drawFrame() {
    canvasFill(0, 19, 400, 1, BODY);
    canvasFill(0, 72, 400, 7, BODY);
    canvasFill(0, 20, 6, 52, BODY);
    canvasFill(394, 20, 6, 52, BODY);
    canvasFill(6, 20, 388, 2, LED_HOUSING);
    canvasFill(6, 70, 388, 2, LED_HOUSING);
    canvasFill(6, 22, 2, 48, LED_HOUSING);
    canvasFill(392, 22, 2, 48, LED_HOUSING);
    if (!gridCoversPanel(newStyleView.scale / 1000)) {
        canvasFill(8, 22, 384, 48, LED_PANEL);
    }
}

// The header strip and the frame below it: the strip copied back when the
// same header was drawn before, else drawn (and kept when it can be).
static void drawHeaderAndFrame() {
    if (headerStrip.valid && headerContentMatches(headerStripKey)) {
        flushBoardSurface();
        if (restorePixelPatch(headerStrip)) {
            headerTextOutsideCanvas = headerStripOutsideCanvas;
            headerReach[0] = headerStrip.x;
            headerReach[1] = headerStrip.y;
            headerReach[2] = static_cast<int64_t>(headerStrip.x) + headerStrip.w;
            headerReach[3] = static_cast<int64_t>(headerStrip.y) + headerStrip.h;
            drawFrame();
            return;
        }
    }
    const int64_t s = newStyleView.scale / 1000;
    const int64_t left = newStyleView.originX;
    const int64_t top = newStyleView.originY;
    headerReach[0] = left;
    headerReach[1] = top;
    headerReach[2] = left + CANVAS_WIDTH * s;
    headerReach[3] = top + HEADER_STRIP_UNITS * s;
    drawHeaderStrip();
    drawFrame();
    headerStrip.valid = false;
    if (!headerTextOverPanel) {
        // The reach held to the surface: nothing is drawn beyond it.
        const int64_t x0 = std::max<int64_t>(headerReach[0], 0);
        const int64_t y0 = std::max<int64_t>(headerReach[1], 0);
        const int64_t x1 = std::min<int64_t>(headerReach[2], boardSurface.width);
        const int64_t y1 = std::min<int64_t>(headerReach[3], boardSurface.height);
        // Nothing of the LED panel is kept: its dots are the blit's.
        if (x0 < x1 && y0 < y1 && y1 <= top + LED_TOP_UNIT * s) {
            flushBoardSurface();
            savePixelPatch(headerStrip, static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                           static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0));
            rememberHeaderIn(headerStripKey);
            headerStripOutsideCanvas = headerTextOutsideCanvas;
        }
    }
}

static void buildNewStyleSprites(int32_t s) {
    presentedGridValid = false;
    heapFree(newStyleSprites.pixels);
    heapFree(newStyleSprites.runRows);
    newStyleSprites.pixels = nullptr;
    newStyleSprites.runRows = nullptr;
    newStyleSprites.scale = 0;
    newStyleSprites.mirrored = 0;
    const size_t count =
        static_cast<size_t>(NEW_STYLE_PALETTE_SIZE) * static_cast<size_t>(s) * static_cast<size_t>(s);
    auto* pixels = static_cast<uint32_t*>(heapAlloc(count * sizeof(uint32_t)));
    if (pixels == nullptr) {
        return;  // no dots until a later build succeeds
    }
    fillDotSprites(pixels, s, NEW_STYLE_PALETTE, NEW_STYLE_PALETTE_SIZE);
    newStyleSprites.pixels = pixels;
    newStyleSprites.scale = s;
    // Round dots are the same upside down; the blit then draws only the
    // upper half of each dot row and copies the rest.
    newStyleSprites.mirrored = 1;
    for (int32_t v = 0; v < NEW_STYLE_PALETTE_SIZE; ++v) {
        for (int32_t py = 0; py < s / 2; ++py) {
            const uint32_t* sprite = pixels + v * s * s;
            if (std::memcmp(sprite + py * s, sprite + (s - 1 - py) * s,
                            static_cast<size_t>(s) * sizeof(uint32_t)) != 0) {
                newStyleSprites.mirrored = 0;
            }
        }
    }

    const size_t rowPixels = static_cast<size_t>(NEW_STYLE_COLUMNS) * static_cast<size_t>(s);
    auto* runRows = static_cast<uint32_t*>(heapAlloc(static_cast<size_t>(NEW_STYLE_PALETTE_SIZE) *
                                                     static_cast<size_t>(s) * rowPixels * sizeof(uint32_t)));
    if (runRows == nullptr) {
        return;
    }
    for (int32_t v = 0; v < NEW_STYLE_PALETTE_SIZE; ++v) {
        for (int32_t py = 0; py < s; ++py) {
            const uint32_t* in = pixels + (v * s + py) * s;
            uint32_t* out =
                runRows +
                (static_cast<size_t>(v) * static_cast<size_t>(s) + static_cast<size_t>(py)) * rowPixels;
            for (int32_t c = 0; c < NEW_STYLE_COLUMNS; ++c) {
                std::memcpy(out + static_cast<size_t>(c) * static_cast<size_t>(s), in,
                            static_cast<size_t>(s) * sizeof(uint32_t));
            }
        }
    }
    newStyleSprites.runRows = runRows;
}

// Every dot is drawn, unlit ones included, whatever the classic board's
// unlit-dot setting says: the new-style panel always shows its dark discs.
// Only whole dots that fit the surface are drawn; the sign's panel always
// fits unless the surface is smaller than the canvas at one pixel a unit.
static void blitNewStyleGrid(int32_t s, bool panelKept) {
    const PixelSurface& surface = boardSurface;
    const int32_t x0 = newStyleView.originX + LED_LEFT_UNIT * s;
    const int32_t y0 = newStyleView.originY + LED_TOP_UNIT * s;
    if (newStyleSprites.pixels == nullptr || x0 < 0 || y0 < 0) {
        return;
    }
    const int32_t columns = static_cast<int32_t>(
        std::min<int64_t>(NEW_STYLE_COLUMNS, (static_cast<int64_t>(surface.width) - x0) / s));
    const size_t rowPixels = static_cast<size_t>(NEW_STYLE_COLUMNS) * static_cast<size_t>(s);
    // A run of at least this many dots of one colour is copied as a block.
    constexpr int32_t BLOCK_RUN = 4;
    int32_t runStart[NEW_STYLE_COLUMNS + 1];
    const uint8_t* previousDots = nullptr;  // the dot row drawn just above, if any
    for (int32_t r = 0; r < NEW_STYLE_ROWS && columns > 0; ++r) {
        const int64_t top = static_cast<int64_t>(y0) + static_cast<int64_t>(r) * s;
        if (top + s > surface.height) {
            break;
        }
        const uint8_t* dots = newStyleGrid.dots + r * NEW_STYLE_STRIDE;
        if (panelKept &&
            std::memcmp(dots, presentedGrid.dots + r * NEW_STYLE_STRIDE, NEW_STYLE_COLUMNS) == 0) {
            previousDots = dots;
            continue;  // the surface already shows this row
        }
        uint32_t* rowOut = surface.pixels + top * surface.width + x0;
        const size_t rowBytes = static_cast<size_t>(columns) * static_cast<size_t>(s) * sizeof(uint32_t);
        if (previousDots != nullptr && std::memcmp(dots, previousDots, static_cast<size_t>(columns)) == 0) {
            // The same dots as the row above, drawn a moment ago: its pixel
            // rows are copied as they are.
            for (int32_t py = 0; py < s; ++py) {
                std::memcpy(rowOut + static_cast<int64_t>(py) * surface.width,
                            rowOut + static_cast<int64_t>(py - s) * surface.width, rowBytes);
            }
            previousDots = dots;
            continue;
        }
        // The row's runs of equal dots, found once for all its pixel rows.
        int32_t runs = 0;
        for (int32_t c = 0; c < columns; ++c) {
            if (c == 0 || dots[c] != dots[c - 1]) {
                runStart[runs++] = c;
            }
        }
        runStart[runs] = columns;
        for (int32_t py = 0; py < s; ++py) {
            uint32_t* out = rowOut + static_cast<int64_t>(py) * surface.width;
            if (newStyleSprites.mirrored != 0 && py >= (s + 1) / 2) {
                // The lower half of a round dot mirrors its upper half.
                std::memcpy(out, rowOut + static_cast<int64_t>(s - 1 - py) * surface.width, rowBytes);
                continue;
            }
            const uint32_t* spriteRow = newStyleSprites.pixels + py * s;
            for (int32_t k = 0; k < runs; ++k) {
                const int32_t first = runStart[k];
                const int32_t end = runStart[k + 1];
                uint32_t v = dots[first];
                if (v >= NEW_STYLE_PALETTE_SIZE) {
                    v = 0;
                }
                if (end - first >= BLOCK_RUN && newStyleSprites.runRows != nullptr) {
                    const uint32_t* block =
                        newStyleSprites.runRows +
                        (static_cast<size_t>(v) * static_cast<size_t>(s) + static_cast<size_t>(py)) *
                            rowPixels;
                    std::memcpy(out + static_cast<size_t>(first) * static_cast<size_t>(s), block,
                                static_cast<size_t>(end - first) * static_cast<size_t>(s) * sizeof(uint32_t));
                } else {
                    copySpriteCells(out + static_cast<size_t>(first) * static_cast<size_t>(s), dots, first,
                                    end, spriteRow, s, 1, NEW_STYLE_PALETTE_SIZE);
                }
            }
        }
        previousDots = dots;
    }
}

// Whether the blit above covers the whole LED panel, so that nothing needs
// to be painted under it.
static bool gridCoversPanel(int32_t s) {
    const int64_t x0 = static_cast<int64_t>(newStyleView.originX) + LED_LEFT_UNIT * s;
    const int64_t y0 = static_cast<int64_t>(newStyleView.originY) + LED_TOP_UNIT * s;
    return newStyleSprites.pixels != nullptr && newStyleSprites.scale == s && x0 >= 0 && y0 >= 0 &&
           x0 + static_cast<int64_t>(NEW_STYLE_COLUMNS) * s <= boardSurface.width &&
           y0 + static_cast<int64_t>(NEW_STYLE_ROWS) * s <= boardSurface.height;
}

// The background colour around the canvas. The canvas itself is covered by
// the header strip and the body, so it is not filled first unless it hangs
// over the surface's edges.
static void fillAroundCanvas(int32_t s) {
    const int32_t w = boardSurface.width;
    const int32_t h = boardSurface.height;
    const uint32_t colour = settings.backgroundColor;
    const int32_t left = newStyleView.originX;
    const int32_t top = newStyleView.originY;
    const int32_t canvasW = CANVAS_WIDTH * s;
    const int32_t canvasH = CANVAS_HEIGHT * s;
    if (left < 0 || top < 0 || left + canvasW > w || top + canvasH > h) {
        fillBox(0, 0, w, h, colour);
        return;
    }
    fillBox(0, 0, w, top, colour);
    fillBox(0, top + canvasH, w, h - top - canvasH, colour);
    fillBox(0, top, left, canvasH, colour);
    fillBox(left + canvasW, top, w - left - canvasW, canvasH, colour);
}

// The background again where the header on the surface may have inked
// outside the canvas (headerReach); the rest of the background around the
// canvas was never drawn over since it was filled.
static void fillReachOutsideCanvas(int32_t s) {
    const int64_t w = boardSurface.width;
    const int64_t h = boardSurface.height;
    const int64_t left = newStyleView.originX;
    const int64_t top = newStyleView.originY;
    const int64_t right = left + static_cast<int64_t>(CANVAS_WIDTH) * s;
    const int64_t bottom = top + static_cast<int64_t>(CANVAS_HEIGHT) * s;
    if (left < 0 || top < 0 || right > w || bottom > h) {
        fillAroundCanvas(s);
        return;
    }
    const auto clamp = [](int64_t v, int64_t low, int64_t high) {
        return v < low ? low : (v > high ? high : v);
    };
    const int64_t x0 = clamp(headerReach[0], 0, w);
    const int64_t y0 = clamp(headerReach[1], 0, h);
    const int64_t x1 = clamp(headerReach[2], x0, w);
    const int64_t y1 = clamp(headerReach[3], y0, h);
    const auto fill = [](int64_t ax, int64_t ay, int64_t bx, int64_t by) {
        if (ax < bx && ay < by) {
            fillBox(static_cast<int32_t>(ax), static_cast<int32_t>(ay), static_cast<int32_t>(bx - ax),
                    static_cast<int32_t>(by - ay), settings.backgroundColor);
        }
    };
    fill(x0, y0, x1, std::min(y1, top));
    fill(x0, std::max(y0, bottom), x1, y1);
    fill(x0, std::max(y0, top), std::min(x1, left), std::min(y1, bottom));
    fill(std::max(x0, right), std::max(y0, top), x1, std::min(y1, bottom));
}

void composeNewStyleBoardLeds(uint32_t now, const BoardStatus& status) {
    if (fontSlotsReady == 0) {
        initFontSlots();
    }
    prepareNewStyleText();
    composeNewStyleLeds(now, status);
}

void composeNewStyleBoardAt(uint32_t now, const BoardStatus& status) {
    if (fontSlotsReady == 0) {
        initFontSlots();
    }
    if (boardSurface.pixels == nullptr || boardSurface.width <= 0 || boardSurface.height <= 0) {
        return;
    }
    newStyleView = computeNewStyleView(boardSurface.width, boardSurface.height);
    const int32_t s = newStyleView.scale / 1000;
    if (s != newStyleSprites.scale || newStyleSprites.pixels == nullptr) {
        buildNewStyleSprites(s);
        reservePixelPatch(headerStrip, static_cast<int64_t>(CANVAS_WIDTH + 2 * HEADER_STRIP_MARGIN_UNITS) *
                                           s * (HEADER_STRIP_UNITS + 2 * HEADER_STRIP_MARGIN_UNITS) * s);
        reservePixelPatch(keptTextPixels,
                          2 * static_cast<int64_t>(CANVAS_WIDTH) * s * HEADER_STRIP_UNITS * s);
        forgetKeptTexts();
    }
    const bool frameKept = frameUnchanged();
    headerTextOverPanel = false;
    if (!headerUnchanged()) {
        if (!frameKept) {
            fillAroundCanvas(s);
        } else if (headerTextOutsideCanvas) {
            fillReachOutsideCanvas(s);
        }
        headerTextOutsideCanvas = false;
        drawHeaderAndFrame();
        rememberHeader();
    }
    prepareNewStyleText();
    composeNewStyleLeds(now, status);
    flushBoardSurface();
    blitNewStyleGrid(s, frameKept && presentedGridValid && !headerTextOverPanel);
    presentedGridValid = gridCoversPanel(s);
    if (presentedGridValid) {
        std::memcpy(presentedGrid.dots, newStyleGrid.dots, sizeof presentedGrid.dots);
    }
}

int32_t newStyleLedArea(int32_t* x, int32_t* y, int32_t* w, int32_t* h) {
    if (boardSurface.pixels == nullptr || !headerPainted) {
        return 0;
    }
    // The view the next paint will use; the header must still be the one on
    // the surface.
    const NewStyleView saved = newStyleView;
    newStyleView = computeNewStyleView(boardSurface.width, boardSurface.height);
    const bool same = headerUnchanged();
    newStyleView = saved;
    if (!same) {
        return 0;
    }
    const NewStyleView view = computeNewStyleView(boardSurface.width, boardSurface.height);
    const int32_t s = view.scale / 1000;
    *x = view.originX + LED_LEFT_UNIT * s;
    *y = view.originY + LED_TOP_UNIT * s;
    *w = NEW_STYLE_COLUMNS * s;
    *h = NEW_STYLE_ROWS * s;
    return 1;
}

void composeNewStyleBoard(const BoardStatus& status) {
    composeNewStyleBoardAt(tickCount(), status);
}
