// What the rest of the program may use from render/: the classic LED dot
// frame and its palette, the text rasteriser, the classic composition pass,
// the off-screen board surface with its layout and paint, and the BMP writer.
//
// The dot work, the composition and the layout arithmetic are portable. The
// pixels of glyphs come from a GlyphSource (GDI fonts on Windows, a test
// source in the host tests), and the surface, the header fonts and the boxed
// header text come from the platform's surface file (a DIB section on
// Windows, a plain memory buffer in the host build).
#pragma once

#include <cstdint>

#include "documents/documents.h"

// ---------------------------------------------------------------------------
// What the board shows besides its document: how the link to the board
// server is doing and whether the boot screen is up. The caller gathers it
// for every compose and paint; nothing in render reads it from elsewhere.

struct BoardStatus {
    int32_t serverOk;              // a document arrived since start or the last reload
    uint32_t lastFetchOkTick;      // tick of the last document that arrived
    int32_t fetchAttempts;         // fetch cycles started
    const char16_t* localAddress;  // the PC's IPv4 address, empty while unknown
    int32_t bootScreenActive;
    uint32_t bootStartTick;
    uint32_t bootReadyTick;  // 0 while the boot screen is not yet ready
};

// A board treats the link as lost when its last document is more than this
// old.
constexpr uint32_t STALE_LINK_MS = 15000;

// ---------------------------------------------------------------------------
// Dot frame and palette

constexpr int32_t DOT_ROWS = 80;
constexpr int32_t DOT_COLUMNS = 512;
constexpr int32_t DOT_STRIDE = 512;
constexpr int32_t BOARD_ROW_DOTS = 16;
constexpr int32_t PALETTE_SIZE = 8;
// Never a palette index: a presented copy full of it differs from any frame.
constexpr uint8_t DOT_FORCE_REPAINT = 255;

// The classic LED grid: one palette index per dot, 0 unlit.
struct DotFrame {
    uint8_t dots[DOT_ROWS * DOT_STRIDE];
};

// Pixel values 0x00RRGGBB of the eight palette entries.
extern const uint32_t CLASSIC_PALETTE[PALETTE_SIZE];

// One n x n sprite per palette entry, sprite k at pixel k*n*n.
struct DotSpriteSheet {
    uint32_t* pixels;  // heapAlloc block, absent when the build failed
    int32_t pitch;     // the pitch the sheet was built for, 0 when none
    // For each colour and each pixel row of its sprite, that row repeated
    // across DOT_RUN_CHUNK cells, so that a run of equal dots is copied a
    // chunk at a time. Absent if it could not be made.
    uint32_t* runRows;
    int32_t mirrored;  // 1 when every sprite's lower half mirrors its upper half
};
// Cells in one row of DotSpriteSheet::runRows.
constexpr int32_t DOT_RUN_CHUNK = 32;

// A directly addressable 32-bit top-down picture, row stride = width.
struct PixelSurface {
    uint32_t* pixels;
    int32_t width;
    int32_t height;
};

// Coverage 0..255 of pixel (px, py) of an n x n dot cell.
int32_t dotCoverage(int32_t n, int32_t px, int32_t py);
// Fills sprites (room for count * n * n pixels) from a palette of count
// entries; shared with any other board that draws round LEDs.
void fillDotSprites(uint32_t* sprites, int32_t n, const uint32_t* palette, int32_t count);
void buildDotSprites(int32_t n);

// Sets W bytes of each of the R*16 active rows to 0.
void clearDotFrameActiveArea(int32_t width, int32_t rows);
// Draws the active area with its top-left dot at (leftX, topY). Dots that
// would fall outside the surface, wholly or in part, are cut at its edges.
void blitDotFrame(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                  int32_t rows, int32_t drawUnlit);
// The same for a paint of the whole surface: on a surface too large to stay
// in the cache, the panel is then streamed out (see spritecells.h) instead
// of written through the cache, where a running paint finds it again.
void blitDotFrameStreamed(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                          int32_t rows, int32_t drawUnlit);
// true when the active area differs from the presented copy (which then
// takes it over).
bool commitDotFrame(int32_t width, int32_t rows);
// Whether the active area of the frame equals the presented copy (what
// commitDotFrame would call unchanged).
bool dotFrameMatchesPresented(int32_t width, int32_t rows);
void invalidatePresentedFrame();

// ---------------------------------------------------------------------------
// Text rasteriser

