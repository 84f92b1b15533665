// Host benchmarks of the new-style sign's portable work (Google Benchmark,
// built without the sanitizers): the LED composition of a train line over
// the position diagram, and the whole sign (header boxes, composition, dot
// blit) into the memory surface at three sizes, each beside the time of one
// solid fill of the same surface. Glyphs come from a simple block source and
// header text is not drawn (the host has no font engine; the Windows program
// times the full GDI paint).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "render/newstyle.h"
#include "serverlink/linkstate.h"
#include "shell/shell.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t scratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];

int32_t measureBlocks(const char16_t*, int32_t length, int32_t, int32_t height, int32_t) {
    return length * height;
}

void drawBlocks(const char16_t*, int32_t, int32_t cx, int32_t cell, int32_t baselineY) {
    for (int32_t y = 0; y < cell; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            scratch[y * LED_SCRATCH_WIDTH + x] = (x % 4 != 0 && y <= baselineY && y > 2) ? 0xFFFFFF : 0;
        }
    }
}

const LedGlyphSource blocks = {measureBlocks, drawBlocks, scratch};

void setBoard() {
    std::memset(&gDocuments.currentDocument, 0, sizeof gDocuments.currentDocument);
    gDocuments.currentDocument.isNewStyle = 1;
    gDocuments.currentDocument.langMs = 4000;
    gDocuments.currentDocument.blinkMs = 1000;
    gDocuments.currentDocument.scroll = 40;
    gDocuments.currentDocument.side = u'L';
    gDocuments.currentDocument.color = 0x80C241;
    copyText(gDocuments.currentDocument.langs, u"je");
    gDocuments.currentDocument.row.kind = ROW_TRAIN;
    copyText(gDocuments.currentDocument.row.time, u"12:34");
    copyText(gDocuments.currentDocument.row.trainTexts.text[0], u"普通\u3000池袋");
    copyText(gDocuments.currentDocument.row.trainTexts.text[1], u"Local Ikebukuro");
    gDocuments.currentDocument.msg.kind = MSG_POS;
    gDocuments.currentDocument.msg.position = 1;
    for (int32_t i = 0; i < STATION_COUNT; ++i) {
        copyText(gDocuments.currentDocument.msg.stationLabels[i], u"JY20");
        copyText(gDocuments.currentDocument.msg.stationNames[i].text[0], u"渋谷");
    }
    fillFontSlots(nullptr);
    setLedGlyphSource(&blocks);
    gLink.serverOk = 1;
}

double fillFloorNs() {
    double best = 1e18;
    for (int32_t round = 0; round < 30; ++round) {
        const auto start = Clock::now();
        fillBox(0, 0, gRender.boardSurface.width, gRender.boardSurface.height,
                0x123456u + static_cast<uint32_t>(round));
        benchmark::DoNotOptimize(gRender.boardSurface.pixels[0]);
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
    return best;
}

void composeLeds(benchmark::State& state) {
    setBoard();
    uint32_t now = 0;
    for (auto _ : state) {
        gLink.lastFetchOkTick = now;
        composeNewStyleLeds(now, currentBoardStatus());
        benchmark::DoNotOptimize(gNewStyle.newStyleGrid.dots[0]);
        now += 40;
    }
}

void paintSign(benchmark::State& state) {
    setBoard();
    resizeBoardSurface(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    const double floorNs = fillFloorNs();
    uint32_t now = 0;
    int64_t count = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        gLink.lastFetchOkTick = now;
        composeNewStyleBoardAt(now, currentBoardStatus());
        benchmark::DoNotOptimize(gRender.boardSurface.pixels[0]);
        now += 40;
        ++count;
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
    state.counters["fill_floor_ns"] = floorNs;
    state.counters["ratio"] = ns / floorNs;
}

}  // namespace

BENCHMARK(composeLeds)->Name("composeNewStyleLeds/train_pos");
BENCHMARK(paintSign)->Name("composeNewStyleBoard")->Args({800, 158})->Args({1920, 1080})->Args({3840, 2160});

BENCHMARK_MAIN();
