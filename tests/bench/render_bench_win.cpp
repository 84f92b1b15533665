// The Windows build's benchmark program, run under Wine (or on a real PC):
// the classic composition with the real GDI LED fonts, the full classic paint
// (GDI fills and header text, dot blit into the DIB section) and the
// new-style sign's paint at three window sizes, the document reader on full-size bodies of both formats, and
// the hand-over of a parsed document to the main thread.
//
// It is a small harness of its own, not Google Benchmark: Debian packages
// Google Benchmark only as a native library, and the cross build has no copy
// of it. It keeps the same shape: named cases, an iteration count found by
// calibration, the time per iteration (best and median of several rounds, the
// gap between them shows how noisy the machine was), and for every drawing
// case the fill floor - filling the same surface once with one colour - with
// the ratio beside it, measured in the same run.
//
// Usage: render_bench_win.exe [filter] - runs the cases whose name contains
// filter (all when absent).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "benchfixture.h"
#include "render/newstyle.h"
#include "shell/shell.h"

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

constexpr int32_t ROUNDS = 7;
constexpr double ROUND_SECONDS = 0.08;

struct Timing {
    int64_t iterations;  // per round
    double bestUs;
    double medianUs;
};

// Calibrates an iteration count that fills about ROUND_SECONDS, then runs
// ROUNDS rounds of it; times are microseconds per iteration.
template <typename Body>
Timing timeIt(Body body) {
    body();  // warm: fonts, sprites and caches are built outside the timing
    int64_t iterations = 1;
    for (;;) {
        const double start = nowSeconds();
        for (int64_t i = 0; i < iterations; ++i) {
            body();
        }
        const double elapsed = nowSeconds() - start;
        if (elapsed >= ROUND_SECONDS / 4 || iterations >= (int64_t{1} << 24)) {
            const double perIteration = elapsed / static_cast<double>(iterations);
            iterations = static_cast<int64_t>(ROUND_SECONDS / (perIteration > 1e-9 ? perIteration : 1e-9));
            iterations = std::max<int64_t>(iterations, 3);
            break;
        }
        iterations *= 4;
    }
    double rounds[ROUNDS];
    for (double& us : rounds) {
        const double start = nowSeconds();
        for (int64_t i = 0; i < iterations; ++i) {
            body();
        }
        us = (nowSeconds() - start) * 1e6 / static_cast<double>(iterations);
    }
    std::sort(rounds, rounds + ROUNDS);
    return {iterations, rounds[0], rounds[ROUNDS / 2]};
}

const char* filter = nullptr;

bool selected(const char* name) {
    return filter == nullptr || std::strstr(name, filter) != nullptr;
}

void header() {
    std::printf("%-46s %10s %12s %12s %12s %8s\n", "case", "iters", "best us", "median us", "floor us",
                "ratio");
}

void report(const char* name, const Timing& t, double floorUs) {
    if (floorUs > 0) {
        std::printf("%-46s %10lld %12.2f %12.2f %12.2f %8.2f\n", name, static_cast<long long>(t.iterations),
                    t.bestUs, t.medianUs, floorUs, t.bestUs / floorUs);
    } else {
        std::printf("%-46s %10lld %12.2f %12.2f %12s %8s\n", name, static_cast<long long>(t.iterations),
                    t.bestUs, t.medianUs, "-", "-");
    }
    std::fflush(stdout);
}

// Filling the whole current surface once with one colour, through the same
// drawing interface the paint uses: the floor of touching every pixel.
double fillFloorUs() {
    uint32_t colour = 0x102030u;
    return timeIt([&] {
               fillBox(0, 0, boardSurface.width, boardSurface.height, colour++ & 0xFFFFFFu);
               flushBoardSurface();
           })
        .bestUs;
}

void composeCase(const char* name, int32_t cw, int32_t ch) {
    if (!selected(name)) {
        return;
    }
    layoutBoard(cw, ch);
    const double floorUs = fillFloorUs();
    uint32_t now = 20000;
    const Timing t = timeIt([&] {
        lastFetchOkTick = now;
        composeClassicBoard(now);
        now += 30;
    });
    report(name, t, floorUs);
}

// The paint of a running classic board, after only dots changed (the
// housing and header stay as painted), or with full set, the whole surface
// as after a new layout or header.
void classicPaintCase(const char* name, int32_t cw, int32_t ch, bool full) {
    if (!selected(name)) {
        return;
    }
    layoutBoard(cw, ch);
    lastFetchOkTick = 20000;
    composeClassicBoard(20000);
    const double floorUs = fillFloorUs();
    const Timing t = timeIt([full] {
        if (full) {
            forceFullPaint();
        }
        paintBoardFrame();
        flushBoardSurface();
    });
    report(name, t, floorUs);
}