constexpr int32_t TEXT_SCRATCH_WIDTH = 4096;
constexpr int32_t TEXT_SCRATCH_HEIGHT = 16;
constexpr int32_t TEXT_STRIP_WIDTH = 8192;
constexpr int32_t SMALL_TEXT_OFFSET = 5;
constexpr uint8_t INK_THRESHOLD = 0x80;

// Where glyph pixels come from. The scratch is TEXT_SCRATCH_WIDTH x 16
// 32-bit pixels, top-down, blue in the low byte.
struct GlyphSource {
    // Width in pixels of the text in the normal or the small LED font;
    // 0 or less when it cannot be measured.
    int32_t (*measure)(const char16_t* text, int32_t length, int32_t smallFont);
    // Draws the text white on black at (0, offsetY), opaque and clipped to
    // (0, 0)-(cx, 16), and makes the pixels final.
    void (*draw)(const char16_t* text, int32_t length, int32_t cx, int32_t offsetY, int32_t smallFont);
    const uint32_t* scratch;
};
// Installs the source every later call draws with (nothing: no text drawn).
void setGlyphSource(const GlyphSource* source);
// Forgets the ink of every text drawn so far; called whenever the glyph
// source's fonts change (setGlyphSource does it itself).
void forgetRasterisedText();
// Counts forgetRasterisedText calls: text drawn under another count may have
// other dots.
uint32_t rasterisedTextGeneration();

// 16 rows of 8192 palette indices.
struct TextStrip {
    uint8_t dots[BOARD_ROW_DOTS * TEXT_STRIP_WIDTH];
};

int32_t rasteriseText(const char16_t* text, int32_t length, uint8_t colour, uint8_t* target, int32_t stride,
                      int32_t columnLimit, int32_t rowLimit, int32_t x, int32_t y, int32_t boxWidth,
                      int32_t centre);
// Text with brace tags into the strip from column 0; the result never
// exceeds the strip's width.
int32_t rasteriseMarkup(const char16_t* text, uint8_t colour, TextStrip* strip, int32_t previousWidth);

// Where a classic composition draws: a dot frame and the part of it one
// board's panel uses.
struct ClassicPanel {
    DotFrame* frame;  // the grid drawn into
    int32_t width;    // the panel's columns, 0..DOT_COLUMNS
    int32_t rows;     // the panel's board rows, 0..DOT_ROWS / BOARD_ROW_DOTS
};
// A document's panel size, held to what a DotFrame can hold.
int32_t panelWidthDots(const BoardDocument& document);
int32_t panelRowCount(const BoardDocument& document);
ClassicPanel classicPanelOf(const BoardDocument& document, DotFrame* frame);
// gDocuments.currentDocument's panel size (what the window's paint lays out).
int32_t boardWidthDots();
int32_t boardRowCount();

// Plain text into board row boardRow of the panel.
int32_t rasteriseIntoPanel(const ClassicPanel& panel, const char16_t* text, uint8_t colour, int32_t x,
                           int32_t boardRow, int32_t boxWidth, int32_t centre);
// The first textWidth columns of the strip into board row boardRow from
// column x, squeezed to the panel's width when wider.
void placeTextStrip(const ClassicPanel& panel, const TextStrip& strip, int32_t textWidth, int32_t boardRow,
                    int32_t x);

// ---------------------------------------------------------------------------
// Classic board composition

// What one classic board carries from one composition to the next: its
// text strip and its scroll run. The window's panel has one (gPanelComposers)
// and the server's preview one per board, so neither disturbs the other.
struct ClassicComposer {
    TextStrip textStrip;     // one strip shared by all text rows
    int32_t textStripWidth;  // columns of textStrip in use; only those are cleared for the next text
    TextStrip scrollStrip;   // the scroll row's text, rendered once per text
    int32_t scrollWidth;     // columns of scrollStrip in use
    uint32_t scrollStart;    // tick at which the run entered at the right edge
    char16_t scrollText[CLASSIC_TEXT_CAPACITY];  // the text the run was rendered from
    uint8_t scrollColour;                        // and its colour code
    uint8_t scrollRemembered;  // 1 while a run is going; 0: the next scroll row starts afresh
};

// One pass of document at tick now into panel, with status laid over it
// (the link messages). Draws only; the caller commits what it shows.
void composeClassicDots(ClassicComposer* composer, const BoardDocument& document, uint32_t now,
                        const BoardStatus& status, const ClassicPanel& panel);
// Forgets the scroll run, so the next scroll row enters from the right edge.
void forgetClassicScroll(ClassicComposer* composer);
// The window's pass: its classic composer over gDocuments.currentDocument into
// gRender.dotFrame, then the commit; true when any dot changed.
bool composeClassicBoard(uint32_t now, const BoardStatus& status);

