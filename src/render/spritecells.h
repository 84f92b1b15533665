// Writing the 32-bit board surface directly: dot cells copied from a sprite
// sheet (shared by the classic board and the new-style panel), pixel rows
// copied or streamed, and boxes filled. A sheet holds one n x n sprite per
// palette colour, one after another; a grid holds one palette index per dot.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/render.h"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Surfaces of at least this many bytes (3840 x 2160 is 33 MB, 1920 x 1080
// is 8 MB) are written with streaming stores where a whole pixel row is
// written at once: such a surface does not stay in a PC's last-level cache
// between paints, so a plain store first reads each line of it from memory
// only to overwrite it, while a streaming store only writes. Smaller
// surfaces stay in the cache, where plain stores are the faster.
constexpr int64_t STREAMED_SURFACE_BYTES = int64_t{16} << 20;

inline bool surfaceIsStreamed(int64_t width, int64_t height) {
    return width * height * static_cast<int64_t>(sizeof(uint32_t)) >= STREAMED_SURFACE_BYTES;
}

// Copies count pixels (the two rows never overlap) with 16-byte moves. The
// Windows build's compiler turns a memcpy of unknown length into a string
// move, whose start-up cost is paid again for every run of dots, or a call
// into the C library; this loop costs neither.
inline void copyPixels(uint32_t* out, const uint32_t* in, size_t count) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), b);
    }
#endif
    for (; i < count; ++i) {
        out[i] = in[i];
    }
}

// Copies count pixels into a surface row with streaming stores (plain ones
// for the few pixels before the first 16-byte boundary and after the last).
// streamedPixelsDone must follow before the surface is read by anyone else.
inline void streamPixels(uint32_t* out, const uint32_t* in, size_t count) {
#if defined(__SSE2__)
    size_t i = 0;
    for (; i < count && (reinterpret_cast<uintptr_t>(out + i) & 15) != 0; ++i) {
        out[i] = in[i];
    }
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 4));
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + i + 4), b);
    }
    for (; i < count; ++i) {
        out[i] = in[i];
    }
#else
    copyPixels(out, in, count);
#endif
}

// Orders the streaming stores before whatever reads the surface next (the
// presentation may read it from another thread or process).
inline void streamedPixelsDone() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// Below this many pixels a fill is a few vector stores: a string store
// spends longer starting than it would writing them.
constexpr size_t SHORT_FILL_PIXELS = 32;

// Fills count pixels with one value. On x86 a long fill is a string store,
// which writes whole cache lines without reading them first, as the
// system's own fills do.
inline void fillPixels(uint32_t* out, uint32_t pixel, size_t count) {
#if defined(__SSE2__)
    if (count < SHORT_FILL_PIXELS) {
        const __m128i four = _mm_set1_epi32(static_cast<int32_t>(pixel));
        size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), four);
        }
        for (; i < count; ++i) {
            out[i] = pixel;
        }
        return;
    }
#endif
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("rep stosl" : "+D"(out), "+c"(count) : "a"(pixel) : "memory");
#else
    for (size_t i = 0; i < count; ++i) {
        out[i] = pixel;
    }
#endif
}

