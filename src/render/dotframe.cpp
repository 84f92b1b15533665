// The classic LED grid and everything that turns it into pixels: the eight
// palette colours, the round dot sprites built for the current pitch, the
// blit of the active area onto a 32-bit surface, and the commit that tells
// the window whether anything changed since the last repaint.
#include <cstring>

#include "platform/platform.h"
#include "render/render.h"
#include "render/spritecells.h"

RenderState gRender;

const uint32_t CLASSIC_PALETTE[PALETTE_SIZE] = {
    0x1E1E1E,  // unlit
    0x30FF40,  // green
    0xFF8C00,  // orange
    0xFF2828,  // red
    0xFFE000,  // yellow
    0xF0F0F0,  // white
    0x40B8FF,  // light blue
    0xFF50D0,  // pink
};

// A dot of one or two pixels is a full square; larger ones are discs of
// radius 0.43 n, their edge pixels shaded by 4 x 4 sub-samples. Distances
// are in eighths of a pixel from the cell centre, so everything stays integer.
int32_t dotCoverage(int32_t n, int32_t px, int32_t py) {
    if (n < 3) {
        return 255;
    }
    const int32_t r = 344 * n / 100;
    int32_t count = 0;
    for (int32_t sy = 0; sy < 4; ++sy) {
        for (int32_t sx = 0; sx < 4; ++sx) {
            const int64_t x = 8 * static_cast<int64_t>(px) + 2 * sx + 1 - 4 * static_cast<int64_t>(n);
            const int64_t y = 8 * static_cast<int64_t>(py) + 2 * sy + 1 - 4 * static_cast<int64_t>(n);
            if (x * x + y * y <= static_cast<int64_t>(r) * r) {
                ++count;
            }
        }
    }
    return count * 255 / 16;
}

void fillDotSprites(uint32_t* sprites, int32_t n, const uint32_t* palette, int32_t count) {
    const int32_t cell = n * n;
    for (int32_t py = 0; py < n; ++py) {
        for (int32_t px = 0; px < n; ++px) {
            const uint32_t c = static_cast<uint32_t>(dotCoverage(n, px, py));
            for (int32_t k = 0; k < count; ++k) {
                const uint32_t red = ((palette[k] >> 16) & 0xFF) * c / 255;
                const uint32_t green = ((palette[k] >> 8) & 0xFF) * c / 255;
                const uint32_t blue = (palette[k] & 0xFF) * c / 255;
                sprites[k * cell + py * n + px] = (red << 16) | (green << 8) | blue;
            }
        }
    }
}

// The sheet's run rows and whether its sprites are the same upside down
// (round dots are): what lets the blit copy blocks instead of single cells.
static void prepareRunRows(int32_t n) {
    const uint32_t* pixels = gRender.dotSprites.pixels;
    gRender.dotSprites.mirrored = 1;
    for (int32_t v = 0; v < PALETTE_SIZE; ++v) {
        const uint32_t* sprite = pixels + v * n * n;
        for (int32_t py = 0; py < n / 2; ++py) {
            if (std::memcmp(sprite + py * n, sprite + (n - 1 - py) * n,
                            static_cast<size_t>(n) * sizeof(uint32_t)) != 0) {
                gRender.dotSprites.mirrored = 0;
            }
        }
    }
    const size_t chunk = static_cast<size_t>(DOT_RUN_CHUNK) * static_cast<size_t>(n);
    auto* runRows = static_cast<uint32_t*>(
        heapAlloc(static_cast<size_t>(PALETTE_SIZE) * static_cast<size_t>(n) * chunk * sizeof(uint32_t)));
    if (runRows == nullptr) {
        return;  // cells are copied one by one
    }
    for (int32_t v = 0; v < PALETTE_SIZE; ++v) {
        for (int32_t py = 0; py < n; ++py) {
            const uint32_t* in = pixels + (v * n + py) * n;
            uint32_t* out =
                runRows + (static_cast<size_t>(v) * static_cast<size_t>(n) + static_cast<size_t>(py)) * chunk;
            for (int32_t c = 0; c < DOT_RUN_CHUNK; ++c) {
                std::memcpy(out + static_cast<size_t>(c) * static_cast<size_t>(n), in,
                            static_cast<size_t>(n) * sizeof(uint32_t));
            }
        }
    }
    gRender.dotSprites.runRows = runRows;
}

