// The six language font slots of the new-style sign and the bookkeeping of
// its two round-robin font caches. Which face draws each display language is
// settled once per run: the Japanese and further Japanese-script texts use
// the label face, English uses Arial, and Chinese and Korean use the first
// installed face of a short candidate list (the language is left out of the
// cycle when none is installed). The platform supplies the installed-face
// test and the font objects.
#include "render/newstyle.h"

static constexpr int32_t CANDIDATES_PER_SLOT = 4;
static constexpr uint8_t CHARSET_SHIFTJIS = 128;
static constexpr uint8_t CHARSET_ANSI = 0;

struct CandidateFaces {
    uint8_t charset;
    const char16_t* faces[CANDIDATES_PER_SLOT];
};
static constexpr CandidateFaces CANDIDATES[3] = {
    {134, {u"SimHei", u"SimSun", u"NSimSun", u"Microsoft YaHei"}},
    {136, {u"MingLiU", u"PMingLiU", u"Microsoft JhengHei", u"MingLiU_HKSCS"}},
    {129, {u"Gulim", u"Dotum", u"Batang", u"Malgun Gothic"}},
};

void fillFontSlots(int32_t (*faceInstalled)(const char16_t* face)) {
    // LED and header texts drawn so far may have come from other faces.
    forgetLedText();
    forgetHeaderStrip();
    copyText(gNewStyle.fontSlots[0].face, gSettings.settings.labelFontFace);
    gNewStyle.fontSlots[0].charset = CHARSET_SHIFTJIS;
    gNewStyle.fontSlots[0].available = 1;
    copyText(gNewStyle.fontSlots[1].face, u"Arial");
    gNewStyle.fontSlots[1].charset = CHARSET_ANSI;
    gNewStyle.fontSlots[1].available = 1;
    copyText(gNewStyle.fontSlots[2].face, gSettings.settings.labelFontFace);
    gNewStyle.fontSlots[2].charset = CHARSET_SHIFTJIS;
    gNewStyle.fontSlots[2].available = 1;
    for (int32_t k = 0; k < 3; ++k) {
        FontSlot& slot = gNewStyle.fontSlots[3 + k];
        slot.available = 0;
        slot.face[0] = 0;
        slot.charset = 0;
        for (const char16_t* face : CANDIDATES[k].faces) {
            if (faceInstalled != nullptr && faceInstalled(face) != 0) {
                copyText(slot.face, face);
                slot.charset = CANDIDATES[k].charset;
                slot.available = 1;
                break;
            }
        }
    }
    gNewStyle.fontSlotsReady = 1;
}

bool isLanguageAvailable(int32_t slot) {
    if (slot < 0 || slot >= FONT_SLOT_COUNT) {
        return false;
    }
    return gNewStyle.fontSlots[slot].available != 0;
}

void* cachedFont(CachedFont* entries, int32_t count, int32_t* next, int32_t slot, int32_t height,
                 int32_t width, int32_t weight, const FontCacheFunctions& functions) {
    for (int32_t i = 0; i < count; ++i) {
        const CachedFont& e = entries[i];
        if (e.font != nullptr && e.slot == slot && e.height == height && e.width == width &&
            e.weight == weight) {
            return e.font;
        }
    }
    if (*next < 0 || *next >= count) {
        *next = 0;
    }
    CachedFont& entry = entries[*next];
    *next = (*next + 1) % count;
    if (entry.font != nullptr) {
        functions.release(entry.font);
        entry.font = nullptr;
    }
    void* font = functions.create(slot, height, width, weight);
    if (font != nullptr) {
        ++gNewStyle.fontsCreated;
    }
    entry.slot = slot;
    entry.height = height;
    entry.width = width;
    entry.weight = weight;
    entry.font = font;
    return font;
}
