// The board surface of the host build: a plain heap picture of the client
// size with the same pixel layout as the Windows DIB section, so the layout,
// the fills and the dot blit run (under the sanitizers) exactly as they do
// there. The host has no font engine: boxed header text is not drawn, and
// the header fonts are only marked as present.
#include "platform/platform.h"
#include "render/render.h"
#include "render/spritecells.h"

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

void fillBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    fillSurfaceBox(gRender.boardSurface, x, y, w, h, colour);
}

void fillOutsideBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    fillSurfaceOutsideBox(gRender.boardSurface, x, y, w, h, colour);
}

void drawBoxText(HeaderFont, const char16_t*, int32_t, int32_t, int32_t, int32_t, uint32_t, int32_t) {}
