// The sign's portable parts in the host build: font slot choice and the
// round-robin caches with recording fakes, the canvas scale and origin, the
// header geometry and colours read back from the memory surface (with a fake
// header text source whose glyphs are h/2 pixels wide), text narrowing, and
// the LED blit that always shows unlit dots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ledsources.h"
#include "render/newstyle.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

namespace {

// ---------------------------------------------------------------------------
// Font slots and caches

std::vector<std::u16string> facesAsked;

int32_t someFacesInstalled(const char16_t* face) {
    const std::u16string name(face);
    facesAsked.push_back(name);
    return name == u"SimSun" || name == u"PMingLiU" ? 1 : 0;
}

TEST(NewStyleFonts, SlotsTakeTheFirstInstalledCandidate) {
    copyText(gSettings.settings.labelFontFace, u"MS PGothic");
    facesAsked.clear();
    fillFontSlots(someFacesInstalled);
    EXPECT_EQ(facesAsked, (std::vector<std::u16string>{u"SimHei", u"SimSun", u"MingLiU", u"PMingLiU",
                                                       u"Gulim", u"Dotum", u"Batang", u"Malgun Gothic"}));
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[0].face), u"MS PGothic");
    EXPECT_EQ(gNewStyle.fontSlots[0].charset, 128);
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[1].face), u"Arial");
    EXPECT_EQ(gNewStyle.fontSlots[1].charset, 0);
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[2].face), u"MS PGothic");
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[3].face), u"SimSun");
    EXPECT_EQ(gNewStyle.fontSlots[3].charset, 134);
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[4].face), u"PMingLiU");
    EXPECT_EQ(gNewStyle.fontSlots[4].charset, 136);
    EXPECT_EQ(gNewStyle.fontSlots[5].face[0], 0);
    for (int32_t slot = 0; slot < 5; ++slot) {
        EXPECT_TRUE(isLanguageAvailable(slot)) << slot;
    }
    EXPECT_FALSE(isLanguageAvailable(5));
    EXPECT_FALSE(isLanguageAvailable(-1));
    EXPECT_FALSE(isLanguageAvailable(6));

    // Korean unavailable: "o" drops out of the cycle.
    std::memset(&gDocuments.currentDocument, 0, sizeof gDocuments.currentDocument);
    copyText(gDocuments.currentDocument.langs, u"jo");
    gDocuments.currentDocument.langMs = 1000;
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 1000), 0);

    // The slots are settled once: a later face change does not reach them.
    copyText(gSettings.settings.labelFontFace, u"Another Face");
    initFontSlots();
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[0].face), u"MS PGothic");
}

intptr_t nextFontHandle = 0;
std::vector<intptr_t> released;
int32_t creates = 0;

void* fakeCreate(int32_t, int32_t, int32_t, int32_t) {
    ++creates;
    return reinterpret_cast<void*>(++nextFontHandle);
}

void fakeRelease(void* font) {
    released.push_back(reinterpret_cast<intptr_t>(font));
}

TEST(NewStyleFonts, CacheIsRoundRobin) {
    const FontCacheFunctions functions = {fakeCreate, fakeRelease};
    CachedFont entries[LED_FONT_CACHE_SIZE] = {};
    int32_t next = 0;
    void* first = cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 10, 0, 700, functions);
    EXPECT_EQ(cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 10, 0, 700, functions), first);
    EXPECT_EQ(creates, 1);
    // Keys differ by slot, height, width or weight.
    EXPECT_NE(cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 1, 10, 0, 700, functions), first);
    EXPECT_NE(cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 10, 0, 400, functions), first);
    EXPECT_NE(cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 10, 3, 700, functions), first);
    for (int32_t i = 4; i < LED_FONT_CACHE_SIZE; ++i) {
        cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 100 + i, 0, 700, functions);
    }
    EXPECT_EQ(creates, 16);
    EXPECT_TRUE(released.empty());
    // The 17th key takes the first entry; the old font is released first.
    cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 2, 50, 0, 700, functions);
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0], reinterpret_cast<intptr_t>(first));
    // Asking for the evicted key again makes it anew (in the second entry).
    void* again = cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 10, 0, 700, functions);
    EXPECT_NE(again, first);
    EXPECT_EQ(creates, 18);
    ASSERT_EQ(released.size(), 2u);
    EXPECT_EQ(cachedFont(entries, LED_FONT_CACHE_SIZE, &next, 0, 10, 0, 700, functions), again);
    EXPECT_EQ(creates, 18);
}

