// Render benchmarks of the host build (Google Benchmark, built without the
// sanitizers): one classic composition pass and one classic paint, each
// beside the time to fill the same surface once with a solid colour - the
// memory-bandwidth floor of touching every pixel. The "ratio" counter is the
// benchmark's time per iteration over that floor. The host has no font
// engine: glyphs come from the test glyph source and the header text is not
// drawn (the Windows program times the full GDI paint).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "benchfixture.h"
#include "shell/shell.h"
#include "testglyphs.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nanoseconds to fill the board surface once (the best of many fills).
double fillFloorNs() {
    double best = 1e18;
    for (int32_t round = 0; round < 50; ++round) {
        const auto start = Clock::now();
        for (int32_t i = 0; i < 10; ++i) {
            fillBox(0, 0, gRender.boardSurface.width, gRender.boardSurface.height,
                    0x123456u + static_cast<uint32_t>(i));
            benchmark::DoNotOptimize(gRender.boardSurface.pixels[0]);
        }
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / 10;
        best = std::min(best, ns);
    }
    return best;
}

template <typename Body>
void timeAgainstFloor(benchmark::State& state, int32_t cw, int32_t ch, Body body) {
    layoutBoard(cw, ch);
    const double floorNs = fillFloorNs();
    uint32_t now = 20000;
    int64_t count = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        body(now);
        now += 30;
        ++count;
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
    state.counters["fill_floor_ns"] = floorNs;
    state.counters["ratio"] = ns / floorNs;
}

void composeDefault(benchmark::State& state) {
    useTestGlyphs();
    setDefaultBenchBoard();
    timeAgainstFloor(state, 780, 138, [](uint32_t now) {
        gLink.lastFetchOkTick = now;
        benchmark::DoNotOptimize(composeClassicBoard(now, currentBoardStatus()));
    });
}

void composeLarge(benchmark::State& state) {
    useTestGlyphs();
    setLargeBenchBoard();
    // The 512 x 5 board at pitch 3 fills 1548 x 282 pixels.
    timeAgainstFloor(state, 1548, 282, [](uint32_t now) {
        gLink.lastFetchOkTick = now;
        benchmark::DoNotOptimize(composeClassicBoard(now, currentBoardStatus()));
    });
}

void paintAt(benchmark::State& state) {
    useTestGlyphs();
    setDefaultBenchBoard();
    gLink.lastFetchOkTick = 20000;
    composeClassicBoard(20000, currentBoardStatus());
    timeAgainstFloor(state, static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)),
                     [](uint32_t) {
                         paintBoardFrame(currentBoardStatus());
                         benchmark::DoNotOptimize(gRender.boardSurface.pixels[0]);
                     });
}

void dotBlitAt(benchmark::State& state) {
    useTestGlyphs();
    setDefaultBenchBoard();
    gLink.lastFetchOkTick = 20000;
    composeClassicBoard(20000, currentBoardStatus());
    timeAgainstFloor(state, static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)),
                     [](uint32_t) {
                         blitDotFrame(gRender.boardSurface, gRender.boardLayout.ledLeft,
                                      gRender.boardLayout.ledTop, gRender.boardLayout.pitch, 256, 2, 1);
                         benchmark::DoNotOptimize(gRender.boardSurface.pixels[0]);
                     });
}

void fillOnce(benchmark::State& state) {
    layoutBoard(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    uint32_t colour = 0;
    for (auto _ : state) {
        fillBox(0, 0, gRender.boardSurface.width, gRender.boardSurface.height, colour++);
        benchmark::DoNotOptimize(gRender.boardSurface.pixels[0]);
    }
}

}  // namespace

BENCHMARK(composeDefault)->Name("composeClassicBoard/256x2_train_text");
BENCHMARK(composeLarge)->Name("composeClassicBoard/512x5_trains_text_scroll");
BENCHMARK(fillOnce)->Name("fill_floor")->Args({780, 138})->Args({1548, 282})->Args({1920, 1080});
BENCHMARK(paintAt)->Name("paintBoardFrame")->Args({780, 138})->Args({1920, 1080});
BENCHMARK(dotBlitAt)->Name("blitDotFrame")->Args({780, 138})->Args({1920, 1080});

BENCHMARK_MAIN();