// A colour given as 0x00BBGGRR as the surface holds it (0x00RRGGBB).
inline uint32_t surfacePixelOf(uint32_t colour) {
    return ((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF);
}

// Fills the part of the box (x, y, w, h) that lies on the surface with a
// colour given as 0x00BBGGRR.
inline void fillSurfaceBox(const PixelSurface& surface, int32_t x, int32_t y, int32_t w, int32_t h,
                           uint32_t colour) {
    const uint32_t pixel = surfacePixelOf(colour);
    const int64_t left = x < 0 ? 0 : x;
    const int64_t top = y < 0 ? 0 : y;
    const int64_t right = std::min<int64_t>(static_cast<int64_t>(x) + w, surface.width);
    const int64_t bottom = std::min<int64_t>(static_cast<int64_t>(y) + h, surface.height);
    if (surface.pixels == nullptr || left >= right || top >= bottom) {
        return;
    }
    for (int64_t row = top; row < bottom; ++row) {
        fillPixels(surface.pixels + row * surface.width + left, pixel, static_cast<size_t>(right - left));
    }
}

// Fills the whole surface except the part of the box (x, y, w, h) that lies
// on it. Pixel rows follow one another without a gap, so what lies right of
// the box on one row and left of it on the next is one run: one fill per
// row of the box, each as long as the two sides together, and one each for
// everything above and below.
inline void fillSurfaceOutsideBox(const PixelSurface& surface, int32_t x, int32_t y, int32_t w, int32_t h,
                                  uint32_t colour) {
    if (surface.pixels == nullptr || surface.width <= 0 || surface.height <= 0) {
        return;
    }
    const int64_t width = surface.width;
    const int64_t height = surface.height;
    const auto clamp = [](int64_t v, int64_t low, int64_t high) {
        return v < low ? low : (v > high ? high : v);
    };
    const int64_t top = clamp(y, 0, height);
    const int64_t bottom = clamp(static_cast<int64_t>(y) + h, top, height);
    const int64_t left = clamp(x, 0, width);
    const int64_t right = clamp(static_cast<int64_t>(x) + w, left, width);
    const uint32_t pixel = surfacePixelOf(colour);
    int64_t start = 0;  // the first pixel not filled yet
    if (left < right) {
        for (int64_t row = top; row < bottom; ++row) {
            fillPixels(surface.pixels + start, pixel, static_cast<size_t>(row * width + left - start));
            start = row * width + right;
        }
    }
    fillPixels(surface.pixels + start, pixel, static_cast<size_t>(width * height - start));
}

// One dot row of a panel that lies wholly on the surface, n pixel rows of
// rowPixels at rowOut and below, stride pixels apart. drawPixelRow(row, py)
// draws pixel row py of the dot row at row; with mirrored sprites only the
// upper half is drawn and the lower half copied from it. A dot row equal to
// the one above (sameAsAbove) copies that row's pixels, read back from the
// cache. With a scratch block (a paint of the whole of a streamed surface)
// the pixel rows are drawn there instead, kept for the rows below that
// equal this one, and streamed out, so the surface is only written.
template <typename DrawPixelRow>
inline void blitPanelDotRow(uint32_t* rowOut, int64_t stride, uint32_t* scratch, size_t rowPixels, int32_t n,
                            bool mirrored, bool sameAsAbove, DrawPixelRow drawPixelRow) {
    const auto mirror = [&](int32_t py) { return mirrored && py >= (n + 1) / 2 ? n - 1 - py : py; };
    if (scratch != nullptr) {
        for (int32_t py = 0; py < n && !sameAsAbove; ++py) {
            if (mirror(py) == py) {
                drawPixelRow(scratch + static_cast<size_t>(py) * rowPixels, py);
            }
        }
        for (int32_t py = 0; py < n; ++py) {
            streamPixels(rowOut + py * stride, scratch + static_cast<size_t>(mirror(py)) * rowPixels,
                         rowPixels);
        }
        return;
    }
    for (int32_t py = 0; py < n; ++py) {
        uint32_t* row = rowOut + py * stride;
        if (sameAsAbove) {
            copyPixels(row, row - n * stride, rowPixels);
        } else if (mirror(py) != py) {
            copyPixels(row, rowOut + mirror(py) * stride, rowPixels);
        } else {
            drawPixelRow(row, py);
        }
    }
}

// A scratch block of at least the given pixels for building a dot row's
// pixel rows in the cache before they are streamed to the surface; nullptr
// when it cannot be had (the caller then writes the surface directly).
uint32_t* blitRowScratch(size_t pixels);

// Every cell of first..end-1 drawn, for a pitch N of 1 to 16: one copy per
// cell, without a branch on each dot. Most dots are unlit: four unlit ones
// in a row are one copy of four cells.
template <int32_t N>
inline void copyEveryCellOf(uint32_t* out, const uint8_t* grid, int64_t first, int64_t end,
                            const uint32_t* spriteRow, uint32_t paletteSize) {
    constexpr int32_t GROUP = 4;
    constexpr size_t GROUP_PIXELS = static_cast<size_t>(GROUP) * N;
    constexpr uint32_t CELL = N * N;
    const auto copyCell = [&](int64_t c) {
        const uint32_t v = grid[c] < paletteSize ? grid[c] : 0u;
        std::memcpy(out, spriteRow + v * CELL, sizeof(uint32_t) * N);
        out += N;
    };
    int64_t c = first;
    if (end - first >= GROUP) {
        uint32_t unlitGroup[GROUP_PIXELS];
        for (int32_t k = 0; k < GROUP; ++k) {
            std::memcpy(unlitGroup + k * N, spriteRow, sizeof(uint32_t) * N);
        }
        for (; c + GROUP <= end; c += GROUP) {
            uint32_t group;
            std::memcpy(&group, grid + c, sizeof group);
            if (group == 0) {
                std::memcpy(out, unlitGroup, sizeof unlitGroup);
                out += GROUP_PIXELS;
                continue;
            }
            for (int64_t k = c; k < c + GROUP; ++k) {
                copyCell(k);
            }
        }
    }
    for (; c < end; ++c) {
        copyCell(c);
    }
}

// One pixel row of the whole cells first..end-1 of a dot row, written from
// out onwards, n pixels a cell. spriteRow is the pixel row of sprite 0 that
// this surface row shows. N is the pitch when it is one of the common small
// ones (so the copy of a cell row becomes a few wide moves), 0 for any other pitch n. Unlit
// dots (index 0) are left alone unless drawUnlit is set; an index outside the
// palette never occurs in a grid, and is drawn unlit rather than read past
// the sheet.
template <int32_t N>
inline void copySpriteCellsOf(uint32_t* out, const uint8_t* grid, int64_t first, int64_t end,
                              const uint32_t* spriteRow, int32_t n, int32_t drawUnlit, uint32_t paletteSize) {
    if constexpr (N != 0) {
        if (drawUnlit != 0) {
            copyEveryCellOf<N>(out, grid, first, end, spriteRow, paletteSize);
            return;
        }
    }
    const int32_t pitch = N != 0 ? N : n;
    const int32_t cell = pitch * pitch;
    for (int64_t c = first; c < end; ++c, out += pitch) {
        uint32_t v = grid[c];
        if (drawUnlit == 0 && v == 0) {
            continue;
        }
        if (v >= paletteSize) {
            v = 0;
        }
        const uint32_t* in = spriteRow + v * static_cast<uint32_t>(cell);
        if (N != 0) {
            // A copy of a size known here becomes a few wide moves instead
            // of one move per pixel.
            std::memcpy(out, in, sizeof(uint32_t) * static_cast<size_t>(pitch));
        } else {
            for (int32_t i = 0; i < pitch; ++i) {
                out[i] = in[i];
            }
        }
    }
}

inline void copySpriteCells(uint32_t* out, const uint8_t* grid, int64_t first, int64_t end,
                            const uint32_t* spriteRow, int32_t n, int32_t drawUnlit, uint32_t paletteSize) {
    switch (n) {
        case 1:
            copySpriteCellsOf<1>(out, grid, first, end, spriteRow, 1, drawUnlit, paletteSize);
            break;
        case 2:
            copySpriteCellsOf<2>(out, grid, first, end, spriteRow, 2, drawUnlit, paletteSize);
            break;
        case 3:
            copySpriteCellsOf<3>(out, grid, first, end, spriteRow, 3, drawUnlit, paletteSize);
            break;
        case 4:
            copySpriteCellsOf<4>(out, grid, first, end, spriteRow, 4, drawUnlit, paletteSize);
            break;
        case 5:
            copySpriteCellsOf<5>(out, grid, first, end, spriteRow, 5, drawUnlit, paletteSize);
            break;
        case 6:
            copySpriteCellsOf<6>(out, grid, first, end, spriteRow, 6, drawUnlit, paletteSize);
            break;
        case 7:
            copySpriteCellsOf<7>(out, grid, first, end, spriteRow, 7, drawUnlit, paletteSize);
            break;
        case 8:
            copySpriteCellsOf<8>(out, grid, first, end, spriteRow, 8, drawUnlit, paletteSize);
            break;
        case 9:
            copySpriteCellsOf<9>(out, grid, first, end, spriteRow, 9, drawUnlit, paletteSize);
            break;
        case 10:
            copySpriteCellsOf<10>(out, grid, first, end, spriteRow, 10, drawUnlit, paletteSize);
            break;
        case 11:
            copySpriteCellsOf<11>(out, grid, first, end, spriteRow, 11, drawUnlit, paletteSize);
            break;
        case 12:
            copySpriteCellsOf<12>(out, grid, first, end, spriteRow, 12, drawUnlit, paletteSize);
            break;
        case 13:
            copySpriteCellsOf<13>(out, grid, first, end, spriteRow, 13, drawUnlit, paletteSize);
            break;
        case 14:
            copySpriteCellsOf<14>(out, grid, first, end, spriteRow, 14, drawUnlit, paletteSize);
            break;
        case 15:
            copySpriteCellsOf<15>(out, grid, first, end, spriteRow, 15, drawUnlit, paletteSize);
            break;
        case 16:
            copySpriteCellsOf<16>(out, grid, first, end, spriteRow, 16, drawUnlit, paletteSize);
            break;
        default:
            copySpriteCellsOf<0>(out, grid, first, end, spriteRow, n, drawUnlit, paletteSize);
            break;
    }
}