// ---------------------------------------------------------------------------
// Surface, layout and paint

struct BoardLayout {
    int32_t pitch;
    int32_t housingLeft;
    int32_t housingTop;
    int32_t housingWidth;
    int32_t housingHeight;
    int32_t ledLeft;
    int32_t headerTop;
    int32_t ledTop;
};

// What the window's board draws into and shows: its classic dot grid, the
// sprites its dots are painted with, its layout and its off-screen surface.
struct RenderState {
    DotFrame dotFrame;          // the classic LED grid the window's composition draws
    DotFrame presentedFrame;    // the grid as it was when a repaint was last requested
    DotSpriteSheet dotSprites;  // the dot pictures for the current pitch
    BoardLayout boardLayout;    // where the housing, header and LED panel sit on the surface
    PixelSurface boardSurface;  // the off-screen surface (client size); pixels absent before the first layout
    // Advanced whenever the surface may no longer hold what a board's last
    // paint left there: a new surface (even one at the old address), a new
    // layout, and every paint of something else. A board that repaints only
    // what changed remembers the value its full paint saw and compares it,
    // never the pixel address, which the allocator may hand out again for a
    // fresh surface.
    uint32_t surfaceGeneration;
};
extern RenderState gRender;

// Pure arithmetic of the layout for a board of width x rows dots.
BoardLayout computeBoardLayout(int32_t clientWidth, int32_t clientHeight, int32_t width, int32_t rows);
// Fits the surface to the client size and lays out gDocuments.currentDocument's board.
void layoutBoard(int32_t clientWidth, int32_t clientHeight);
// Forgets the pitch so that the next layout re-creates the header fonts.
void resetLayoutPitch();
// Composes the whole surface for the current state. The housing and header
// are redrawn only when what they show changed since the last paint or a
// full paint was asked for; the LED panel is redrawn every time.
void paintBoardFrame(const BoardStatus& status);
// Makes the next paint redraw the whole surface (invalidatePresentedFrame
// and layoutBoard ask for it; so must anything else that draws over the
// board surface).
void forceFullPaint();
// The LED panel's box on the surface when the next paint will change
// nothing else (1), or 0 when the whole surface must reach the window.
int32_t boardDotsArea(const BoardStatus& status, int32_t* x, int32_t* y, int32_t* w, int32_t* h);

enum HeaderFont : int32_t { HEADER_FONT_LABEL = 0, HEADER_FONT_CAPTION = 1, HEADER_FONT_PLATFORM = 2 };

// Colours here are 0x00BBGGRR, as the drawing interface takes them.
void fillBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour);
// Fills the whole surface but the box (x, y, w, h): the background around a
// board that paints its own box.
void fillOutsideBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour);
void drawBoxText(HeaderFont font, const char16_t* text, int32_t x, int32_t y, int32_t w, int32_t h,
                 uint32_t colour, int32_t centre);

// The platform's side of the surface (surface_win32.cpp / surface_memory.cpp).
// Makes gRender.boardSurface cw x ch; 0 when that failed (the old surface stays).
int32_t resizeBoardSurface(int32_t clientWidth, int32_t clientHeight);
// Re-creates the three header fonts for pitch n; 1 when the label font exists.
int32_t createHeaderFonts(int32_t n);
int32_t headerFontsReady();
// Makes every pending drawing final in the pixels.
void flushBoardSurface();

// ---------------------------------------------------------------------------
// BMP writer

constexpr int32_t BMP_HEADER_SIZE = 54;

// The 14-byte file header and 40-byte information header of a 32-bit
// bottom-up picture of width x height.
void buildBmpHeader(unsigned char header[BMP_HEADER_SIZE], int32_t width, int32_t height);
// Writes a 32-bit top-down surface as a bottom-up BMP file. 1 when the file
// was created and every byte written, 0 otherwise.
int32_t writeSurfaceBmp(const char16_t* path, const PixelSurface& surface);

// ---------------------------------------------------------------------------
// Windows only (textscratch_win32.cpp, surface_win32.cpp)

// The memory drawing context (an HDC) holding the board surface, for the
// paint's one block copy to the window.
void* boardSurfaceContext();

// Creates TextScratch and its drawing context, and installs the GDI glyph
// source; 1 on success.
int32_t createTextScratch();
// (Re)creates LedFont and LedSmallFont from settings.fontFace.
void createLedFonts();
