// The Windows build's benchmark program (Google Benchmark), run under Wine or
// on a real PC: the classic composition with the real GDI LED fonts, the
// classic paint (GDI fills and header text, dot blit into the DIB section)
// and the new-style sign's paint at three window sizes, the document reader
// on full-size bodies of both formats, and the hand-over of a parsed document
// to the main thread.
//
// Every drawing case also reports the fill floor of its surface - filling
// the whole surface once with one colour through the same drawing interface
// - measured in the same run just before the case, and the case's time as a
// multiple of it (counters "floor_us" and "x_floor"). The floors are also
// listed as cases of their own ("fill floor WxH").
//
// Usage: render_bench_win.exe [--benchmark_filter=REGEX] [any Google Benchmark flag]
#include <windows.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

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

uint32_t fillColour = 0x102030u;

void fillOnce() {
    fillBox(0, 0, boardSurface.width, boardSurface.height, fillColour++ & 0xFFFFFFu);
    flushBoardSurface();
}

// The fill floor of the current surface in microseconds: the best of five
// rounds of about 20 ms each, after one warm fill.
double fillFloorUs() {
    fillOnce();
    int64_t iterations = 1;
    for (;;) {
        const double start = nowSeconds();
        for (int64_t i = 0; i < iterations; ++i) {
            fillOnce();
        }
        if (nowSeconds() - start >= 0.005 || iterations >= (int64_t{1} << 20)) {
            break;
        }
        iterations *= 2;
    }
    iterations *= 4;
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const double start = nowSeconds();
        for (int64_t i = 0; i < iterations; ++i) {
            fillOnce();
        }
        best = std::min(best, (nowSeconds() - start) * 1e6 / static_cast<double>(iterations));
    }
    return best;
}

// Runs body once per iteration and reports it beside the fill floor.
template <typename Body>
void timeAgainstFloor(benchmark::State& state, Body body) {
    const double floorUs = fillFloorUs();
    body();  // warm: fonts, sprites and caches are built outside the timing
    const double start = nowSeconds();
    for (auto _ : state) {
        body();
    }
    const double elapsedUs = (nowSeconds() - start) * 1e6;
    const double perIterationUs = elapsedUs / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["floor_us"] = floorUs;
    state.counters["x_floor"] = perIterationUs / floorUs;
}

void fillFloorCase(benchmark::State& state, int32_t cw, int32_t ch) {
    layoutBoard(cw, ch);
    for (auto _ : state) {
        fillOnce();
    }
}

// One 30 ms tick's classic composition pass over the dot frame.
void composeCase(benchmark::State& state, void (*board)(), int32_t cw, int32_t ch) {
    board();
    layoutBoard(cw, ch);
    uint32_t now = 20000;
    timeAgainstFloor(state, [&] {
        lastFetchOkTick = now;
        composeClassicBoard(now, currentBoardStatus());
        now += 30;
    });
}

// The paint of a running classic board after only dots changed (the housing
// and header stay as painted), or with full set, the whole surface as after a
// new layout or header.
void classicPaintCase(benchmark::State& state, int32_t cw, int32_t ch, bool full) {
    setDefaultBenchBoard();
    layoutBoard(cw, ch);
    lastFetchOkTick = 20000;
    composeClassicBoard(20000, currentBoardStatus());
    timeAgainstFloor(state, [full] {
        if (full) {
            forceFullPaint();
        }
        paintBoardFrame(currentBoardStatus());
        flushBoardSurface();
    });
}

// How much of the sign a new-style paint draws again besides the LEDs.
enum NewStyleRepaint {
    LEDS_ONLY,      // a frame of the running sign: LED content and dot blit
    SCROLLING,      // the same with a scrolling message on the lower line
    HEADER_CHANGE,  // a new document with another direction text
    FULL,           // everything, as after a new layout or a settings reload
};

