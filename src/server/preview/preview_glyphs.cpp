// FreeType behind the board's glyph seams, so that the board's own text
// rasterisers run on the server. The board names Windows faces ("MS Gothic",
// "MS PGothic", "Arial", and the Chinese and Korean candidates); each maps to
// the Debian font a board PC under Wine is given for it, at the path Debian
// installs it. Glyphs are hinted and rendered one bit deep, as the board's
// non-antialiased fonts are; a bold request on a face without a bold member
// is emboldened, as the Windows font engine does. Every call runs under the
// preview's lock.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <cstring>
#include <string>
#include <vector>

#include "render/newstyle.h"
#include "render/render.h"
#include "server/preview/preview.h"

namespace {

// The Windows faces the board asks for, and the family a board PC gets for
// each (the same replacements its Wine set-up makes).
struct FaceMapping {
    const char16_t* windowsFace;
    const char* family;
};
constexpr FaceMapping FACE_MAPPINGS[] = {
    {u"MS Gothic", "IPAGothic"},     {u"MS PGothic", "IPAPGothic"}, {u"MS UI Gothic", "IPAPGothic"},
    {u"MS Mincho", "IPAMincho"},     {u"Arial", "Liberation Sans"}, {u"SimSun", "AR PL UMing CN"},
    {u"PMingLiU", "AR PL UMing TW"}, {u"Gulim", "NanumGothic"},
};

// Where Debian installs each family (fonts-ipafont-gothic, -mincho,
// fonts-liberation, fonts-arphic-uming, fonts-nanum). A collection holds
// several families; the one wanted is picked by its name.
constexpr int32_t FILES_PER_FAMILY = 2;
struct FamilyFiles {
    const char* family;
    const char* files[FILES_PER_FAMILY];
};
constexpr FamilyFiles FAMILY_FILES[] = {
    {"IPAGothic", {"/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf", nullptr}},
    {"IPAPGothic", {"/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf", nullptr}},
    {"IPAMincho", {"/usr/share/fonts/opentype/ipafont-mincho/ipam.ttf", nullptr}},
    {"Liberation Sans",
     {"/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
      "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf"}},
    {"AR PL UMing CN", {"/usr/share/fonts/truetype/arphic/uming.ttc", nullptr}},
    {"AR PL UMing TW", {"/usr/share/fonts/truetype/arphic/uming.ttc", nullptr}},
    {"NanumGothic",
     {"/usr/share/fonts/truetype/nanum/NanumGothic.ttf",
      "/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf"}},
};
// Characters a face lacks come from here, as the system's font linking
// would give them.
constexpr char FALLBACK_FAMILY[] = "IPAPGothic";

constexpr int32_t BOLD_WEIGHT = 600;
constexpr int32_t CLASSIC_CELL = 16;
constexpr int32_t CLASSIC_SMALL_CELL = 11;

// The family a Windows face name stands for; nothing for a face no board
// PC has.
const char* familyOf(const char16_t* face) {
    for (const FaceMapping& mapping : FACE_MAPPINGS) {
        if (textEquals(mapping.windowsFace, face)) {
            return mapping.family;
        }
    }
    return nullptr;
}

FT_Library library = nullptr;

struct OpenFace {
    std::string path;
    FT_Long index;
    FT_Face face;
};
// Faces stay open for the run: a station uses a handful.
std::vector<OpenFace> openFaces;

FT_Face openFace(const char* path, FT_Long index) {
    for (const OpenFace& open : openFaces) {
        if (open.path == path && open.index == index) {
            return open.face;
        }
    }
    FT_Face face = nullptr;
    if (library == nullptr || FT_New_Face(library, path, index, &face) != 0) {
        return nullptr;
    }
    FT_Select_Charmap(face, FT_ENCODING_UNICODE);
    openFaces.push_back({path, index, face});
    return face;
}

bool sameFamily(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

// The installed face of that family, its bold member when asked for bold
// and there is one. *boldFace tells whether the face found is bold itself.
FT_Face findFamilyFace(const char* family, bool bold, bool* boldFace) {
    if (family == nullptr || library == nullptr) {
        return nullptr;
    }
    FT_Face best = nullptr;
    for (const FamilyFiles& entry : FAMILY_FILES) {
        if (!sameFamily(entry.family, family)) {
            continue;
        }
        for (const char* path : entry.files) {
            if (path == nullptr) {
                continue;
            }
            FT_Face first = openFace(path, 0);
            const FT_Long count = first != nullptr ? first->num_faces : 0;
            for (FT_Long index = 0; index < count; ++index) {
                FT_Face face = openFace(path, index);
                if (face == nullptr || face->family_name == nullptr ||
                    !sameFamily(face->family_name, family)) {
                    continue;
                }
                const bool isBold = (face->style_flags & FT_STYLE_FLAG_BOLD) != 0;
                if (best == nullptr || isBold == bold) {
                    best = face;
                    *boldFace = isBold;
                }
                if (isBold == bold) {
                    return best;
                }
            }
        }
    }
    return best;
}

// A face at a size, ready to draw: what the board's font request gives.
struct PreviewFont {
    FT_Face face = nullptr;
    FT_Face fallback = nullptr;
    int32_t ppem = 0;
    int32_t ascent = 0;  // for fonts asked for by cell height
    bool embolden = false;
    // A fixed-pitch face's character width: its glyphs advance by whole
    // multiples of it (a full-width glyph by two), as on the board PC.
    int32_t pitchUnit = 0;
};

constexpr int32_t PANOSE_PROPORTION = 3;
constexpr FT_Byte PANOSE_MONOSPACED = 9;

// The character width of a fixed-pitch face at a size, 0 for others. A face
// is fixed-pitch when it says so in its flags or, as the Japanese gothic and
// the Chinese faces do, in its PANOSE proportion (monospaced).
int32_t fixedPitchUnit(FT_Face face, int32_t ppem) {
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    const int64_t units = face->units_per_EM;
    if (os2 == nullptr || os2->xAvgCharWidth <= 0 || units <= 0) {
        return 0;
    }
    if (!FT_IS_FIXED_WIDTH(face) && os2->panose[PANOSE_PROPORTION] != PANOSE_MONOSPACED) {
        return 0;
    }
    return static_cast<int32_t>((os2->xAvgCharWidth * ppem + units / 2) / units);
}

// Resolved (face name, weight) pairs, so the font files are searched once each.
struct ResolvedFace {
    std::u16string windowsFace;
    bool bold;
    FT_Face face;
    bool embolden;
};
std::vector<ResolvedFace> resolvedFaces;
FT_Face fallbackFace = nullptr;

bool resolveFace(const char16_t* windowsFace, int32_t weight, FT_Face* face, bool* embolden) {
    const bool bold = weight >= BOLD_WEIGHT;
    for (const ResolvedFace& resolved : resolvedFaces) {
        if (resolved.bold == bold && resolved.windowsFace == windowsFace) {
            *face = resolved.face;
            *embolden = resolved.embolden;
            return *face != nullptr;
        }
    }
    bool boldFace = false;
    FT_Face found = findFamilyFace(familyOf(windowsFace), bold, &boldFace);
    // A face that is not there is substituted, as the system would.
    if (found == nullptr) {
        found = fallbackFace;
        boldFace = false;
    }
    resolvedFaces.push_back({windowsFace, bold, found, bold && !boldFace});
    *face = found;
    *embolden = bold && !boldFace;
    return found != nullptr;
}

// A font asked for by character height (the em square in pixels).
PreviewFont characterFont(const char16_t* windowsFace, int32_t height, int32_t weight) {
    PreviewFont font;
    if (!resolveFace(windowsFace, weight, &font.face, &font.embolden)) {
        return font;
    }
    font.fallback = fallbackFace;
    font.ppem = height > 0 ? height : -height;
    font.pitchUnit = fixedPitchUnit(font.face, font.ppem);
    return font;
}

// A font asked for by cell height (ascent + descent, the Windows metrics).
PreviewFont cellFont(const char16_t* windowsFace, int32_t cell, int32_t weight) {
    PreviewFont font = characterFont(windowsFace, cell, weight);
    if (font.face == nullptr) {
        return font;
    }
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(font.face, FT_SFNT_OS2));
    int64_t ascent = font.face->ascender;
    int64_t descent = -font.face->descender;
    if (os2 != nullptr && os2->usWinAscent + os2->usWinDescent > 0) {
        ascent = os2->usWinAscent;
        descent = os2->usWinDescent;
    }
    const int64_t units = font.face->units_per_EM;
    if (ascent + descent <= 0 || units <= 0) {
        font.ascent = cell * 4 / 5;
        return font;
    }
    font.ppem = static_cast<int32_t>((cell * units + (ascent + descent) / 2) / (ascent + descent));
    font.ascent = static_cast<int32_t>((ascent * font.ppem + units / 2) / units);
    font.pitchUnit = fixedPitchUnit(font.face, font.ppem);
    return font;
}

bool sizeFace(FT_Face face, int32_t ppem) {
    if (face->size != nullptr && face->size->metrics.y_ppem == ppem && face->size->metrics.x_ppem == ppem) {
        return true;
    }
    return FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(ppem)) == 0;
}