// ---------------------------------------------------------------------------
// View

TEST(NewStyleView, ScaleAndOrigin) {
    NewStyleView v = computeNewStyleView(800, 158);
    EXPECT_EQ(v.scale, 2000);
    EXPECT_EQ(v.originX, 0);
    EXPECT_EQ(v.originY, 0);
    v = computeNewStyleView(1200, 200);
    EXPECT_EQ(v.scale, 2000);
    EXPECT_EQ(v.originX, 200);
    EXPECT_EQ(v.originY, 21);
    v = computeNewStyleView(300, 60);
    EXPECT_EQ(v.scale, 1000);
    EXPECT_EQ(v.originX, -50);
    EXPECT_EQ(v.originY, -9);
    v = computeNewStyleView(3840, 2160);
    EXPECT_EQ(v.scale, 9000);
    EXPECT_EQ(v.originX, 120);
    EXPECT_EQ(v.originY, (2160 - 79 * 9) / 2);
}

// ---------------------------------------------------------------------------
// Header text and the sign on the memory surface

struct HeaderDraw {
    std::u16string text;
    int32_t x;
    int32_t y;
    uint32_t colour;
    int32_t height;
    int32_t width;
};
std::vector<HeaderDraw> headerDraws;
int32_t selects = 0;
int32_t selectedHeight = 0;
int32_t selectedWidth = 0;
int32_t measureExtra = 0;
int32_t cellExtra = 0;  // makes text cells taller than the font height

int32_t fakeSelect(int32_t, int32_t height, int32_t width, int32_t, int32_t* averageWidth,
                   int32_t* cellHeight) {
    ++selects;
    selectedHeight = height;
    selectedWidth = width > 0 ? width : height / 2;
    *averageWidth = selectedWidth;
    *cellHeight = height + cellExtra;
    return 1;
}

int32_t fakeMeasureHeader(const char16_t*, int32_t length) {
    return length * selectedWidth + measureExtra;
}

// When set, a drawn text also paints its box (its measured width by the
// cell height) in its colour, so that tests can see where texts went.
bool fakeTextsPaint = false;

void fakeDrawHeader(const char16_t* text, int32_t length, int32_t x, int32_t y, uint32_t colour) {
    headerDraws.push_back({std::u16string(text, static_cast<size_t>(length)), x, y, colour,
                           selectedHeight + cellExtra, selectedWidth});
    if (fakeTextsPaint) {
        fillBox(x, y, length * selectedWidth + measureExtra, selectedHeight + cellExtra, colour);
    }
}

const HeaderTextSource fakeHeader = {fakeSelect, fakeMeasureHeader, fakeDrawHeader};

const HeaderDraw* headerDraw(const std::u16string& text) {
    for (const HeaderDraw& d : headerDraws) {
        if (d.text == text) {
            return &d;
        }
    }
    return nullptr;
}

uint32_t pixel(int32_t x, int32_t y) {
    return gRender.boardSurface.pixels[y * gRender.boardSurface.width + x];
}

