// The preview as a picture: every dot drawn as the board draws its LEDs (the
// board's own round dot sprites for the pitch), written as a PNG with libpng.
#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <vector>

#include "render/render.h"
#include "server/preview/preview.h"

namespace {

constexpr int32_t PREVIEW_PALETTE_SIZE = 16;

void appendToString(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), length);
}

void flushNothing(png_structp) {}

}  // namespace

bool encodePreviewPng(const PreviewDots& dots, int32_t pitch, std::string* png) {
    png->clear();
    if (pitch < 1 || pitch > PREVIEW_MOST_PITCH || dots.width <= 0 || dots.height <= 0 ||
        dots.dots.size() != static_cast<size_t>(dots.width) * static_cast<size_t>(dots.height)) {
        return false;
    }
    std::vector<uint32_t> sprites(static_cast<size_t>(PREVIEW_PALETTE_SIZE * pitch * pitch));
    fillDotSprites(sprites.data(), pitch, dots.palette, PREVIEW_PALETTE_SIZE);

    const size_t width = static_cast<size_t>(dots.width) * static_cast<size_t>(pitch);
    const size_t height = static_cast<size_t>(dots.height) * static_cast<size_t>(pitch);
    std::vector<png_byte> pixels(width * height * 3);
    for (size_t y = 0; y < height; ++y) {
        const size_t dotRow = y / static_cast<size_t>(pitch);
        const size_t spriteRow = y % static_cast<size_t>(pitch);
        png_byte* out = pixels.data() + y * width * 3;
        for (size_t x = 0; x < width; ++x) {
            const uint8_t v =
                dots.dots[dotRow * static_cast<size_t>(dots.width) + x / static_cast<size_t>(pitch)];
            const uint32_t pixel =
                sprites[(v % PREVIEW_PALETTE_SIZE) * static_cast<size_t>(pitch * pitch) +
                        spriteRow * static_cast<size_t>(pitch) + x % static_cast<size_t>(pitch)];
            out[x * 3] = static_cast<png_byte>(pixel >> 16);
            out[x * 3 + 1] = static_cast<png_byte>(pixel >> 8);
            out[x * 3 + 2] = static_cast<png_byte>(pixel);
        }
    }
    std::vector<png_bytep> rows(height);
    for (size_t y = 0; y < height; ++y) {
        rows[y] = pixels.data() + y * width * 3;
    }

    png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (writer == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(writer);
    if (info == nullptr) {
        png_destroy_write_struct(&writer, nullptr);
        return false;
    }
    // libpng reports a failure by jumping back here; everything it could
    // leave behind is freed below.
    if (setjmp(png_jmpbuf(writer)) != 0) {
        png_destroy_write_struct(&writer, &info);
        png->clear();
        return false;
    }
    png_set_write_fn(writer, png, appendToString, flushNothing);
    png_set_IHDR(writer, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(writer, info, rows.data());
    png_write_png(writer, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&writer, &info);
    return true;
}
