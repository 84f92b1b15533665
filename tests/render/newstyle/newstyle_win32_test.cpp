// The new-style sign with real GDI under Wine: language font slots found by
// family enumeration (the test prefix maps SimSun, PMingLiU and Gulim to
// installed fonts and leaves SimHei, MingLiU and the others unmapped), the
// font caches, steady paints that create no fonts, the demo's sample boards,
// and the LED and painted-sign cases for every glyph source
// (newstyle_leds_test.cpp, newstyle_paint_test.cpp) with TrueType glyphs.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "ledsources.h"
#include "render/newstyle.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"
#include "testfiles.h"

namespace {

int32_t parseNewStyle(const std::u16string& body) {
    const std::string bytes = utf8Of(u"velmorant-new 1\n" + body + u"end\n");
    return parseDisplayDocument(reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int32_t>(bytes.size()), &gDocuments.currentDocument);
}

uint32_t pixel(int32_t x, int32_t y) {
    return gRender.boardSurface.pixels[y * gRender.boardSurface.width + x] & 0xFFFFFF;
}

uint8_t dot(int32_t x, int32_t y) {
    return gNewStyle.newStyleGrid.dots[y * NEW_STYLE_STRIDE + x];
}

int32_t countDots(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint8_t colour) {
    int32_t n = 0;
    for (int32_t y = y1; y <= y2; ++y) {
        for (int32_t x = x1; x <= x2; ++x) {
            n += dot(x, y) == colour ? 1 : 0;
        }
    }
    return n;
}

class NewStyleWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        copyText(gSettings.settings.labelFontFace, u"MS PGothic");
        copyText(gSettings.settings.fontFace, u"MS Gothic");
        gSettings.settings.showUnlitDots = 0;
        gSettings.settings.backgroundColor = 0;
        // Another test in this program may have filled the slots without
        // fonts; these tests want the real enumeration.
        gNewStyle.fontSlotsReady = 0;
        initFontSlots();
        ASSERT_EQ(prepareNewStyleText(), 1);
        gLink.serverOk = 1;
    }
    void paintAt(int32_t w, int32_t h, uint32_t now) {
        ASSERT_EQ(resizeBoardSurface(w, h), 1);
        gLink.lastFetchOkTick = now;
        composeNewStyleBoardAt(now, currentBoardStatus());
    }
};

TEST_F(NewStyleWin32, SlotsFollowTheInstalledFaces) {
    // SimHei and MingLiU are not installed in the test prefix, so the second
    // candidates win; Gulim is the first Korean candidate and is installed.
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[3].face), u"SimSun");
    EXPECT_EQ(gNewStyle.fontSlots[3].charset, 134);
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[4].face), u"PMingLiU");
    EXPECT_EQ(gNewStyle.fontSlots[4].charset, 136);
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[5].face), u"Gulim");
    EXPECT_EQ(gNewStyle.fontSlots[5].charset, 129);
    EXPECT_EQ(std::u16string(gNewStyle.fontSlots[0].face), u"MS PGothic");

    ASSERT_EQ(parseNewStyle(u"langs=j,s,t,o\nlangMs=1000\n"), 1);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 0), 0);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 1000), 3);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 2000), 4);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 3000), 5);

    // Each language's text is really drawn with its slot's face.
    ASSERT_EQ(parseNewStyle(u"langs=jo\nrow=text\t東京|Tokyo|||| 서울\n"), 1);
    gLink.lastFetchOkTick = 4000;
    composeNewStyleLeds(4000, currentBoardStatus());
    EXPECT_GT(countDots(0, 0, 383, 23, LED_WHITE), 40);
}

// The real enumeration with Gulim hidden: no other Korean candidate is
// installed, so the Korean slot is unavailable and "o" leaves the cycle.
int32_t installedExceptGulim(const char16_t* face) {
    return std::u16string(face) == u"Gulim" ? 0 : isFaceInstalled(face);
}

TEST_F(NewStyleWin32, MissingFacesLeaveTheirLanguageOut) {
    EXPECT_EQ(isFaceInstalled(u"SimSun"), 1);
    EXPECT_EQ(isFaceInstalled(u"Gulim"), 1);
    EXPECT_EQ(isFaceInstalled(u"MS PGothic"), 1);
    EXPECT_EQ(isFaceInstalled(u"SimHei"), 0);
    EXPECT_EQ(isFaceInstalled(u"Dotum"), 0);
    EXPECT_EQ(isFaceInstalled(u"Velmorant No Such Face"), 0);

    fillFontSlots(installedExceptGulim);
    EXPECT_FALSE(isLanguageAvailable(LANGUAGE_KOREAN));
    EXPECT_EQ(gNewStyle.fontSlots[LANGUAGE_KOREAN].face[0], 0);
    EXPECT_TRUE(isLanguageAvailable(LANGUAGE_SIMPLIFIED));
    ASSERT_EQ(parseNewStyle(u"langs=jo\nlangMs=1000\n"), 1);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 1000), 0);
    fillFontSlots(isFaceInstalled);
    EXPECT_EQ(currentLanguage(gDocuments.currentDocument, 1000), LANGUAGE_KOREAN);
}

