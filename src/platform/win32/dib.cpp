// 32-bit top-down DIB sections (see dib.h).
#include "platform/win32/dib.h"

HBITMAP createTopDownDib(HDC dc, int32_t width, int32_t height, uint32_t** bits) {
    *bits = nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // negative: the first row is the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (bitmap != nullptr && pixels == nullptr) {
        DeleteObject(bitmap);
        bitmap = nullptr;
    }
    if (bitmap != nullptr) {
        *bits = static_cast<uint32_t*>(pixels);
    }
    return bitmap;
}