class NewStyleSign : public ::testing::Test {
protected:
    void SetUp() override {
        resetNewStyleTestBoard();
        gDocuments.currentDocument.color = 0x112233;
        copyText(gDocuments.currentDocument.platform, u"3");
        copyText(gDocuments.currentDocument.viaJp, u"東京");
        copyText(gDocuments.currentDocument.viaEn, u"Tokyo");
        gSettings.settings.showUnlitDots = 0;
        gSettings.settings.backgroundColor = 0x000000;
        setHeaderTextSource(&fakeHeader);
        headerDraws.clear();
        measureExtra = 0;
        cellExtra = 0;
        selects = 0;
        fakeTextsPaint = false;
    }
    void TearDown() override {
        setHeaderTextSource(nullptr);
        gLink.serverOk = 0;
    }
    void paint(int32_t w, int32_t h, uint32_t now = 1000) {
        ASSERT_EQ(resizeBoardSurface(w, h), 1);
        headerDraws.clear();
        gLink.lastFetchOkTick = now;
        composeNewStyleBoardAt(now, currentBoardStatus());
    }
};

// The header's texts as a passenger reads them, on both sides: the platform
// number inside its badge, the direction's texts beside the line badge in
// reading order, apart, inside the header strip, the Japanese ones darker
// than the English one.
TEST_F(NewStyleSign, HeaderTextsStandInOrderApartAndInsideTheStrip) {
    const auto right = [](const HeaderDraw* d) {
        return d->x + static_cast<int32_t>(d->text.size()) * d->width;
    };
    for (const char16_t side : {u'L', u'R'}) {
        for (const bool withJapanese : {true, false}) {
            SCOPED_TRACE(testing::Message() << static_cast<char>(side) << withJapanese);
            gDocuments.currentDocument.side = side;
            copyText(gDocuments.currentDocument.viaJp, withJapanese ? u"東京" : u"");
            forgetHeaderStrip();  // every text drawn, none copied back
            forceNewStyleFullPaint();
            paint(1200, 200);  // s 2, origin (200, 21)
            const int32_t s = 2;
            const int32_t ox = 200;
            const int32_t oy = 21;
            const int32_t badge = ox + (side == u'L' ? 1 : 383) * s;
            const HeaderDraw* number = headerDraw(u"3");
            ASSERT_NE(number, nullptr);
            EXPECT_EQ(number->colour, 0x000000u);
            EXPECT_GE(number->x, badge);
            EXPECT_LE(right(number), badge + 16 * s);
            // Centred on the badge (units 2..16 down), to within a unit.
            EXPECT_LE(std::abs(number->x + right(number) - (2 * badge + 16 * s)), 2 * s);
            EXPECT_LE(std::abs(2 * number->y + number->height - (2 * oy + 18 * s)), 2 * s);

            std::vector<const HeaderDraw*> direction;
            for (const char16_t* text : {u"東京", u"方面", u"Tokyo"}) {
                if (headerDraw(text) != nullptr) {
                    direction.push_back(headerDraw(text));
                    EXPECT_EQ(direction.back()->colour, text[0] == u'T' ? 0x3A3A3Au : 0x1A1A1Au);
                }
            }
            ASSERT_EQ(direction.size(), withJapanese ? 3u : 2u);
            std::sort(direction.begin(), direction.end(),
                      [](const HeaderDraw* a, const HeaderDraw* b) { return a->x < b->x; });
            for (size_t i = 0; i < direction.size(); ++i) {
                const HeaderDraw* d = direction[i];
                EXPECT_GE(d->y, oy);
                EXPECT_LE(d->y + d->height, oy + 18 * s) << i;  // above the rule
                if (i > 0) {
                    EXPECT_GE(d->x, right(direction[i - 1]) + s) << i;
                }
            }
            // Beside the line badge (units 18..47, or 352..381 on the right):
            // starting just after it, or ending just before it.
            if (side == u'L') {
                EXPECT_GE(direction.front()->x, ox + 48 * s);
                EXPECT_LE(direction.front()->x, ox + 52 * s);
                EXPECT_LE(right(direction.back()), ox + 352 * s);
            } else {
                EXPECT_LE(right(direction.back()), ox + 352 * s);
                EXPECT_GE(right(direction.back()), ox + 348 * s);
                EXPECT_GE(direction.front()->x, ox + 48 * s);
            }
        }
    }
}