void buildDotSprites(int32_t n) {
    heapFree(gRender.dotSprites.pixels);
    heapFree(gRender.dotSprites.runRows);
    gRender.dotSprites.pixels = nullptr;
    gRender.dotSprites.runRows = nullptr;
    gRender.dotSprites.mirrored = 0;
    gRender.dotSprites.pitch = 0;
    if (n <= 0) {
        return;
    }
    const size_t count = static_cast<size_t>(PALETTE_SIZE) * static_cast<size_t>(n) * static_cast<size_t>(n);
    auto* pixels = static_cast<uint32_t*>(heapAlloc(count * sizeof(uint32_t)));
    if (pixels == nullptr) {
        // No sheet: the paint skips the dots until a later build succeeds.
        return;
    }
    fillDotSprites(pixels, n, CLASSIC_PALETTE, PALETTE_SIZE);
    gRender.dotSprites.pixels = pixels;
    gRender.dotSprites.pitch = n;
    prepareRunRows(n);
}

void clearDotFrameActiveArea(int32_t width, int32_t rows) {
    if (width > DOT_COLUMNS) {
        width = DOT_COLUMNS;
    }
    if (rows > DOT_ROWS / BOARD_ROW_DOTS) {
        rows = DOT_ROWS / BOARD_ROW_DOTS;
    }
    if (width <= 0 || rows <= 0) {
        return;
    }
    const int32_t dotRows = rows * BOARD_ROW_DOTS;
    for (int32_t r = 0; r < dotRows; ++r) {
        std::memset(gRender.dotFrame.dots + r * DOT_STRIDE, 0, static_cast<size_t>(width));
    }
}

// One pixel row of a dot row on its way to the surface.
struct BlitRow {
    uint32_t* line;             // the surface's pixel row
    const uint8_t* grid;        // the dot row's palette indices
    const uint32_t* spriteRow;  // pixel row y of sprite 0
    int64_t leftX;
    int64_t surfaceWidth;
    int32_t n;
    int32_t cell;  // pixels per sprite
    int32_t width;
    int32_t drawUnlit;
};

// The cells of the row that the left or right edge of the surface cuts
// (every column outside fullFirst..fullEnd), each drawn only where it is on
// the surface.
static void blitCutCells(const BlitRow& row, int64_t fullFirst, int64_t fullEnd) {
    for (int64_t c = 0; c < row.width; ++c) {
        if (c == fullFirst) {
            c = fullEnd;
            if (c >= row.width) {
                break;
            }
        }
        uint32_t v = row.grid[c];
        if (v == 0 && row.drawUnlit == 0) {
            continue;
        }
        if (v >= PALETTE_SIZE) {
            v = 0;
        }
        const int64_t px = row.leftX + c * row.n;
        const int64_t firstX = px < 0 ? -px : 0;
        const int64_t endX = row.surfaceWidth - px < row.n ? row.surfaceWidth - px : row.n;
        const uint32_t* in = row.spriteRow + v * static_cast<uint32_t>(row.cell);
        for (int64_t i = firstX; i < endX; ++i) {
            row.line[px + i] = in[i];
        }
    }
}

// One pixel row (py of the sprites) of a dot row whose cells all lie on the
// surface, given the row's runs of equal dots: a run of four or more is
// copied from the sheet's run rows a chunk at a time, shorter ones cell by
// cell. N is the pitch when it is at most 16 (so a cell's copy is a few wide
// moves), else 0 and n is the pitch.
template <int32_t N>
static void blitRunsRowOf(uint32_t* out, const uint8_t* grid, const int32_t* runStart, int32_t runs,
                          int32_t py, int32_t n, int32_t drawUnlit) {
    constexpr int32_t BLOCK_RUN = 4;
    const int32_t pitch = N != 0 ? N : n;
    const size_t chunk = static_cast<size_t>(DOT_RUN_CHUNK) * static_cast<size_t>(pitch);
    const uint32_t* spriteRow = gRender.dotSprites.pixels + py * pitch;
    for (int32_t k = 0; k < runs; ++k) {
        const int32_t first = runStart[k];
        const int32_t end = runStart[k + 1];
        uint32_t v = grid[first];
        if (v == 0 && drawUnlit == 0) {
            continue;
        }
        if (v >= PALETTE_SIZE) {
            v = 0;
        }
        if (end - first < BLOCK_RUN || gRender.dotSprites.runRows == nullptr) {
            copySpriteCellsOf<N>(out + static_cast<int64_t>(first) * pitch, grid, first, end, spriteRow,
                                 pitch, drawUnlit, PALETTE_SIZE);
            continue;
        }
        const uint32_t* block =
            gRender.dotSprites.runRows +
            (static_cast<size_t>(v) * static_cast<size_t>(pitch) + static_cast<size_t>(py)) * chunk;
        for (int32_t c = first; c < end; c += DOT_RUN_CHUNK) {
            const int32_t cells = end - c < DOT_RUN_CHUNK ? end - c : DOT_RUN_CHUNK;
            copyPixels(out + static_cast<int64_t>(c) * pitch, block,
                       static_cast<size_t>(cells) * static_cast<size_t>(pitch));
        }
    }
}