// The next code point of UTF-16 text; an unpaired surrogate stands for itself.
uint32_t nextCodePoint(const char16_t* text, int32_t length, int32_t* i) {
    const uint32_t c = text[*i];
    *i += 1;
    if (c >= 0xD800 && c <= 0xDBFF && *i < length) {
        const uint32_t low = text[*i];
        if (low >= 0xDC00 && low <= 0xDFFF) {
            *i += 1;
            return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return c;
}

// Where a run of text is drawn: a 32-bit scratch, white ink on black.
struct RunTarget {
    uint32_t* pixels = nullptr;  // nothing: measure only
    int32_t stride = 0;
    int32_t clipWidth = 0;
    int32_t clipHeight = 0;
    int32_t baseline = 0;
};

void blitGlyph(const FT_Bitmap& bitmap, int32_t left, int32_t top, const RunTarget& target) {
    for (uint32_t row = 0; row < bitmap.rows; ++row) {
        const int32_t y = top + static_cast<int32_t>(row);
        if (y < 0 || y >= target.clipHeight) {
            continue;
        }
        const unsigned char* bits = bitmap.buffer + static_cast<int64_t>(row) * bitmap.pitch;
        for (uint32_t column = 0; column < bitmap.width; ++column) {
            const int32_t x = left + static_cast<int32_t>(column);
            if (x < 0 || x >= target.clipWidth) {
                continue;
            }
            bool ink = false;
            if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
                ink = (bits[column >> 3] & (0x80 >> (column & 7))) != 0;
            } else if (bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
                ink = bits[column] >= 0x80;
            }
            if (ink) {
                target.pixels[y * target.stride + x] = 0xFFFFFF;
            }
        }
    }
}

// Lays the text out with the font's hinted advances; draws it when the
// target has pixels. Returns the width in pixels (what the board measures).
int32_t runText(const PreviewFont& font, const char16_t* text, int32_t length, const RunTarget& target) {
    if (font.face == nullptr || font.ppem <= 0 || text == nullptr || length <= 0) {
        return 0;
    }
    int64_t pen = 0;
    int32_t i = 0;
    while (i < length) {
        const uint32_t c = nextCodePoint(text, length, &i);
        FT_Face face = font.face;
        FT_UInt glyph = FT_Get_Char_Index(face, c);
        if (glyph == 0 && font.fallback != nullptr && FT_Get_Char_Index(font.fallback, c) != 0) {
            face = font.fallback;
            glyph = FT_Get_Char_Index(face, c);
        }
        if (!sizeFace(face, font.ppem) || FT_Load_Glyph(face, glyph, FT_LOAD_TARGET_MONO) != 0) {
            continue;
        }
        FT_GlyphSlot slot = face->glyph;
        const FT_Pos hintedAdvance = slot->advance.x;
        if (font.embolden) {
            FT_GlyphSlot_Embolden(slot);
        }
        if (target.pixels != nullptr && pen < target.clipWidth) {
            if (slot->format == FT_GLYPH_FORMAT_BITMAP || FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) == 0) {
                blitGlyph(slot->bitmap, static_cast<int32_t>(pen) + slot->bitmap_left,
                          target.baseline - slot->bitmap_top, target);
            }
        }
        // The board PC's font engine measures text by the glyphs' design
        // widths rounded to whole pixels but draws them at their hinted
        // widths (the two differ by a pixel here and there in the sign's
        // Latin texts), and gives an emboldened glyph one pixel more.
        int64_t advance = target.pixels != nullptr ? (hintedAdvance + 32) >> 6
                                                   : ((slot->linearHoriAdvance >> 10) + 32) >> 6;
        if (font.pitchUnit > 0 && face == font.face) {
            const int64_t cells = (advance + font.pitchUnit / 2) / font.pitchUnit;
            advance = (cells > 0 ? cells : 1) * font.pitchUnit;
        }
        if (font.embolden) {
            advance += 1;
        }
        pen += advance;
    }
    return pen > INT32_MAX ? INT32_MAX : static_cast<int32_t>(pen);
}