// One new-style frame as the window's paint composes it, advancing 40 ms a
// frame as the repaint gate lets it. The caches are warmed over a whole
// language and highlight cycle first.
void newStylePaintCase(benchmark::State& state, int32_t cw, int32_t ch, NewStyleRepaint repaint) {
    if (setNewStyleBenchBoard(repaint == SCROLLING) != 1) {
        state.SkipWithError("the new-style bench document was rejected");
        return;
    }
    layoutBoard(cw, ch);
    for (uint32_t t = 0; t < 8000; t += 200) {
        lastFetchOkTick = t;
        composeNewStyleBoardAt(t, currentBoardStatus());
    }
    const int32_t fontsBefore = fontsCreated;
    uint32_t now = 0;
    bool flip = false;
    timeAgainstFloor(state, [&] {
        if (repaint == FULL) {
            forceNewStyleFullPaint();
        } else if (repaint == HEADER_CHANGE) {
            copyText(currentDocument.viaEn, flip ? u"Shinjuku" : u"Shibuya");
            flip = !flip;
        }
        lastFetchOkTick = now;
        composeNewStyleBoardAt(now, currentBoardStatus());
        flushBoardSurface();
        now += 40;
    });
    state.counters["fonts_made"] = fontsCreated - fontsBefore;
}

unsigned char largeDocument[LARGE_DOCUMENT_BYTES];
BoardDocument parsedDocument;

void parseCase(benchmark::State& state, bool newStyle) {
    const int32_t length = buildLargeDocument(largeDocument, LARGE_DOCUMENT_BYTES, newStyle);
    if (parseDisplayDocument(largeDocument, length, &parsedDocument) != 1) {
        state.SkipWithError("the document was rejected");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseDisplayDocument(largeDocument, length, &parsedDocument));
    }
    state.SetBytesProcessed(state.iterations() * length);
}

// A document that differs from the shown one in a row's text only: the
// common hand-over, which neither lays out nor forces a full repaint.
void handoverCase(benchmark::State& state) {
    setLargeBenchBoard();
    BoardDocument a = currentDocument;
    BoardDocument b = currentDocument;
    copyText(b.lines[0].time, u"12:35");
    bool flip = false;
    for (auto _ : state) {
        lockEnter(&handoverLock);
        handoverDocument = flip ? a : b;
        handoverPending = 1;
        lockLeave(&handoverLock);
        takeHandedOverDocument();
        flip = !flip;
    }
}

struct Size {
    int32_t width;
    int32_t height;
};
constexpr Size PAINT_SIZES[] = {{780, 138}, {1920, 1080}, {3840, 2160}};

std::string sizeName(const char* what, Size size) {
    return std::string(what) + " " + std::to_string(size.width) + "x" + std::to_string(size.height);
}

// Every case in microseconds of wall time: the paints wait on GDI, which is
// not always this process's CPU time under Wine.
template <typename... Args>
void add(const std::string& name, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
}

void registerCases() {
    for (const Size size : PAINT_SIZES) {
        add(sizeName("fill floor", size), fillFloorCase, size.width, size.height);
    }
    add("compose classic 256x2 static", composeCase, setStaticBenchBoard, 780, 138);
    add("compose classic 256x2 train+text", composeCase, setDefaultBenchBoard, 780, 138);
    add("compose classic 512x5 trains+text+scroll", composeCase, setLargeBenchBoard, 1548, 282);
    for (const bool full : {false, true}) {
        for (const Size size : PAINT_SIZES) {
            add(sizeName(full ? "paint classic full" : "paint classic", size), classicPaintCase, size.width,
                size.height, full);
        }
    }
    const struct {
        const char* name;
        NewStyleRepaint repaint;
    } newStyleCases[] = {{"paint new-style", LEDS_ONLY},
                         {"paint new-style scrolling", SCROLLING},
                         {"paint new-style header change", HEADER_CHANGE},
                         {"paint new-style full", FULL}};
    for (const auto& c : newStyleCases) {
        for (const Size size : PAINT_SIZES) {
            add(sizeName(c.name, size), newStylePaintCase, size.width, size.height, c.repaint);
        }
    }
    add("parseDisplayDocument classic 64KiB", parseCase, false);
    add("parseDisplayDocument new-style 64KiB", parseCase, true);
    add("takeHandedOverDocument row change", handoverCase);
}

}  // namespace

int main(int argc, char** argv) {
    lockInit(&handoverLock);
    resetToClassicDefaults(&currentDocument);
    copyText(settings.fontFace, u"MS Gothic");
    copyText(settings.labelFontFace, u"MS PGothic");
    settings.backgroundColor = 0x000000;
    if (createTextScratch() == 0) {
        std::fprintf(stderr, "no text scratch\n");
        return 1;
    }
    registerCases();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
