// The board surface of the host build: a plain heap picture of the client
// size with the same pixel layout as the Windows DIB section, so the layout,
// the fills and the dot blit run (under the sanitizers) exactly as they do
// there. The host has no font engine: boxed header text is not drawn, and
// the header fonts are only marked as present.
#include "platform/platform.h"
#include "render/render.h"

static int32_t headerFontPitch = 0;

int32_t resizeBoardSurface(int32_t clientWidth, int32_t clientHeight) {
    const size_t count = static_cast<size_t>(clientWidth) * static_cast<size_t>(clientHeight);
    auto* pixels = static_cast<uint32_t*>(heapAlloc(count * sizeof(uint32_t)));
    if (pixels == nullptr) {
        return 0;
    }
    if (gRender.boardSurface.pixels != nullptr) {
        heapFree(gRender.boardSurface.pixels);
    }
    gRender.boardSurface.pixels = pixels;
    gRender.boardSurface.width = clientWidth;
    gRender.boardSurface.height = clientHeight;
    ++gRender.surfaceGeneration;
    return 1;
}

int32_t createHeaderFonts(int32_t n) {
    headerFontPitch = n;
    return 1;
}

int32_t headerFontsReady() {
    return headerFontPitch > 0 ? 1 : 0;
}

void flushBoardSurface() {}

// Colours arrive as 0x00BBGGRR; the picture holds 0x00RRGGBB.
void fillBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    const uint32_t pixel = ((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF);
    int64_t left = x;
    int64_t top = y;
    int64_t right = static_cast<int64_t>(x) + w;
    int64_t bottom = static_cast<int64_t>(y) + h;
    if (left < 0) {
        left = 0;
    }
    if (top < 0) {
        top = 0;
    }
    if (right > gRender.boardSurface.width) {
        right = gRender.boardSurface.width;
    }
    if (bottom > gRender.boardSurface.height) {
        bottom = gRender.boardSurface.height;
    }
    if (gRender.boardSurface.pixels == nullptr || left >= right || top >= bottom) {
        return;
    }
    for (int64_t row = top; row < bottom; ++row) {
        uint32_t* out = gRender.boardSurface.pixels + row * gRender.boardSurface.width;
        for (int64_t column = left; column < right; ++column) {
            out[column] = pixel;
        }
    }
}

void drawBoxText(HeaderFont, const char16_t*, int32_t, int32_t, int32_t, int32_t, uint32_t, int32_t) {}