TEST_F(NewStyleSign, NarrowTextIsMeasuredAtMostTwiceMore) {
    gNewStyle.newStyleView = computeNewStyleView(800, 158);
    // 11 characters at 6 pixels are 66 > 56 pixels: one narrowing to 5.
    selects = 0;
    EXPECT_EQ(drawCanvasText(u"12345678901", 33, 7, 6, 0, 700, 0, 28, ALIGN_CENTRE), 27);
    EXPECT_EQ(selects, 2);
    EXPECT_EQ(headerDraws.back().width, 5);
    // A text that stays wide: two narrowings, then drawn as it is.
    measureExtra = 50;
    selects = 0;
    EXPECT_EQ(drawCanvasText(u"12345678901", 33, 7, 6, 0, 700, 0, 28, ALIGN_CENTRE), 30);
    EXPECT_EQ(selects, 3);
    EXPECT_EQ(headerDraws.back().width, 1);
    EXPECT_EQ(headerDraws.back().x, 66 - 61 / 2);
    // No maximum: never narrowed.
    selects = 0;
    drawCanvasText(u"12345678901", 33, 7, 6, 0, 700, 0, 0, ALIGN_LEFT);
    EXPECT_EQ(selects, 1);
    // Empty texts and texts of 3 pixels or less are not drawn.
    headerDraws.clear();
    EXPECT_EQ(drawCanvasText(u"", 33, 7, 6, 0, 700, 0, 28, ALIGN_LEFT), 0);
    EXPECT_EQ(drawCanvasText(u"x", 33, 7, 1, 0, 700, 0, 28, ALIGN_LEFT), 0);
    EXPECT_TRUE(headerDraws.empty());
    measureExtra = 0;
    gNewStyle.newStyleView = computeNewStyleView(400, 79);  // s 1: height 3 is 3 pixels
    EXPECT_EQ(drawCanvasText(u"x", 33, 7, 3, 0, 700, 0, 28, ALIGN_LEFT), 0);
    EXPECT_EQ(drawCanvasText(u"x", 33, 7, 4, 0, 700, 0, 28, ALIGN_LEFT), 2);
}