TEST_F(NewStyleWin32, LedFontCacheEvictsRoundRobin) {
    void* first = ledFont(0, 30, 400);
    ASSERT_NE(first, nullptr);
    const int32_t before = gNewStyle.fontsCreated;
    EXPECT_EQ(ledFont(0, 30, 400), first);
    EXPECT_EQ(gNewStyle.fontsCreated, before);
    // The scratch still holds a cached font while 16 further keys go through.
    uint8_t target[24 * 64] = {};
    EXPECT_GT(drawLedText(u"A", 0, 30, 400, 24, target, 64, 64, 24, 0, 0, 1, 0, 0), 0);
    for (int32_t i = 0; i < LED_FONT_CACHE_SIZE; ++i) {
        ASSERT_NE(ledFont(1, 40 + i, 400), nullptr);
    }
    EXPECT_EQ(gNewStyle.fontsCreated, before + LED_FONT_CACHE_SIZE);
    // The first key was evicted: asking for it creates it again, and text
    // still draws after its old font was deleted from under the scratch.
    ledFont(0, 30, 400);
    EXPECT_EQ(gNewStyle.fontsCreated, before + LED_FONT_CACHE_SIZE + 1);
    std::memset(target, 0, sizeof target);
    EXPECT_GT(drawLedText(u"A", 0, 30, 400, 24, target, 64, 64, 24, 0, 0, 1, 0, 0), 0);
    int32_t lit = 0;
    for (uint8_t v : target) {
        lit += v;
    }
    EXPECT_GT(lit, 0);
}

// The LED and painted-sign cases that hold for every glyph source
// (newstyle_leds_test.cpp, newstyle_paint_test.cpp), with GDI's fonts found
// by the real enumeration.
int32_t installGdiLedGlyphs() {
    copyText(gSettings.settings.labelFontFace, u"MS PGothic");
    copyText(gSettings.settings.fontFace, u"MS Gothic");
    gNewStyle.fontSlotsReady = 0;
    initFontSlots();
    return prepareNewStyleText();
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Gdi, AnyLedGlyphSource,
                         ::testing::Values(LedGlyphSourceCase{"Gdi", installGdiLedGlyphs}));
INSTANTIATE_TEST_SUITE_P(Gdi, AnySignTextSource,
                         ::testing::Values(LedGlyphSourceCase{"Gdi", installGdiLedGlyphs}));

namespace {

TEST_F(NewStyleWin32, SteadyPaintsCreateNoFonts) {
    ASSERT_EQ(parseNewStyle(u"platform=3\nlineJp=山手線\nviaJp=渋谷・新宿\nviaEn=Shibuya\nlangs=je\n"
                            u"row=text\tまもなく電車が来ます|A train is coming\n"
                            u"msg=pos\t1\tA\tB\tC\t渋谷\t原宿\t代々木\n"),
              1);
    paintAt(800, 158, 1000);
    paintAt(800, 158, 5000);  // the other language too
    const int32_t fonts = gNewStyle.fontsCreated;
    const uint32_t* sprites = gNewStyle.newStyleSprites.pixels;
    for (uint32_t t = 0; t < 8000; t += 40) {
        gLink.lastFetchOkTick = t;
        composeNewStyleBoardAt(t, currentBoardStatus());
    }
    EXPECT_EQ(gNewStyle.fontsCreated, fonts);
    EXPECT_EQ(gNewStyle.newStyleSprites.pixels, sprites);
}

// The demo's sample boards: each is accepted and paints its lower-line kind.
// With VELMORANT_SNAPSHOT_DIR set, each paint is also written there as a BMP
// for a look by eye.
TEST_F(NewStyleWin32, SampleBoardsPaint) {
    struct Sample {
        const char* name;
        uint8_t msgKind;
        char16_t side;
        uint8_t lowerColour;
    };
    const Sample samples[] = {
        {"newstyle-scroll", MSG_SCROLL, u'L', LED_GREEN},     {"newstyle-frame", MSG_FRAME, u'R', LED_AMBER},
        {"newstyle-approach", MSG_APPROACH, u'L', LED_AMBER}, {"newstyle-pos", MSG_POS, u'R', LED_AMBER},
        {"newstyle-train", MSG_TRAIN, u'L', LED_WHITE},
    };
    wchar_t snapshotDir[260] = {};
    const DWORD dirLength = GetEnvironmentVariableW(L"VELMORANT_SNAPSHOT_DIR", snapshotDir, 260);
    for (const Sample& sample : samples) {
        SCOPED_TRACE(sample.name);
        std::ifstream file(std::string(VELMORANT_SOURCE_DIR) + "/tools/boards/" + sample.name + ".txt",
                           std::ios::binary);
        ASSERT_TRUE(file.good());
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_EQ(parseDisplayDocument(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int32_t>(bytes.size()), &gDocuments.currentDocument),
                  1);
        EXPECT_EQ(gDocuments.currentDocument.msg.kind, sample.msgKind);
        EXPECT_EQ(gDocuments.currentDocument.side, sample.side);
        resetNewStyleScroll();
        paintAt(800, 158, 3000);
        paintAt(800, 158, 9000);  // a scroll has moved in by now
        EXPECT_GT(countDots(0, 24, 383, 47, sample.lowerColour), 20);
        EXPECT_GT(countDots(0, 0, 383, 23, LED_WHITE), 20);
        EXPECT_EQ(pixel(200 * 2, 17 * 2), 0xD0D3D6u);
        if (dirLength > 0 && dirLength < 200) {
            std::u16string path(reinterpret_cast<const char16_t*>(snapshotDir));
            for (const char* p = sample.name; *p != 0; ++p) {
                if (p == sample.name) {
                    path += u'\\';
                }
                path += static_cast<char16_t>(*p);
            }
            path += u".bmp";
            EXPECT_EQ(writeSurfaceBmp(path.c_str(), gRender.boardSurface), 1);
        }
    }
}

}  // namespace
