// Writes a 32-bit top-down surface as an uncompressed BMP file: the 14-byte
// file header, the 40-byte information header with a positive height (rows
// stored bottom-up), then the rows from the bottom of the picture to the top,
// each copied byte for byte. Used by the snapshot mode and the tests.
#include "platform/platform.h"
#include "render/render.h"

static void putLe16(unsigned char* out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

static void putLe32(unsigned char* out, uint32_t value) {
    putLe16(out, value & 0xFFFF);
    putLe16(out + 2, value >> 16);
}

void buildBmpHeader(unsigned char header[BMP_HEADER_SIZE], int32_t width, int32_t height) {
    for (int32_t i = 0; i < BMP_HEADER_SIZE; ++i) {
        header[i] = 0;
    }
    const uint64_t pixelBytes = 4ull * static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    header[0] = 'B';
    header[1] = 'M';
    putLe32(header + 2, static_cast<uint32_t>(BMP_HEADER_SIZE + pixelBytes));
    putLe32(header + 10, BMP_HEADER_SIZE);
    putLe32(header + 14, 40);
    putLe32(header + 18, static_cast<uint32_t>(width));
    putLe32(header + 22, static_cast<uint32_t>(height));
    putLe16(header + 26, 1);
    putLe16(header + 28, 32);
    // Compression, image size, resolutions and colour counts stay 0.
}

int32_t writeSurfaceBmp(const char16_t* path, const PixelSurface& surface) {
    if (surface.pixels == nullptr || surface.width <= 0 || surface.height <= 0) {
        return 0;
    }
    OutFile* file = openFileForWrite(path);
    if (file == nullptr) {
        return 0;
    }
    unsigned char header[BMP_HEADER_SIZE];
    buildBmpHeader(header, surface.width, surface.height);
    bool complete = writeToFile(file, header, BMP_HEADER_SIZE) == BMP_HEADER_SIZE;
    const uint32_t rowBytes = 4u * static_cast<uint32_t>(surface.width);
    for (int32_t y = surface.height - 1; y >= 0; --y) {
        const uint32_t* row = surface.pixels + static_cast<size_t>(y) * static_cast<size_t>(surface.width);
        complete = writeToFile(file, row, rowBytes) == static_cast<int32_t>(rowBytes) && complete;
    }
    complete = closeWrittenFile(file) == 1 && complete;
    return complete ? 1 : 0;
}
