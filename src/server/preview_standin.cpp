// STAND-IN for the board preview renderer, used until the real one (the
// board's own composition code behind a FreeType glyph source) is linked in
// its place. It does not draw glyphs: each text line of the board's current
// document becomes one band of dots made from the line's bytes, so the
// preview changes whenever the document does, and nothing more.
#include <cstring>
#include <string>

#include "server/operator.h"
#include "server/preview.h"

bool renderBoardPreview(int number, int64_t nowMs, PreviewDots& out) {
    (void)nowMs;
    std::string document;
    if (!operatorBoardDocument(number, &document)) {
        return false;
    }
    const bool newStyle = document.rfind("velmorant-new", 0) == 0;
    out.width = newStyle ? 384 : 256;
    out.height = newStyle ? 48 : 48;
    out.dots.assign(static_cast<size_t>(out.width) * static_cast<size_t>(out.height), 0);
    const uint32_t palette[16] = {0x1E1E1E, 0x30FF40, 0xFF8C00, 0xFF2828, 0xFFE000, 0xF0F0F0, 0x40B8FF, 0xFF50D0};
    std::memcpy(out.palette, palette, sizeof out.palette);
    int band = 0;
    size_t start = 0;
    while (start < document.size() && band < out.height / 8) {
        size_t end = document.find('\n', start);
        end = end == std::string::npos ? document.size() : end;
        const std::string line = document.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos || (line.compare(0, equals, "line") != 0 &&
                                            line.compare(0, equals, "row") != 0 && line.compare(0, equals, "msg") != 0)) {
            continue;
        }
        for (size_t i = equals + 1; i < line.size() && static_cast<int>(i - equals - 1) < out.width; ++i) {
            const unsigned char byte = static_cast<unsigned char>(line[i]);
            for (int bit = 0; bit < 7; ++bit) {
                if ((byte >> bit) & 1) {
                    out.dots[static_cast<size_t>((band * 8 + bit) * out.width) + (i - equals - 1)] =
                        static_cast<uint8_t>(1 + band % 7);
                }
            }
        }
        ++band;
    }
    return true;
}