void clearScratch(uint32_t* pixels, int32_t stride, int32_t width, int32_t height) {
    for (int32_t y = 0; y < height; ++y) {
        std::memset(pixels + static_cast<int64_t>(y) * stride, 0,
                    sizeof(uint32_t) * static_cast<size_t>(width));
    }
}

// ---------------------------------------------------------------------------
// The classic board's LED fonts: the settings' face at cell 16 and 11.

uint32_t classicScratch[TEXT_SCRATCH_WIDTH * TEXT_SCRATCH_HEIGHT];
PreviewFont classicFonts[2];

int32_t classicMeasure(const char16_t* text, int32_t length, int32_t smallFont) {
    return runText(classicFonts[smallFont != 0 ? 1 : 0], text, length, RunTarget{});
}

void classicDraw(const char16_t* text, int32_t length, int32_t cx, int32_t offsetY, int32_t smallFont) {
    const int32_t width = cx < TEXT_SCRATCH_WIDTH ? cx : TEXT_SCRATCH_WIDTH;
    clearScratch(classicScratch, TEXT_SCRATCH_WIDTH, width, TEXT_SCRATCH_HEIGHT);
    const PreviewFont& font = classicFonts[smallFont != 0 ? 1 : 0];
    RunTarget target;
    target.pixels = classicScratch;
    target.stride = TEXT_SCRATCH_WIDTH;
    target.clipWidth = width;
    target.clipHeight = TEXT_SCRATCH_HEIGHT;
    target.baseline = offsetY + font.ascent;
    runText(font, text, length, target);
}