// The starts of the runs of equal dots in a dot row of width > 0 dots, into
// runStart[0..runs], runStart[runs] being width; returns runs. Written
// without a branch on the dots, which would be mispredicted at every edge
// of a character.
static int32_t findDotRuns(const uint8_t* dots, int32_t width, int32_t* runStart) {
    int32_t runs = 1;
    runStart[0] = 0;
    for (int32_t c = 1; c < width; ++c) {
        runStart[runs] = c;
        runs += dots[c] != dots[c - 1] ? 1 : 0;
    }
    runStart[runs] = width;
    return runs;
}

using BlitRunsRow = void (*)(uint32_t*, const uint8_t*, const int32_t*, int32_t, int32_t, int32_t, int32_t);
// blitRunsRowOf for pitches 0 (any) to 16.
static constexpr BlitRunsRow BLIT_RUNS_ROW[] = {
    blitRunsRowOf<0>,  blitRunsRowOf<1>,  blitRunsRowOf<2>,  blitRunsRowOf<3>,  blitRunsRowOf<4>,
    blitRunsRowOf<5>,  blitRunsRowOf<6>,  blitRunsRowOf<7>,  blitRunsRowOf<8>,  blitRunsRowOf<9>,
    blitRunsRowOf<10>, blitRunsRowOf<11>, blitRunsRowOf<12>, blitRunsRowOf<13>, blitRunsRowOf<14>,
    blitRunsRowOf<15>, blitRunsRowOf<16>};

// The blit of a panel that lies wholly on the surface, dot row by dot row
// (blitPanelDotRow): a drawn pixel row is copied cell after cell when unlit
// dots are drawn, else drawn by the dot row's runs, so that runs of unlit
// dots are skipped whole. A paint of the whole of a surface too large for
// the cache asks for streaming (streamed); it streams only with every dot
// drawn, so that the blit owns every pixel of the panel.
static void blitWholePanel(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                           int32_t dotRows, int32_t drawUnlit, bool streamed) {
    const int64_t stride = surface.width;
    const size_t rowPixels = static_cast<size_t>(width) * static_cast<size_t>(n);
    uint32_t* scratch = streamed && drawUnlit != 0 && surfaceIsStreamed(surface.width, surface.height)
                            ? blitRowScratch(rowPixels * static_cast<size_t>(n))
                            : nullptr;
    int32_t runStart[DOT_COLUMNS + 1];
    for (int32_t r = 0; r < dotRows; ++r) {
        const uint8_t* grid = gRender.dotFrame.dots + r * DOT_STRIDE;
        uint32_t* rowOut =
            surface.pixels + (static_cast<int64_t>(topY) + static_cast<int64_t>(r) * n) * stride + leftX;
        const bool sameAsAbove =
            r > 0 && std::memcmp(grid, grid - DOT_STRIDE, static_cast<size_t>(width)) == 0;
        const int32_t runs = drawUnlit != 0 || sameAsAbove ? 0 : findDotRuns(grid, width, runStart);
        blitPanelDotRow(rowOut, stride, scratch, rowPixels, n, gRender.dotSprites.mirrored != 0, sameAsAbove,
                        [&](uint32_t* row, int32_t py) {
                            if (drawUnlit != 0) {
                                copySpriteCells(row, grid, 0, width, gRender.dotSprites.pixels + py * n, n, 1,
                                                PALETTE_SIZE);
                            } else {
                                BLIT_RUNS_ROW[n <= 16 ? n : 0](row, grid, runStart, runs, py, n, 0);
                            }
                        });
    }
    if (scratch != nullptr) {
        streamedPixelsDone();
    }
}

uint32_t* blitRowScratch(size_t pixels) {
    static struct {
        uint32_t* pixels;  // heapAlloc block, absent until first needed
        size_t capacity;   // pixels it holds
    } gScratch = {nullptr, 0};
    if (pixels > gScratch.capacity || gScratch.pixels == nullptr) {
        heapFree(gScratch.pixels);
        gScratch.capacity = 0;
        gScratch.pixels = static_cast<uint32_t*>(heapAlloc(pixels * sizeof(uint32_t)));
        if (gScratch.pixels != nullptr) {
            gScratch.capacity = pixels;
        }
    }
    return gScratch.pixels;
}

