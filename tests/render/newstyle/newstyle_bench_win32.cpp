// Benchmark of one full new-style paint (header, LED composition, dot blit)
// into the DIB-section surface at three window sizes, beside the floor of
// one solid fill of the same surface. Prints milliseconds per paint, the
// ratio to the floor, and the fonts created once the caches were warm.
// Not a test: run it by hand (under Wine: wine newstyle_bench.exe).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "render/newstyle.h"
#include "serverlink/linkstate.h"

namespace {

std::string utf8(const char16_t* text) {
    std::string out;
    for (const char16_t* p = text; *p != 0; ++p) {
        const uint32_t c = *p;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

double seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency) {
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain() {
    copyText(settings.labelFontFace, u"MS PGothic");
    copyText(settings.fontFace, u"MS Gothic");
    const std::string body = utf8(
        u"velmorant-new 1\nplatform=3\nlineJp=山手線\nlineEn=Yamanote\nviaJp=渋谷・新宿\nviaEn=Shibuya\n"
        u"color=80C241\nlangs=je\nrow=train\t12:34\t1\t-\t普通\u3000池袋|Local Ikebukuro\n"
        u"msg=pos\t1\tJY20\tJY19\tJY18\t渋谷\t原宿\t代々木\nend\n");
    if (parseDisplayDocument(reinterpret_cast<const unsigned char*>(body.data()),
                             static_cast<int32_t>(body.size()), &currentDocument) != 1) {
        std::printf("document rejected\n");
        return 1;
    }
    serverOk = 1;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const int32_t sizes[3][2] = {{800, 158}, {1920, 1080}, {3840, 2160}};
    for (const auto& size : sizes) {
        if (resizeBoardSurface(size[0], size[1]) == 0) {
            std::printf("%dx%d: no surface\n", size[0], size[1]);
            continue;
        }
        // Warm the caches over a whole language and highlight cycle.
        for (uint32_t t = 0; t < 8000; t += 200) {
            lastFetchOkTick = t;
            composeNewStyleBoardAt(t);
        }
        const int32_t fonts = fontsCreated;
        const int32_t runs = size[0] >= 3840 ? 40 : (size[0] >= 1920 ? 100 : 400);
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        for (int32_t i = 0; i < runs; ++i) {
            const uint32_t t = static_cast<uint32_t>(i) * 40u;
            lastFetchOkTick = t;
            composeNewStyleBoardAt(t);
        }
        QueryPerformanceCounter(&end);
        const double paintMs = seconds(start, end, frequency) * 1000.0 / runs;

        QueryPerformanceCounter(&start);
        for (int32_t i = 0; i < runs; ++i) {
            fillBox(0, 0, size[0], size[1], static_cast<uint32_t>(i & 0xFF));
            flushBoardSurface();
        }
        QueryPerformanceCounter(&end);
        const double fillMs = seconds(start, end, frequency) * 1000.0 / runs;
        std::printf("%4dx%-4d  paint %8.3f ms  fill floor %7.3f ms  ratio %6.1f  fonts created warm %d\n",
                    size[0], size[1], paintMs, fillMs, fillMs > 0 ? paintMs / fillMs : 0.0,
                    fontsCreated - fonts);
    }
    return 0;
}
