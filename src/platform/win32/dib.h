// 32-bit top-down DIB sections: the directly addressable pixel buffers that
// every GDI drawing of the board lands in.
#pragma once

#include <windows.h>

#include <cstdint>

// A width x height 32-bit top-down bitmap for the drawing context dc, with
// its pixels in *bits; nothing (and *bits null) when it cannot be created.
HBITMAP createTopDownDib(HDC dc, int32_t width, int32_t height, uint32_t** bits);