// One new-style frame as the window's paint composes it, advancing 40 ms a
// frame as the repaint gate lets it: LED content and dot blit (the header
// stays as painted), or with full set, header and frame as well.
// The caches are warmed over a whole language and highlight cycle first.
void newStylePaintCase(const char* name, int32_t cw, int32_t ch, bool full) {
    if (!selected(name)) {
        return;
    }
    layoutBoard(cw, ch);
    for (uint32_t t = 0; t < 8000; t += 200) {
        lastFetchOkTick = t;
        composeNewStyleBoardAt(t);
    }
    const double floorUs = fillFloorUs();
    const int32_t fontsBefore = fontsCreated;
    uint32_t now = 0;
    const Timing t = timeIt([&] {
        if (full) {
            forceNewStyleFullPaint();
        }
        lastFetchOkTick = now;
        composeNewStyleBoardAt(now);
        flushBoardSurface();
        now += 40;
    });
    report(name, t, floorUs);
    if (fontsCreated != fontsBefore) {
        std::printf("  (%d fonts created while timing)\n", fontsCreated - fontsBefore);
    }
}

unsigned char largeDocument[LARGE_DOCUMENT_BYTES];
BoardDocument parsedDocument;

void parseCase(const char* name, bool newStyle) {
    if (!selected(name)) {
        return;
    }
    const int32_t length = buildLargeDocument(largeDocument, LARGE_DOCUMENT_BYTES, newStyle);
    if (parseDisplayDocument(largeDocument, length, &parsedDocument) != 1) {
        std::printf("%-46s rejected the document\n", name);
        return;
    }
    const Timing t = timeIt([&] { parseDisplayDocument(largeDocument, length, &parsedDocument); });
    report(name, t, -1);
}

// A document that differs from the shown one in a row's text only: the
// common hand-over, which neither lays out nor forces a full repaint.
void handoverCase(const char* name) {
    if (!selected(name)) {
        return;
    }
    setLargeBenchBoard();
    BoardDocument a = currentDocument;
    BoardDocument b = currentDocument;
    copyText(b.lines[0].time, u"12:35");
    bool flip = false;
    const Timing t = timeIt([&] {
        lockEnter(&handoverLock);
        handoverDocument = flip ? a : b;
        handoverPending = 1;
        lockLeave(&handoverLock);
        takeHandedOverDocument();
        flip = !flip;
    });
    report(name, t, -1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        filter = argv[1];
    }
    lockInit(&handoverLock);
    resetToClassicDefaults(&currentDocument);
    copyText(settings.fontFace, u"MS Gothic");
    copyText(settings.labelFontFace, u"MS PGothic");
    settings.backgroundColor = 0x000000;
    if (createTextScratch() == 0) {
        std::printf("no text scratch\n");
        return 1;
    }
    header();

    // Classic composition: one 30 ms tick's pass over the dot frame.
    setStaticBenchBoard();
    composeCase("compose classic 256x2 static", 780, 138);
    setDefaultBenchBoard();
    composeCase("compose classic 256x2 train+text", 780, 138);
    setLargeBenchBoard();
    composeCase("compose classic 512x5 trains+text+scroll", 1548, 282);

    // Classic paint of the default board: as it runs (only the LED panel
    // changes), and in full.
    setDefaultBenchBoard();
    classicPaintCase("paint classic 780x138", 780, 138, false);
    classicPaintCase("paint classic 1920x1080", 1920, 1080, false);
    classicPaintCase("paint classic 3840x2160", 3840, 2160, false);
    classicPaintCase("paint classic full 780x138", 780, 138, true);
    classicPaintCase("paint classic full 1920x1080", 1920, 1080, true);
    classicPaintCase("paint classic full 3840x2160", 3840, 2160, true);

    // New-style paint, a frame of the running sign.
    if (setNewStyleBenchBoard() == 1) {
        newStylePaintCase("paint new-style 780x138", 780, 138, false);
        newStylePaintCase("paint new-style 1920x1080", 1920, 1080, false);
        newStylePaintCase("paint new-style 3840x2160", 3840, 2160, false);
        newStylePaintCase("paint new-style full 1920x1080", 1920, 1080, true);
        newStylePaintCase("paint new-style full 3840x2160", 3840, 2160, true);
    } else {
        std::printf("new-style bench document rejected\n");
    }

    parseCase("parseDisplayDocument classic 64KiB", false);
    parseCase("parseDisplayDocument new-style 64KiB", true);
    handoverCase("takeHandedOverDocument row change");
    return 0;
}
