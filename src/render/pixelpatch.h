// A saved rectangle of the board surface's pixels: what a full paint drew
// once (a header with its texts) put back by a block copy when the same
// thing is to be drawn again, instead of rasterising the same texts anew.
// The block is reserved when the layout is made, never during a paint.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "render/render.h"
#include "render/spritecells.h"

struct PixelPatch {
    uint32_t* pixels;  // heapAlloc block of capacity pixels, absent when none
    int64_t capacity;  // pixels the block holds
    int32_t x;         // surface position and size of the saved rectangle
    int32_t y;
    int32_t w;
    int32_t h;
    bool valid;  // the block holds the rectangle as last saved
};

// Makes room for a rectangle of the given pixels and forgets what was saved.
// Without room (allocation failed) nothing is saved and every paint draws.
inline void reservePixelPatch(PixelPatch& patch, int64_t pixels) {
    patch.valid = false;
    if (pixels <= patch.capacity && patch.pixels != nullptr) {
        return;
    }
    heapFree(patch.pixels);
    patch.pixels = nullptr;
    patch.capacity = 0;
    if (pixels <= 0) {
        return;
    }
    patch.pixels = static_cast<uint32_t*>(heapAlloc(static_cast<size_t>(pixels) * sizeof(uint32_t)));
    if (patch.pixels != nullptr) {
        patch.capacity = pixels;
    }
}

// Whether the rectangle lies wholly on the surface and fits the block.
inline bool pixelPatchFits(const PixelPatch& patch, int32_t x, int32_t y, int32_t w, int32_t h) {
    return patch.pixels != nullptr && x >= 0 && y >= 0 && w > 0 && h > 0 &&
           static_cast<int64_t>(x) + w <= gRender.boardSurface.width &&
           static_cast<int64_t>(y) + h <= gRender.boardSurface.height &&
           static_cast<int64_t>(w) * h <= patch.capacity;
}

// Saves the rectangle (drawing on the surface must be flushed first); does
// nothing, and leaves the patch invalid, when it does not fit.
inline void savePixelPatch(PixelPatch& patch, int32_t x, int32_t y, int32_t w, int32_t h) {
    patch.valid = false;
    if (!pixelPatchFits(patch, x, y, w, h)) {
        return;
    }
    for (int32_t r = 0; r < h; ++r) {
        copyPixels(
            patch.pixels + static_cast<int64_t>(r) * w,
            gRender.boardSurface.pixels + (static_cast<int64_t>(y) + r) * gRender.boardSurface.width + x,
            static_cast<size_t>(w));
    }
    patch.x = x;
    patch.y = y;
    patch.w = w;
    patch.h = h;
    patch.valid = true;
}

// Puts the saved rectangle back where it was taken from; false (nothing
// drawn) when there is none or it no longer fits the surface.
inline bool restorePixelPatch(const PixelPatch& patch) {
    if (!patch.valid || !pixelPatchFits(patch, patch.x, patch.y, patch.w, patch.h)) {
        return false;
    }
    const bool streamed = surfaceIsStreamed(gRender.boardSurface.width, gRender.boardSurface.height);
    for (int32_t r = 0; r < patch.h; ++r) {
        uint32_t* out = gRender.boardSurface.pixels +
                        (static_cast<int64_t>(patch.y) + r) * gRender.boardSurface.width + patch.x;
        const uint32_t* in = patch.pixels + static_cast<int64_t>(r) * patch.w;
        if (streamed) {
            streamPixels(out, in, static_cast<size_t>(patch.w));
        } else {
            copyPixels(out, in, static_cast<size_t>(patch.w));
        }
    }
    if (streamed) {
        streamedPixelsDone();
    }
    return true;
}
