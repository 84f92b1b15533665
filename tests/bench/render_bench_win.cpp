// Render benchmark of the Windows build: the classic composition with the
// real GDI LED fonts and the full classic paint (GDI fills and header text,
// dot blit into the DIB section), each timed with QueryPerformanceCounter
// beside the time to fill the same surface once with a solid colour (the
// memory-bandwidth floor). Prints one line per case with the ratio. A build
// target only: run it by hand (under Wine: wine render_bench_win.exe).
#include <windows.h>

#include <cstdio>

#include "benchfixture.h"

namespace {

double nowSeconds() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Best average over several rounds, in microseconds per call.
template <typename Body>
double timeIt(int32_t perRound, Body body) {
    double best = 1e30;
    for (int32_t round = 0; round < 7; ++round) {
        const double start = nowSeconds();
        for (int32_t i = 0; i < perRound; ++i) {
            body(i);
        }
        const double us = (nowSeconds() - start) * 1e6 / perRound;
        if (us < best) {
            best = us;
        }
    }
    return best;
}

double fillFloor() {
    return timeIt(50, [](int32_t i) {
        fillBox(0, 0, boardSurface.width, boardSurface.height, 0x102030u + static_cast<uint32_t>(i));
        flushBoardSurface();
    });
}

void report(const char* name, double us, double floorUs) {
    std::printf("%-48s %10.2f us   fill floor %8.2f us   ratio %6.2f\n", name, us, floorUs, us / floorUs);
}

void composeCase(const char* name, int32_t cw, int32_t ch) {
    layoutBoard(cw, ch);
    const double floorUs = fillFloor();
    uint32_t now = 20000;
    const double us = timeIt(300, [&](int32_t) {
        lastFetchOkTick = now;
        composeClassicBoard(now);
        now += 30;
    });
    report(name, us, floorUs);
}

void paintCase(const char* name, int32_t cw, int32_t ch) {
    layoutBoard(cw, ch);
    lastFetchOkTick = 20000;
    composeClassicBoard(20000);
    const double floorUs = fillFloor();
    const double us = timeIt(50, [](int32_t) {
        paintBoardFrame();
        flushBoardSurface();
    });
    report(name, us, floorUs);
}

}  // namespace

int main() {
    resetToClassicDefaults(&currentDocument);
    copyText(settings.fontFace, u"MS Gothic");
    copyText(settings.labelFontFace, u"MS PGothic");
    if (createTextScratch() == 0) {
        std::printf("no text scratch\n");
        return 1;
    }
    setDefaultBenchBoard();
    composeCase("composeClassicBoard 256x2 train+text", 780, 138);
    paintCase("paintBoardFrame 780x138", 780, 138);
    paintCase("paintBoardFrame 1920x1080", 1920, 1080);
    setLargeBenchBoard();
    composeCase("composeClassicBoard 512x5 trains+text+scroll", 1548, 282);
    return 0;
}