TEST_F(NewStyleSign, APaintAfterOnlyTheLedsChangedEqualsAFullPaint) {
    // While the header stays the same, a paint draws only the LED panel; the
    // picture must be the one a full paint gives, frame after frame.
    gDocuments.currentDocument.msg.kind = MSG_FRAME;
    paint(800, 158);
    EXPECT_FALSE(headerDraws.empty());
    const size_t bytes = sizeof(uint32_t) * 800 * 158;
    std::string partial(bytes, '\0');
    int32_t differences = 0;
    for (uint32_t now = 1000; now < 9000; now += 40) {
        headerDraws.clear();
        gLink.lastFetchOkTick = now;
        composeNewStyleBoardAt(now - 20,
                               currentBoardStatus());  // two paints in a row that draw only what changed
        composeNewStyleBoardAt(now, currentBoardStatus());
        EXPECT_TRUE(headerDraws.empty());
        std::memcpy(&partial[0], gRender.boardSurface.pixels, bytes);
        forceNewStyleFullPaint();
        composeNewStyleBoardAt(now, currentBoardStatus());
        differences += std::memcmp(&partial[0], gRender.boardSurface.pixels, bytes) != 0 ? 1 : 0;
    }
    EXPECT_EQ(differences, 0);

    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    ASSERT_EQ(newStyleLedArea(&x, &y, &w, &h), 1);
    EXPECT_EQ(x, 16);  // s 2, origin (0, 0)
    EXPECT_EQ(y, 44);
    EXPECT_EQ(w, 768);
    EXPECT_EQ(h, 96);
    // A new direction text is drawn at the next paint without being asked.
    // The texts paint their boxes from here on, so that the surface shows
    // whether the header is there (a full paint may copy it back from the
    // last one instead of drawing its texts again).
    fakeTextsPaint = true;
    copyText(gDocuments.currentDocument.viaEn, u"Tokyo Sta.");
    EXPECT_EQ(newStyleLedArea(&x, &y, &w, &h), 0);
    headerDraws.clear();
    composeNewStyleBoardAt(9000, currentBoardStatus());
    ASSERT_NE(headerDraw(u"Tokyo Sta."), nullptr);
    const HeaderDraw tokyo = *headerDraw(u"Tokyo Sta.");
    const auto headerShown = [&] {
        return pixel(tokyo.x + 1, tokyo.y + 1) == 0x3A3A3Au && pixel(400, 20) == 0xD0D3D6u;
    };
    EXPECT_TRUE(headerShown());
    // So is the whole sign after something else drew on the surface.
    EXPECT_EQ(newStyleLedArea(&x, &y, &w, &h), 1);
    forceFullPaint();
    EXPECT_EQ(newStyleLedArea(&x, &y, &w, &h), 0);
    std::memset(gRender.boardSurface.pixels, 0, bytes);
    composeNewStyleBoardAt(9040, currentBoardStatus());
    EXPECT_TRUE(headerShown());

    // A new layout may come with a fresh surface at the old address (the
    // allocator hands the freed block back), holding nothing of the sign:
    // the next paint is whole. So is the one after the surface was made
    // anew twice, ending at the old size.
    headerDraws.clear();
    composeNewStyleBoardAt(9080, currentBoardStatus());
    ASSERT_TRUE(headerDraws.empty());
    layoutBoard(800, 158);
    std::memset(gRender.boardSurface.pixels, 0, bytes);
    composeNewStyleBoardAt(9120, currentBoardStatus());
    EXPECT_TRUE(headerShown());
    ASSERT_EQ(resizeBoardSurface(400, 79), 1);
    ASSERT_EQ(resizeBoardSurface(800, 158), 1);
    std::memset(gRender.boardSurface.pixels, 0, bytes);
    composeNewStyleBoardAt(9160, currentBoardStatus());
    EXPECT_TRUE(headerShown());
}

// The sign drawn the plain way, box over box in the order a viewer sees
// them stacked: the background everywhere, the header strip with its
// highlight, rule and badges, the texts (boxes as the fake text source
// paints them), then the body, the housing and the panel. The sign itself
// paints each pixel once and leaves alone what is still in place; its
// picture must be this one, apart from the dots on the panel.
void paintLayeredSign(int32_t w, int32_t h, const std::vector<HeaderDraw>& texts) {
    const auto rgb = [](uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); };
    const uint32_t line =
        rgb((gDocuments.currentDocument.color >> 16) & 0xFF, (gDocuments.currentDocument.color >> 8) & 0xFF,
            gDocuments.currentDocument.color & 0xFF);
    const bool right = gDocuments.currentDocument.side == u'R';
    fillBox(0, 0, w, h, gSettings.settings.backgroundColor);
    gNewStyle.newStyleView = computeNewStyleView(w, h);
    drawCanvasBox(0, 0, 400, 19, 0, 1, rgb(208, 211, 214), 0, 0);
    drawCanvasBox(0, 0, 400, 6, 0, 1, rgb(222, 225, 227), 0, 0);
    drawCanvasBox(0, 18, 400, 1, 0, 1, line, 0, 0);
    drawCanvasBox(right ? 383 : 1, 2, 16, 15, 0, 1, rgb(255, 255, 255), 1, rgb(85, 85, 85));
    // The platform number (the first text; every test sign has one) goes
    // onto its badge before the line badge is drawn.
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i == 1) {
            drawCanvasBox(right ? 352 : 18, 3, 30, 13, 0, 1, line, 0, 0);
        }
        const HeaderDraw& t = texts[i];
        fillBox(t.x, t.y, static_cast<int32_t>(t.text.size()) * t.width + measureExtra, t.height, t.colour);
    }
    drawCanvasBox(0, 19, 400, 60, 0, 1, rgb(158, 162, 165), 0, 0);
    drawCanvasBox(6, 20, 388, 52, 0, 1, rgb(42, 42, 44), 0, 0);
    drawCanvasBox(8, 22, 384, 48, 0, 1, rgb(5, 5, 5), 0, 0);
}