const GlyphSource CLASSIC_GLYPHS = {classicMeasure, classicDraw, classicScratch};

// ---------------------------------------------------------------------------
// The new-style sign's LED fonts: the language slot's face at a character
// height; the font chosen by the measurement is the one the drawing uses.

uint32_t ledScratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];
PreviewFont ledCurrentFont;

int32_t ledMeasure(const char16_t* text, int32_t length, int32_t slot, int32_t height, int32_t weight) {
    if (slot < 0 || slot >= FONT_SLOT_COUNT) {
        return 0;
    }
    ledCurrentFont = characterFont(gNewStyle.fontSlots[slot].face, height, weight);
    return runText(ledCurrentFont, text, length, RunTarget{});
}

void ledDraw(const char16_t* text, int32_t length, int32_t cx, int32_t cell, int32_t baselineY) {
    const int32_t width = cx < LED_SCRATCH_WIDTH ? cx : LED_SCRATCH_WIDTH;
    const int32_t height = cell < LED_SCRATCH_HEIGHT ? cell : LED_SCRATCH_HEIGHT;
    clearScratch(ledScratch, LED_SCRATCH_WIDTH, width, height);
    RunTarget target;
    target.pixels = ledScratch;
    target.stride = LED_SCRATCH_WIDTH;
    target.clipWidth = width;
    target.clipHeight = height;
    target.baseline = baselineY;
    runText(ledCurrentFont, text, length, target);
}

const LedGlyphSource LED_GLYPHS = {ledMeasure, ledDraw, ledScratch};

bool glyphsInstalled = false;

}  // namespace

int32_t previewFaceInstalled(const char16_t* face) {
    bool boldFace = false;
    return findFamilyFace(familyOf(face), false, &boldFace) != nullptr ? 1 : 0;
}

void installPreviewGlyphs() {
    if (glyphsInstalled) {
        return;
    }
    glyphsInstalled = true;
    // The server has no settings file: the faces a board PC has by default.
    applySetting(u"フォント", u"MS Gothic");
    applySetting(u"ラベルフォント", u"MS PGothic");
    applySetting(u"消灯ドット", u"1");
    if (FT_Init_FreeType(&library) != 0) {
        library = nullptr;
    }

    bool boldFace = false;
    fallbackFace = findFamilyFace(FALLBACK_FAMILY, false, &boldFace);
    classicFonts[0] = cellFont(gSettings.settings.fontFace, CLASSIC_CELL, 400);
    classicFonts[1] = cellFont(gSettings.settings.fontFace, CLASSIC_SMALL_CELL, 400);
    setGlyphSource(&CLASSIC_GLYPHS);
    fillFontSlots(previewFaceInstalled);
    setLedGlyphSource(&LED_GLYPHS);
}
