// A saved rectangle of the board surface's pixels: what a full paint drew
// once (a header with its texts) put back when the same thing is to be drawn
// again, instead of rasterising the same texts anew. Most of a header is its
// bands' plain colour, so the long runs of one colour in the saved rows are
// noted the first time it is put back and filled from then on: a fill
// writes the surface without reading the saved block, and only the pixels
// around the texts are copied. (A header that changes every paint is saved
// every paint and seldom put back, so the runs are not looked for when it
// is saved.) The block and the run list are reserved when the layout is
// made, never during a paint. A block used only as storage (withRuns false)
// has no run list and is put back, if ever, by plain copies.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "render/render.h"
#include "render/spritecells.h"

// Runs of one colour at least this long are filled instead of copied. They
// are found in blocks of PATCH_BLOCK pixels from each row's start.
constexpr int32_t PATCH_FILL_RUN = 64;
constexpr int32_t PATCH_BLOCK = 16;

// A run of one colour in the saved rows; it never crosses a row's end.
struct PixelPatchRun {
    int64_t start;   // its first pixel in the block
    int32_t length;  // its pixels
    uint32_t pixel;  // its colour
};

struct PixelPatch {
    uint32_t* pixels;     // heapAlloc block of capacity pixels, absent when none
    int64_t capacity;     // pixels the block holds
    PixelPatchRun* runs;  // heapAlloc list, room for every run of capacity pixels, or absent
    int64_t runCount;     // the runs of the saved rectangle, in block order
    bool runsFound;       // runs and runCount hold the saved rectangle's runs
    int32_t x;            // surface position and size of the saved rectangle
    int32_t y;
    int32_t w;
    int32_t h;
    bool valid;  // the block holds the rectangle as last saved
};

// Makes room for a rectangle of the given pixels and forgets what was saved.
// Without room (allocation failed) nothing is saved and every paint draws.
inline void reservePixelPatch(PixelPatch& patch, int64_t pixels, bool withRuns) {
    patch.valid = false;
    patch.runCount = 0;
    patch.runsFound = false;
    if (pixels <= patch.capacity && patch.pixels != nullptr && withRuns == (patch.runs != nullptr)) {
        return;
    }
    heapFree(patch.pixels);
    heapFree(patch.runs);
    patch.pixels = nullptr;
    patch.runs = nullptr;
    patch.capacity = 0;
    if (pixels <= 0) {
        return;
    }
    patch.pixels = static_cast<uint32_t*>(heapAlloc(static_cast<size_t>(pixels) * sizeof(uint32_t)));
    // Runs do not overlap and each is PATCH_FILL_RUN pixels or more.
    if (withRuns) {
        patch.runs = static_cast<PixelPatchRun*>(
            heapAlloc(static_cast<size_t>(pixels / PATCH_FILL_RUN + 1) * sizeof(PixelPatchRun)));
    }
    if (patch.pixels != nullptr && (patch.runs != nullptr || !withRuns)) {
        patch.capacity = pixels;
    } else {
        heapFree(patch.pixels);
        heapFree(patch.runs);
        patch.pixels = nullptr;
        patch.runs = nullptr;
    }
}

// Whether the PATCH_BLOCK pixels at p are all of p[0]'s colour.
inline bool pixelBlockIsPlain(const uint32_t* p) {
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi32(static_cast<int32_t>(p[0]));
    __m128i same = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), first);
    for (int32_t k = 4; k < PATCH_BLOCK; k += 4) {
        same = _mm_and_si128(
            same, _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)), first));
    }
    return _mm_movemask_epi8(same) == 0xFFFF;
#else
    for (int32_t k = 1; k < PATCH_BLOCK; ++k) {
        if (p[k] != p[0]) {
            return false;
        }
    }
    return true;
#endif
}

// Notes, in each saved row, the runs of plain blocks of one colour that
// cover PATCH_FILL_RUN pixels or more.
inline void findPixelPatchRuns(PixelPatch& patch) {
    patch.runCount = 0;
    for (int32_t r = 0; r < patch.h; ++r) {
        const int64_t rowStart = static_cast<int64_t>(r) * patch.w;
        const uint32_t* row = patch.pixels + rowStart;
        int32_t runStart = -1;  // the open run's first pixel in the row, or none
        const auto close = [&](int32_t end) {
            if (runStart >= 0 && end - runStart >= PATCH_FILL_RUN) {
                patch.runs[patch.runCount++] =
                    PixelPatchRun{rowStart + runStart, end - runStart, row[runStart]};
            }
            runStart = -1;
        };
        int32_t i = 0;
        for (; i + PATCH_BLOCK <= patch.w; i += PATCH_BLOCK) {
            const bool plain = pixelBlockIsPlain(row + i);
            if (runStart >= 0 && (!plain || row[i] != row[runStart])) {
                close(i);
            }
            if (plain && runStart < 0) {
                runStart = i;
            }
        }
        close(i);
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
    patch.runsFound = false;
    patch.valid = true;
}

// Puts the saved rectangle back where it was taken from; false (nothing
// drawn) when there is none or it no longer fits the surface. A surface too
// large to stay in the cache has every row streamed out whole: a fill there
// would read the lines it writes, and gained nothing measured.
inline bool restorePixelPatch(PixelPatch& patch) {
    if (!patch.valid || !pixelPatchFits(patch, patch.x, patch.y, patch.w, patch.h)) {
        return false;
    }
    const bool streamed = surfaceIsStreamed(gRender.boardSurface.width, gRender.boardSurface.height);
    if (!streamed && !patch.runsFound && patch.runs != nullptr) {
        findPixelPatchRuns(patch);
        patch.runsFound = true;
    }
    int64_t run = 0;
    for (int32_t r = 0; r < patch.h; ++r) {
        uint32_t* out = gRender.boardSurface.pixels +
                        (static_cast<int64_t>(patch.y) + r) * gRender.boardSurface.width + patch.x;
        const int64_t rowStart = static_cast<int64_t>(r) * patch.w;
        if (streamed) {
            streamPixels(out, patch.pixels + rowStart, static_cast<size_t>(patch.w));
            continue;
        }
        int64_t done = rowStart;
        for (; run < patch.runCount && patch.runs[run].start < rowStart + patch.w; ++run) {
            const PixelPatchRun& fill = patch.runs[run];
            copyPixels(out + (done - rowStart), patch.pixels + done, static_cast<size_t>(fill.start - done));
            fillPixels(out + (fill.start - rowStart), fill.pixel, static_cast<size_t>(fill.length));
            done = fill.start + fill.length;
        }
        copyPixels(out + (done - rowStart), patch.pixels + done,
                   static_cast<size_t>(rowStart + patch.w - done));
    }
    if (streamed) {
        streamedPixelsDone();
    }
    return true;
}
