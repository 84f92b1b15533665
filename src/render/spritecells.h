// Copying dot cells from a sprite sheet onto a 32-bit surface, shared by the
// classic board and the new-style panel. A sheet holds one n x n sprite per
// palette colour, one after another; a grid holds one palette index per dot.
#pragma once

#include <cstdint>
#include <cstring>

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
    const int32_t pitch = N != 0 ? N : n;
    const int32_t cell = pitch * pitch;
    for (int64_t c = first; c < end; ++c, out += pitch) {
        uint32_t v = grid[c];
        if (v == 0 && drawUnlit == 0) {
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
