// What the rest of the program may use of the new-style station sign: the
// 384 x 48 LED grid and its composition at a tick, the language cycle, the
// dot primitives and the position diagram, the per-language font slots and
// the two font caches, and the sign composer that paintBoardFrame calls for
// a new-style document.
//
// The grid, the primitives, the diagram, the language cycle, the text-to-dots
// sampling, the font slot choice, the cache bookkeeping and the sign's
// geometry are portable. Glyph pixels, header text and rounded boxes come
// through small seams filled by GDI on Windows (fonts_win32.cpp,
// newstyle_gdi_win32.cpp) and by the memory surface in the host build.
#pragma once

#include <cstdint>

#include "render/render.h"

// ---------------------------------------------------------------------------
// LED grid and palette

constexpr int32_t NEW_STYLE_COLUMNS = 384;
constexpr int32_t NEW_STYLE_ROWS = 48;
constexpr int32_t NEW_STYLE_STRIDE = 384;
constexpr int32_t NEW_STYLE_PALETTE_SIZE = 10;

// Palette indices by use.
constexpr uint8_t LED_UNLIT = 0;
constexpr uint8_t LED_WHITE = 1;
constexpr uint8_t LED_AMBER_TEXT = 2;
constexpr uint8_t LED_AMBER = 3;
constexpr uint8_t LED_GREEN = 4;
constexpr uint8_t LED_DIM_AMBER = 5;

// Pixel values 0x00RRGGBB.
extern const uint32_t NEW_STYLE_PALETTE[NEW_STYLE_PALETTE_SIZE];

// One palette index per LED dot; dot (c, r) covers canvas unit (8 + c, 22 + r).
struct NewStyleGrid {
    uint8_t dots[NEW_STYLE_ROWS * NEW_STYLE_STRIDE];
};

// ---------------------------------------------------------------------------
// Language cycle and blink

// The language a document shows at tick now (a DisplayLanguage index).
int32_t currentLanguage(const BoardDocument& document, uint32_t now);
// true while a document's blinking times are shown.
bool blinkPhaseOn(const BoardDocument& document, uint32_t now);

// ---------------------------------------------------------------------------
// Dot primitives on newStyleGrid; dots outside the grid are dropped.

void setLed(int32_t x, int32_t y, uint8_t colour);
void ledLine(int32_t x1, int32_t x2, int32_t y, uint8_t colour);
void ledRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint8_t colour);
void ledStadium(int32_t left, int32_t top, int32_t right, int32_t bottom, uint8_t colour);
void ledRing(int32_t cx, int32_t cy);
void ledChevrons(int32_t x, int32_t y, int32_t phase);
void ledTrainPicture(int32_t x, int32_t y);
// The three-station train position diagram of a message at now.
void drawPositionDiagram(const NewStyleMessage& msg, uint32_t now);

// ---------------------------------------------------------------------------
// LED text

constexpr int32_t LED_SCRATCH_WIDTH = 2048;
constexpr int32_t LED_SCRATCH_HEIGHT = 32;

// Where the glyph pixels of LED text come from. The scratch is 2048 x 32
// 32-bit pixels, top-down, row stride 2048, blue in the low byte.
struct LedGlyphSource {
    // Picks the LED font for (slot, height, weight) and measures the text;
    // 0 or less when it cannot be measured.
    int32_t (*measure)(const char16_t* text, int32_t length, int32_t slot, int32_t height, int32_t weight);
    // Draws the text white on black, opaque and clipped to (0, 0)-(cx, cell),
    // left-aligned at x 0 with its baseline at baselineY, and makes the
    // pixels final.
    void (*draw)(const char16_t* text, int32_t length, int32_t cx, int32_t cell, int32_t baselineY);
    const uint32_t* scratch;
};
// Installs the source every later LED text uses (nothing: no text drawn).
void setLedGlyphSource(const LedGlyphSource* source);
// Forgets the ink of every LED text drawn so far (new fonts or faces).
void forgetLedText();
// Forgets the header strip kept for the next full paint (new fonts).
void forgetHeaderStrip();