// Compares the sign now on the surface with the layered picture of the same
// texts; the LED panel, where the dots go, is left out when dots are drawn.
int32_t differencesFromLayered(int32_t w, int32_t h, int32_t* unlitDots) {
    const std::vector<uint32_t> sign(gRender.boardSurface.pixels, gRender.boardSurface.pixels + w * h);
    int32_t ledX = 0;
    int32_t ledY = 0;
    int32_t ledW = 0;
    int32_t ledH = 0;
    const bool dots = newStyleLedArea(&ledX, &ledY, &ledW, &ledH) == 1 &&
                      gNewStyle.newStyleSprites.scale > 0 && ledX + ledW <= w && ledY + ledH <= h;
    paintLayeredSign(w, h, headerDraws);
    int32_t differences = 0;
    *unlitDots = 0;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t got = sign[y * w + x];
            if (dots && x >= ledX && x < ledX + ledW && y >= ledY && y < ledY + ledH) {
                *unlitDots += got == 0x151517u ? 1 : 0;
                continue;
            }
            differences += got != pixel(x, y) ? 1 : 0;
        }
    }
    std::memcpy(gRender.boardSurface.pixels, sign.data(), sign.size() * sizeof(uint32_t));
    return differences;
}

TEST_F(NewStyleSign, EachPixelPaintedOnceGivesTheLayeredPicture) {
    struct Case {
        int32_t w;
        int32_t h;
        char16_t side;
        uint32_t background;
    };
    // Exact and odd sizes, a surface smaller than the canvas (no dots, the
    // canvas cut at every edge), both sides, a coloured background.
    const Case cases[] = {{400, 79, u'L', 0},         {800, 158, u'R', 0x203040}, {1201, 203, u'L', 0x0000FF},
                          {1920, 1080, u'R', 0},      {300, 60, u'L', 0x445566},  {399, 200, u'R', 0},
                          {2000, 100, u'L', 0x010101}};
    fakeTextsPaint = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        gDocuments.currentDocument.side = c.side;
        gSettings.settings.backgroundColor = c.background;
        ASSERT_EQ(resizeBoardSurface(c.w, c.h), 1);
        // Whatever was on the surface before must not show through.
        std::memset(gRender.boardSurface.pixels, 0x5A, sizeof(uint32_t) * c.w * c.h);
        forceNewStyleFullPaint();
        headerDraws.clear();
        composeNewStyleBoardAt(1000, currentBoardStatus());
        int32_t unlitDots = 0;
        EXPECT_EQ(differencesFromLayered(c.w, c.h, &unlitDots), 0);
        if (c.w >= 400 && c.h >= 79) {
            EXPECT_GT(unlitDots, 0);
        }
    }
}

