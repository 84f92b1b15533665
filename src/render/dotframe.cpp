// The classic LED grid and everything that turns it into pixels: the eight
// palette colours, the round dot sprites built for the current pitch, the
// blit of the active area onto a 32-bit surface, and the commit that tells
// the window whether anything changed since the last repaint.
#include <cstring>

#include "platform/platform.h"
#include "render/render.h"
#include "render/spritecells.h"

DotFrame dotFrame;
DotFrame presentedFrame;
DotSpriteSheet dotSprites;

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

void buildDotSprites(int32_t n) {
    if (dotSprites.pixels != nullptr) {
        heapFree(dotSprites.pixels);
        dotSprites.pixels = nullptr;
    }
    dotSprites.pitch = 0;
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
    dotSprites.pixels = pixels;
    dotSprites.pitch = n;
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
        std::memset(dotFrame.dots + r * DOT_STRIDE, 0, static_cast<size_t>(width));
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

// The surface is written directly, so every dot is cut to the surface: a
// window smaller than the housing (pitch 1, housing hanging over the left or
// top edge) only loses the dots it cannot show.
void blitDotFrame(const PixelSurface& surface, int32_t leftX, int32_t topY, int32_t n, int32_t width,
                  int32_t rows, int32_t drawUnlit) {
    if (surface.pixels == nullptr || dotSprites.pixels == nullptr || n <= 0 || n != dotSprites.pitch) {
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
        row.grid = dotFrame.dots + r * DOT_STRIDE;
        for (int64_t y = firstY; y < endY; ++y) {
            row.line = surface.pixels + (py + y) * surfaceWidth;
            row.spriteRow = dotSprites.pixels + y * n;
            // Whole cells: n pixels each, written left to right along the row.
            if (fullFirst < fullEnd) {
                uint32_t* out = row.line + leftX + fullFirst * n;
                copySpriteCells(out, row.grid, fullFirst, fullEnd, row.spriteRow, n, drawUnlit, PALETTE_SIZE);
            }
            blitCutCells(row, fullFirst, fullEnd);
        }
    }
}

bool commitDotFrame(int32_t width, int32_t rows) {
    if (width > DOT_COLUMNS) {
        width = DOT_COLUMNS;
    }
    if (rows > DOT_ROWS / BOARD_ROW_DOTS) {
        rows = DOT_ROWS / BOARD_ROW_DOTS;
    }
    if (width <= 0 || rows <= 0) {
        return false;
    }
    const int32_t dotRows = rows * BOARD_ROW_DOTS;
    bool changed = false;
    for (int32_t r = 0; r < dotRows && !changed; ++r) {
        changed = std::memcmp(dotFrame.dots + r * DOT_STRIDE, presentedFrame.dots + r * DOT_STRIDE,
                              static_cast<size_t>(width)) != 0;
    }
    if (!changed) {
        return false;
    }
    for (int32_t r = 0; r < dotRows; ++r) {
        std::memcpy(presentedFrame.dots + r * DOT_STRIDE, dotFrame.dots + r * DOT_STRIDE,
                    static_cast<size_t>(width));
    }
    return true;
}

void invalidatePresentedFrame() {
    std::memset(presentedFrame.dots, DOT_FORCE_REPAINT, sizeof(presentedFrame.dots));
    forceFullPaint();
}