// The surface is written directly, so every dot is cut to the surface: a
// window smaller than the housing (pitch 1, housing hanging over the left or
// top edge) only loses the dots it cannot show.
static void blitDots(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                     int32_t rows, int32_t drawUnlit, bool streamed) {
    if (surface.pixels == nullptr || gRender.dotSprites.pixels == nullptr || n <= 0 ||
        n != gRender.dotSprites.pitch) {
        return;
    }
    if (width > DOT_COLUMNS) {
        width = DOT_COLUMNS;
    }
    if (rows > DOT_ROWS / BOARD_ROW_DOTS) {
        rows = DOT_ROWS / BOARD_ROW_DOTS;
    }
    const int64_t surfaceWidth = surface.width;
    const int64_t surfaceHeight = surface.height;
    const int32_t dotRows = rows * BOARD_ROW_DOTS;
    if (width <= 0 || dotRows <= 0) {
        return;
    }
    if (leftX >= 0 && topY >= 0 && leftX + static_cast<int64_t>(width) * n <= surfaceWidth &&
        topY + static_cast<int64_t>(dotRows) * n <= surfaceHeight) {
        blitWholePanel(surface, leftX, topY, n, width, dotRows, drawUnlit, streamed);
        return;
    }
    // Dot columns whose whole cell lies inside the surface horizontally.
    int64_t fullFirst = leftX < 0 ? (-static_cast<int64_t>(leftX) + n - 1) / n : 0;
    int64_t fullEnd = (surfaceWidth - leftX) >= 0 ? (surfaceWidth - leftX) / n : 0;
    if (fullFirst > width) {
        fullFirst = width;
    }
    if (fullEnd > width) {
        fullEnd = width;
    }
    if (fullEnd < fullFirst) {
        fullEnd = fullFirst;
    }
    BlitRow row{nullptr, nullptr, nullptr, leftX, surfaceWidth, n, n * n, width, drawUnlit};
    for (int32_t r = 0; r < dotRows; ++r) {
        const int64_t py = static_cast<int64_t>(topY) + static_cast<int64_t>(r) * n;
        const int64_t firstY = py < 0 ? -py : 0;
        const int64_t endY = surfaceHeight - py < n ? surfaceHeight - py : n;
        if (firstY >= endY) {
            continue;
        }
        row.grid = gRender.dotFrame.dots + r * DOT_STRIDE;
        for (int64_t y = firstY; y < endY; ++y) {
            row.line = surface.pixels + (py + y) * surfaceWidth;
            row.spriteRow = gRender.dotSprites.pixels + y * n;
            // Whole cells: n pixels each, written left to right along the row.
            if (fullFirst < fullEnd) {
                uint32_t* out = row.line + leftX + fullFirst * n;
                copySpriteCells(out, row.grid, fullFirst, fullEnd, row.spriteRow, n, drawUnlit, PALETTE_SIZE);
            }
            blitCutCells(row, fullFirst, fullEnd);
        }
    }
}

void blitDotFrame(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                  int32_t rows, int32_t drawUnlit) {
    blitDots(surface, leftX, topY, n, width, rows, drawUnlit, false);
}

void blitDotFrameStreamed(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                          int32_t rows, int32_t drawUnlit) {
    blitDots(surface, leftX, topY, n, width, rows, drawUnlit, true);
}

// The active area held to what the frame can hold; false when it is empty.
static bool clampActiveArea(int32_t* width, int32_t* rows) {
    if (*width > DOT_COLUMNS) {
        *width = DOT_COLUMNS;
    }
    if (*rows > DOT_ROWS / BOARD_ROW_DOTS) {
        *rows = DOT_ROWS / BOARD_ROW_DOTS;
    }
    return *width > 0 && *rows > 0;
}

bool dotFrameMatchesPresented(int32_t width, int32_t rows) {
    if (!clampActiveArea(&width, &rows)) {
        return true;
    }
    const int32_t dotRows = rows * BOARD_ROW_DOTS;
    for (int32_t r = 0; r < dotRows; ++r) {
        if (std::memcmp(gRender.dotFrame.dots + r * DOT_STRIDE, gRender.presentedFrame.dots + r * DOT_STRIDE,
                        static_cast<size_t>(width)) != 0) {
            return false;
        }
    }
    return true;
}

bool commitDotFrame(int32_t width, int32_t rows) {
    if (!clampActiveArea(&width, &rows) || dotFrameMatchesPresented(width, rows)) {
        return false;
    }
    const int32_t dotRows = rows * BOARD_ROW_DOTS;
    for (int32_t r = 0; r < dotRows; ++r) {
        std::memcpy(gRender.presentedFrame.dots + r * DOT_STRIDE, gRender.dotFrame.dots + r * DOT_STRIDE,
                    static_cast<size_t>(width));
    }
    return true;
}

void invalidatePresentedFrame() {
    std::memset(gRender.presentedFrame.dots, DOT_FORCE_REPAINT, sizeof(gRender.presentedFrame.dots));
    forceFullPaint();
}