int32_t drawLedText(const char16_t* text, int32_t slot, int32_t height, int32_t weight, int32_t cell,
                    uint8_t* target, int32_t stride, int32_t columnLimit, int32_t rowLimit, int32_t x,
                    int32_t y, uint8_t colour, int32_t maxWidth, int32_t centre);

constexpr int32_t NEW_STYLE_SCROLL_ROWS = 22;
constexpr int32_t NEW_STYLE_SCROLL_WIDTH = 4096;
// Dots per second of a scroll text whose document gives no speed.
constexpr int32_t NEW_STYLE_DEFAULT_SCROLL_SPEED = 40;

// What one new-style sign carries from one composition to the next: its
// scrolling text, rendered once per text, and where that run started. The
// window's sign has one (gPanelComposers), the server's preview one per
// board.
struct NewStyleComposer {
    int32_t scrollValid;                        // 0: the next scroll text starts afresh
    char16_t scrollText[SCROLL_TEXT_CAPACITY];  // the text scrollStrip holds
    int32_t scrollWidth;                        // columns of scrollStrip in use
    uint32_t scrollStart;                       // tick at which the run entered at the right edge
    uint8_t scrollStrip[NEW_STYLE_SCROLL_ROWS * NEW_STYLE_SCROLL_WIDTH];  // the text's dots
};

// Clears and fills newStyleGrid from document for tick now.
void composeNewStyleDots(NewStyleComposer* composer, const BoardDocument& document, uint32_t now,
                         const BoardStatus& status);
// Forgets the scroll text, so the next scroll starts at the right edge.
void forgetNewStyleScroll(NewStyleComposer* composer);

// The composers of the board this process shows in its window (and its
// snapshot); the server's previews hold their own.
struct PanelComposers {
    ClassicComposer classic;    // the classic panel's
    NewStyleComposer newStyle;  // the new-style sign's LED grid
};
extern PanelComposers gPanelComposers;

// The window's sign: its composer over gDocuments.currentDocument.
void composeNewStyleLeds(uint32_t now, const BoardStatus& status);
// Forgets the window sign's scroll text.
void resetNewStyleScroll();

// ---------------------------------------------------------------------------
// Fonts

constexpr int32_t FONT_SLOT_COUNT = 6;
constexpr int32_t FONT_SLOT_FACE_CAPACITY = 32;
constexpr int32_t LED_FONT_CACHE_SIZE = 16;
constexpr int32_t HEADER_FONT_CACHE_SIZE = 40;

struct FontSlot {
    char16_t face[FONT_SLOT_FACE_CAPACITY];
    uint8_t charset;
    uint8_t available;
};

// Fills the slots, asking faceInstalled about the Chinese and Korean
// candidates in their order of preference.
void fillFontSlots(int32_t (*faceInstalled)(const char16_t* face));
// The platform's slot set-up (family enumeration on Windows); runs once.
void initFontSlots();
// Windows: 1 when the system enumerates a font family of that face name.
int32_t isFaceInstalled(const char16_t* face);
bool isLanguageAvailable(int32_t slot);

// One font of a round-robin cache; font is the platform's handle.
struct CachedFont {
    int32_t slot;
    int32_t height;
    int32_t width;
    int32_t weight;
    void* font;
};
struct FontCacheFunctions {
    void* (*create)(int32_t slot, int32_t height, int32_t width, int32_t weight);
    // Called before a replaced font is deleted, then for its deletion.
    void (*release)(void* font);
};
// The font for the key: a cached one, or a new one in the next entry (whose
// old font is released first).
void* cachedFont(CachedFont* entries, int32_t count, int32_t* next, int32_t slot, int32_t height,
                 int32_t width, int32_t weight, const FontCacheFunctions& functions);

// Windows: fonts from LedFontCache and HeaderFontCache.
void* ledFont(int32_t slot, int32_t height, int32_t weight);
void* headerFont(int32_t slot, int32_t height, int32_t width, int32_t weight);