TEST_F(NewStyleSign, AHeaderChangeRepaintsTheHeaderAndWhatItsTextsCovered) {
    fakeTextsPaint = true;
    gDocuments.currentDocument.side = u'R';
    gSettings.settings.backgroundColor = 0x203040;
    ASSERT_EQ(resizeBoardSurface(1300, 300), 1);  // s 3, origin (50, 31)
    std::memset(gRender.boardSurface.pixels, 0x5A, sizeof(uint32_t) * 1300 * 300);
    int32_t unlitDots = 0;
    // Header texts change, a direction text grows out over the canvas's left
    // edge (it stays wider than asked), then goes back to a short one: each
    // paint must look like a full one, no stale text left around the canvas.
    // A tall text then reaches down over the LED panel, and goes again: the
    // dots it covered must come back although they did not change.
    gDocuments.currentDocument.msg.kind = MSG_FRAME;
    const char16_t* directions[] = {u"Tokyo", u"Tokyo Station", u"Ueno", u"Ueno Park", u"Ueno"};
    const int32_t extras[] = {0, 400, 0, 0, 0};
    const int32_t cellExtras[] = {0, 0, 0, 120, 0};
    const size_t bytes = sizeof(uint32_t) * 1300 * 300;
    std::string afterChange(bytes, '\0');
    bool grownTextOutside = false;
    for (int32_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        copyText(gDocuments.currentDocument.viaEn, directions[i]);
        measureExtra = extras[i];
        cellExtra = cellExtras[i];
        forgetHeaderStrip();  // the fake fonts measure differently now
        headerDraws.clear();
        composeNewStyleBoardAt(1000, currentBoardStatus());
        ASSERT_FALSE(headerDraws.empty());
        // The same picture as a full paint of this header that draws every
        // text afresh, dots included (the header change copied back the
        // texts kept from earlier headers).
        std::memcpy(&afterChange[0], gRender.boardSurface.pixels, bytes);
        forgetHeaderStrip();
        forceNewStyleFullPaint();
        headerDraws.clear();
        composeNewStyleBoardAt(1000, currentBoardStatus());
        EXPECT_EQ(std::memcmp(&afterChange[0], gRender.boardSurface.pixels, bytes), 0);
        std::memcpy(gRender.boardSurface.pixels, &afterChange[0], bytes);
        if (i == 1) {
            grownTextOutside = pixel(20, 31 + 30) == 0x3A3A3Au;
        }
        EXPECT_EQ(differencesFromLayered(1300, 300, &unlitDots), 0);
    }
    // The grown text really was drawn outside the canvas, and once it was
    // gone the background was painted again where it had been.
    EXPECT_TRUE(grownTextOutside);
    EXPECT_EQ(pixel(20, 31 + 30), 0x403020u);
}

TEST_F(NewStyleSign, ANewHeaderCopiesBackTheTextsItKeptAndLooksDrawnAfresh) {
    fakeTextsPaint = true;
    gSettings.settings.backgroundColor = 0x203040;
    const size_t bytes = sizeof(uint32_t) * 1300 * 300;
    for (const char16_t side : {u'L', u'R'}) {
        SCOPED_TRACE(static_cast<int>(side));
        gDocuments.currentDocument.side = side;
        ASSERT_EQ(resizeBoardSurface(1300, 300), 1);
        std::memset(gRender.boardSurface.pixels, 0x5A, bytes);
        const char16_t* directions[] = {u"Tokyo", u"Ueno", u"Tokyo", u"Shinagawa-Takanawa Gateway", u"Ueno"};
        for (int32_t i = 0; i < 5; ++i) {
            SCOPED_TRACE(i);
            copyText(gDocuments.currentDocument.viaEn, directions[i]);
            headerDraws.clear();
            composeNewStyleBoardAt(1000, currentBoardStatus());
            // Only the new direction is drawn; the platform number and the
            // line come back from the last header.
            EXPECT_NE(headerDraw(directions[i]), nullptr);
            EXPECT_EQ(i == 0 ? nullptr : headerDraw(u"3"), nullptr);
            const std::string kept(reinterpret_cast<const char*>(gRender.boardSurface.pixels), bytes);
            forgetHeaderStrip();
            forceNewStyleFullPaint();
            composeNewStyleBoardAt(1000, currentBoardStatus());
            EXPECT_EQ(std::memcmp(kept.data(), gRender.boardSurface.pixels, bytes), 0);
        }
    }
}

// LED text for the panel test: every character inks a 3-column bar in all
// but the top and bottom rows of its cell, so texts give varied dot rows.
uint32_t stripeScratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];