// ---------------------------------------------------------------------------
// The sign

constexpr int32_t CANVAS_WIDTH = 400;
constexpr int32_t CANVAS_HEIGHT = 79;

struct NewStyleView {
    int32_t scale;  // S: the whole-pixel scale in thousandths
    int32_t originX;
    int32_t originY;
};
NewStyleView computeNewStyleView(int32_t surfaceWidth, int32_t surfaceHeight);

struct NewStyleSprites {
    uint32_t* pixels;  // ten s x s pictures, absent when none
    int32_t scale;     // s
    int32_t mirrored;  // 1 when every sprite's lower half mirrors its upper half
};

// The new-style sign: the grid its composition draws into (the server's
// preview reads it too), the language slots' faces, where the window's sign
// sits on the board surface, the pictures its dots are painted with, and
// its fonts' bookkeeping.
struct NewStyleState {
    NewStyleGrid newStyleGrid;            // the grid every composition of a sign draws into
    FontSlot fontSlots[FONT_SLOT_COUNT];  // the language slots' faces
    NewStyleView newStyleView;            // the canvas's scale and origin on the board surface
    NewStyleSprites newStyleSprites;      // the LED pictures for the view's scale
    int32_t fontSlotsReady;               // 1 once fontSlots were filled (they are filled once)
    int32_t fontsCreated;                 // fonts created by both caches since start-up
};
extern NewStyleState gNewStyle;

// Where header text comes from (GDI on Windows; nothing or a test source on
// the host).
struct HeaderTextSource {
    // Selects the header font; gives its average character width and its
    // ascent + descent; 0 when there is no font.
    int32_t (*select)(int32_t slot, int32_t height, int32_t width, int32_t weight, int32_t* averageWidth,
                      int32_t* cellHeight);
    int32_t (*measure)(const char16_t* text, int32_t length);
    // Transparent background, top-left at (x, y); colour 0x00BBGGRR.
    void (*draw)(const char16_t* text, int32_t length, int32_t x, int32_t y, uint32_t colour);
};
void setHeaderTextSource(const HeaderTextSource* source);

// The platform's rounded rectangle: corners in pixels (right and bottom
// exclusive plus the one extra pixel of a pen-less box), corner ellipse size,
// fill (when hasFill) and outline of penWidth pixels (none when 0).
// Colours 0x00BBGGRR.
void fillCanvasShape(int32_t left, int32_t top, int32_t right, int32_t bottom, int32_t ellipse,
                     int32_t hasFill, uint32_t fill, int32_t penWidth, uint32_t outline);

constexpr int32_t ALIGN_LEFT = 0;
constexpr int32_t ALIGN_CENTRE = 1;
constexpr int32_t ALIGN_RIGHT = 2;

void drawCanvasBox(int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius, int32_t hasFill, uint32_t fill,
                   int32_t outlineWidth, uint32_t outline);
int32_t drawCanvasText(const char16_t* text, int32_t x, int32_t y, int32_t height, int32_t slot,
                       int32_t weight, uint32_t colour, int32_t maxWidth, int32_t align);

// The whole sign into gRender.boardSurface at the tick count / at tick now.
void composeNewStyleBoard(const BoardStatus& status);
// The next paint redraws the whole sign (the surface was drawn over by
// something else, or fonts or settings changed).
void forceNewStyleFullPaint();
// The LED panel's box when the next paint will change nothing else (1), or
// 0 when the whole surface must reach the window.
int32_t newStyleLedArea(int32_t* x, int32_t* y, int32_t* w, int32_t* h);
void composeNewStyleBoardAt(uint32_t now, const BoardStatus& status);
// The LED grid alone for tick now (font slots and LED text made ready first).
void composeNewStyleBoardLeds(uint32_t now, const BoardStatus& status);
// The platform's LED text scratch and both text sources; 1 when ready.
int32_t prepareNewStyleText();