int32_t stripeMeasure(const char16_t*, int32_t length, int32_t, int32_t height, int32_t) {
    return length * (height / 2 + 1);
}

void stripeDraw(const char16_t*, int32_t length, int32_t cx, int32_t cell, int32_t) {
    const int32_t w = cx / (length > 0 ? length : 1);
    for (int32_t y = 0; y < cell; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            const bool ink = y > 0 && y < cell - 1 && w > 0 && x % w < 3 && (x / w + y) % 5 != 0;
            stripeScratch[y * LED_SCRATCH_WIDTH + x] = ink ? 0xFFFFFF : 0;
        }
    }
}

const LedGlyphSource stripeGlyphs = {stripeMeasure, stripeDraw, stripeScratch};

TEST_F(NewStyleSign, ThePanelShowsEveryDotsSprite) {
    // Each pixel of the panel, checked against the sprite of its dot, over
    // frames of a scrolling message (rows change, rows repeat, rows stay)
    // at several dot sizes, after full paints and paints of what changed.
    static const char body[] =
        u8"velmorant-new 1\nplatform=3\nviaJp=東京\nviaEn=Tokyo\ncolor=80C241\nlangs=je\n"
        u8"row=train\t12:34\t1\t-\t普通 池袋 行き|Local Ikebukuro\n"
        u8"msg=scroll\tG\t本日もご利用いただきましてありがとうございます。 Thank you for travelling with "
        u8"us.\nend\n";
    ASSERT_EQ(parseDisplayDocument(reinterpret_cast<const unsigned char*>(body),
                                   static_cast<int32_t>(sizeof(body) - 1), &gDocuments.currentDocument),
              1);
    setLedGlyphSource(&stripeGlyphs);
    // The last size is large enough to be written with streaming stores.
    const int32_t sizes[][2] = {{400, 79}, {800, 158}, {1201, 240}, {1600, 316}, {3600, 711}, {4096, 1024}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1]);
        ASSERT_EQ(resizeBoardSurface(size[0], size[1]), 1);
        forceNewStyleFullPaint();
        int32_t litDots = 0;
        int32_t wrong = 0;
        for (uint32_t now = 1000; now < 4000; now += 150) {
            gLink.lastFetchOkTick = now;
            composeNewStyleBoardAt(now, currentBoardStatus());
            const int32_t s = gNewStyle.newStyleSprites.scale;
            ASSERT_GT(s, 0);
            const int32_t x0 = gNewStyle.newStyleView.originX + 8 * s;
            const int32_t y0 = gNewStyle.newStyleView.originY + 22 * s;
            for (int32_t r = 0; r < NEW_STYLE_ROWS; ++r) {
                for (int32_t c = 0; c < NEW_STYLE_COLUMNS; ++c) {
                    const uint8_t v = gNewStyle.newStyleGrid.dots[r * NEW_STYLE_STRIDE + c];
                    litDots += v != 0 ? 1 : 0;
                    const uint32_t* sprite = gNewStyle.newStyleSprites.pixels + v * s * s;
                    for (int32_t py = 0; py < s; ++py) {
                        for (int32_t px = 0; px < s; ++px) {
                            wrong += pixel(x0 + c * s + px, y0 + r * s + py) != sprite[py * s + px] ? 1 : 0;
                        }
                    }
                }
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_GT(litDots, 0);
    }
    setLedGlyphSource(nullptr);
}

}  // namespace

namespace {

// The painted sign's cases for every text source (newstyle_paint_test.cpp)
// with the recording header source, its texts painted as dark boxes, and the
// striped LED text.
int32_t installFakeSignText() {
    setHeaderTextSource(&fakeHeader);
    fakeTextsPaint = true;
    measureExtra = 0;
    cellExtra = 0;
    setLedGlyphSource(&stripeGlyphs);
    return 1;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(FakeText, AnySignTextSource,
                         ::testing::Values(LedGlyphSourceCase{"FakeText", installFakeSignText}));
