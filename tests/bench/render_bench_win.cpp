// The Windows build's benchmark program, run under Wine or on a real PC: the
// classic composition with the real GDI LED fonts, the classic paint (GDI
// fills and header text, dot blit into the DIB section) and the new-style
// sign's paint at three window sizes, the document reader on full-size
// bodies of both formats, and the hand-over of a parsed document to the main
// thread. It is built on Catch2's header-only benchmarks (Debian's catch2),
// so every machine that cross-builds the board can build it.
//
// Every drawing case is preceded, in the same run, by the fill floor of its
// surface: filling the whole surface once with one colour with GDI's
// FillRect on the DIB section. The reporters below put each case beside the
// floor measured just before it and give the case's median as a multiple of
// the floor's median ("x_floor"), and the median ratio of the two timed in
// alternation ("x_floor_paired", "x paired"), which holds still on a machine
// that is doing other work.
//
// Usage: render_bench_win.exe [-r json|floor|console] [-o FILE] [TAGS]
//        [--benchmark-samples N] [--benchmark-warmup-time MS] [any Catch2 flag]
#include <windows.h>

#define CATCH_CONFIG_RUNNER
#define CATCH_CONFIG_ENABLE_BENCHMARKING
#define CATCH_CONFIG_NO_WINDOWS_SEH
#define CATCH_CONFIG_COLOUR_NONE
#include <catch.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "benchfixture.h"
#include "render/newstyle.h"
#include "shell/shell.h"

namespace {

// One finished benchmark as the reporters print it, times in microseconds.
struct CaseFigures {
    std::string name;  // the benchmark's name, ending in WxH for a drawing case
    double medianUs;   // median of the samples' time per iteration
    double meanUs;     // mean of the samples' time per iteration
    double minUs;      // fastest sample's time per iteration
    double stddevUs;   // standard deviation of the samples
    int samples;       // number of samples
    int iterations;    // iterations per sample
    double floorUs;    // median of the last fill floor of the same size, 0 if none
    bool isFloor;      // a fill floor itself
};

// A case's time against the fill floor's timed in alternation (see
// pairWithFloor): the median of the rounds' ratios, by case name.
std::vector<std::pair<std::string, double>> gPairedRatios;

double pairedRatioOf(const std::string& name) {
    for (const auto& p : gPairedRatios) {
        if (p.first == name) {
            return p.second;
        }
    }
    return 0;
}

// The last word of a name when it reads WxH (a surface size), else "".
std::string sizeOfName(const std::string& name) {
    const size_t space = name.rfind(' ');
    const std::string last = space == std::string::npos ? name : name.substr(space + 1);
    const size_t x = last.find('x');
    if (x == std::string::npos || x == 0 || x + 1 == last.size()) {
        return "";
    }
    for (size_t i = 0; i < last.size(); ++i) {
        if (i != x && (last[i] < '0' || last[i] > '9')) {
            return "";
        }
    }
    return last;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// Collects every benchmark of the run and prints them at its end, either as
// JSON (asJson) or as a plain table. Catch2 calls its reporters through
// virtual functions; this is the one place the program has them.
template <bool asJson>
struct FloorReporter : Catch::StreamingReporterBase<FloorReporter<asJson>> {
    using Base = Catch::StreamingReporterBase<FloorReporter<asJson>>;
    using Base::Base;
    std::vector<CaseFigures> cases;                          // in the order they ran
    std::vector<std::pair<std::string, double>> lastFloors;  // size -> median of its last floor

    static std::string getDescription() {
        return asJson ? "every benchmark with its fill floor and x_floor, as JSON"
                      : "every benchmark with its fill floor and x_floor, as a table";
    }
    void assertionStarting(Catch::AssertionInfo const&) override {}
    bool assertionEnded(Catch::AssertionStats const& stats) override {
        if (!stats.assertionResult.isOk()) {
            std::fprintf(stderr, "check failed: %s\n", stats.assertionResult.getExpression().c_str());
        }
        return true;
    }
    void benchmarkEnded(Catch::BenchmarkStats<> const& stats) override {
        std::vector<double> us;
        for (const auto& sample : stats.samples) {
            us.push_back(sample.count() / 1000.0);
        }
        std::sort(us.begin(), us.end());
        CaseFigures f{stats.info.name,
                      0,
                      stats.mean.point.count() / 1000.0,
                      0,
                      stats.standardDeviation.point.count() / 1000.0,
                      stats.info.samples,
                      stats.info.iterations,
                      0,
                      stats.info.name.rfind("fill floor", 0) == 0};
        if (!us.empty()) {
            f.minUs = us.front();
            f.medianUs =
                us.size() % 2 == 1 ? us[us.size() / 2] : (us[us.size() / 2 - 1] + us[us.size() / 2]) / 2;
        }
        const std::string size = sizeOfName(f.name);
        auto known = std::find_if(lastFloors.begin(), lastFloors.end(),
                                  [&](const auto& p) { return p.first == size; });
        if (f.isFloor) {
            if (known == lastFloors.end()) {
                lastFloors.emplace_back(size, f.medianUs);
            } else {
                known->second = f.medianUs;
            }
        } else if (!size.empty() && known != lastFloors.end()) {
            f.floorUs = known->second;
        }
        cases.push_back(f);
    }
    void testRunEnded(Catch::TestRunStats const& stats) override {
        if (asJson) {
            printJson();
        } else {
            printTable();
        }
        Base::testRunEnded(stats);
    }
    void printJson() {
        std::ostream& out = this->stream;
        out << "{\n  \"unit\": \"us\",\n  \"benchmarks\": [";
        for (size_t i = 0; i < cases.size(); ++i) {
            const CaseFigures& f = cases[i];
            out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << jsonString(f.name)
                << ", \"kind\": " << (f.isFloor ? "\"floor\"" : "\"case\"")
                << ", \"median_us\": " << f.medianUs << ", \"mean_us\": " << f.meanUs
                << ", \"min_us\": " << f.minUs << ", \"stddev_us\": " << f.stddevUs
                << ", \"samples\": " << f.samples << ", \"iterations\": " << f.iterations;
            if (f.floorUs > 0) {
                out << ", \"floor_us\": " << f.floorUs << ", \"x_floor\": " << f.medianUs / f.floorUs;
            }
            if (pairedRatioOf(f.name) > 0) {
                out << ", \"x_floor_paired\": " << pairedRatioOf(f.name);
            }
            out << "}";
        }
        out << "\n  ]\n}\n";
    }
    void printTable() {
        char line[200];
        std::snprintf(line, sizeof line, "%-52s %12s %12s %8s %8s\n", "case", "median us", "floor us",
                      "x floor", "x paired");
        this->stream << line;
        for (const CaseFigures& f : cases) {
            if (f.floorUs > 0) {
                std::snprintf(line, sizeof line, "%-52s %12.2f %12.2f %8.2f %8.2f\n", f.name.c_str(),
                              f.medianUs, f.floorUs, f.medianUs / f.floorUs, pairedRatioOf(f.name));
            } else {
                std::snprintf(line, sizeof line, "%-52s %12.2f %12s %8s\n", f.name.c_str(), f.medianUs, "-",
                              "-");
            }
            this->stream << line;
        }
    }
};
using JsonFloorReporter = FloorReporter<true>;
using TableFloorReporter = FloorReporter<false>;

uint32_t fillColour = 0x102030u;

// The floor is GDI's own fill of the whole surface (the board fills its
// boxes without GDI, so fillBox is not used here).
void fillOnce() {
    const HDC dc = static_cast<HDC>(boardSurfaceContext());
    const RECT box{0, 0, gRender.boardSurface.width, gRender.boardSurface.height};
    SetDCBrushColor(dc, fillColour++ & 0xFFFFFFu);
    FillRect(dc, &box, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    GdiFlush();
}

struct Size {
    int32_t width;   // client width in pixels
    int32_t height;  // client height in pixels
};
constexpr Size PAINT_SIZES[] = {{780, 138}, {1920, 1080}, {3840, 2160}};

std::string sizeName(const char* what, Size size) {
    return std::string(what) + " " + std::to_string(size.width) + "x" + std::to_string(size.height);
}

// The case against the fill floor once more, in alternation: as many rounds
// as the run takes samples, each timing a few fills and a few cases (which
// of the two goes first alternates too), and the median of the rounds'
// ratios kept. On a machine shared with other work a burst of it slows
// whichever of two separately timed benchmarks it falls on, and moves their
// ratio by half or more; it slows both halves of a round alike.
template <typename Body>
void pairWithFloor(const std::string& name, Body& body) {
    using Clock = std::chrono::steady_clock;
    constexpr int PER_ROUND = 3;
    const int rounds = std::max(3, Catch::getCurrentContext().getConfig()->benchmarkSamples());
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        double seconds[2] = {0, 0};  // floor, case
        for (int half = 0; half < 2; ++half) {
            const int which = (half + r) % 2;
            const auto start = Clock::now();
            for (int i = 0; i < PER_ROUND; ++i) {
                if (which == 0) {
                    fillOnce();
                } else {
                    body();
                }
            }
            seconds[which] = std::chrono::duration<double>(Clock::now() - start).count();
        }
        if (seconds[0] > 0) {
            ratios.push_back(seconds[1] / seconds[0]);
        }
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        gPairedRatios.emplace_back(name, ratios[ratios.size() / 2]);
    }
}

// The fill floor of the current surface, then the case itself: the floor is
// measured in the same run just before every case it is compared with, and
// then once more in alternation with it.
template <typename Body>
void timeAgainstFloor(const std::string& name, Body body) {
    const std::string floorName = "fill floor " + sizeOfName(name);
    BENCHMARK(std::string(floorName)) {
        fillOnce();
    };
    BENCHMARK(std::string(name)) {
        body();
    };
    pairWithFloor(name, body);
}

}  // namespace

CATCH_REGISTER_REPORTER("json", JsonFloorReporter)
CATCH_REGISTER_REPORTER("floor", TableFloorReporter)

// One 30 ms tick's classic composition pass over the dot frame.
static void composeCase(const char* name, void (*board)(), Size size) {
    board();
    layoutBoard(size.width, size.height);
    uint32_t now = 20000;
    timeAgainstFloor(sizeName(name, size), [&] {
        gLink.lastFetchOkTick = now;
        composeClassicBoard(now, currentBoardStatus());
        now += 30;
    });
}

TEST_CASE("compose classic", "[compose]") {
    composeCase("compose classic 256x2 static at", setStaticBenchBoard, {780, 138});
    composeCase("compose classic 256x2 train+text at", setDefaultBenchBoard, {780, 138});
    composeCase("compose classic 512x5 trains+text+scroll at", setLargeBenchBoard, {1548, 282});
}

// The paint of a running classic board after only dots changed (the housing
// and header stay as painted), or with full set, the whole surface as after a
// new layout or header.
TEST_CASE("paint classic", "[paint][classic]") {
    for (const bool full : {false, true}) {
        for (const Size size : PAINT_SIZES) {
            setDefaultBenchBoard();
            layoutBoard(size.width, size.height);
            gLink.lastFetchOkTick = 20000;
            composeClassicBoard(20000, currentBoardStatus());
            timeAgainstFloor(sizeName(full ? "paint classic full" : "paint classic", size), [full] {
                if (full) {
                    forceFullPaint();
                }
                paintBoardFrame(currentBoardStatus());
                flushBoardSurface();
            });
        }
    }
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
// language and highlight cycle first; no font may be made while timing.
static void newStylePaintCase(const char* name, Size size, NewStyleRepaint repaint) {
    REQUIRE(setNewStyleBenchBoard(repaint == SCROLLING) == 1);
    layoutBoard(size.width, size.height);
    for (uint32_t t = 0; t < 8000; t += 200) {
        gLink.lastFetchOkTick = t;
        composeNewStyleBoardAt(t, currentBoardStatus());
    }
    const int32_t fontsBefore = gNewStyle.fontsCreated;
    uint32_t now = 0;
    bool flip = false;
    timeAgainstFloor(sizeName(name, size), [&] {
        if (repaint == FULL) {
            forceNewStyleFullPaint();
        } else if (repaint == HEADER_CHANGE) {
            copyText(gDocuments.currentDocument.viaEn, flip ? u"Shinjuku" : u"Shibuya");
            flip = !flip;
        }
        gLink.lastFetchOkTick = now;
        composeNewStyleBoardAt(now, currentBoardStatus());
        flushBoardSurface();
        now += 40;
    });
    CHECK(gNewStyle.fontsCreated == fontsBefore);
}

TEST_CASE("paint new-style", "[paint][newstyle]") {
    const struct {
        const char* name;         // case name before the size
        NewStyleRepaint repaint;  // what the frame draws again
    } cases[] = {{"paint new-style", LEDS_ONLY},
                 {"paint new-style scrolling", SCROLLING},
                 {"paint new-style header change", HEADER_CHANGE},
                 {"paint new-style full", FULL}};
    for (const auto& c : cases) {
        for (const Size size : PAINT_SIZES) {
            newStylePaintCase(c.name, size, c.repaint);
        }
    }
}

static unsigned char largeDocument[LARGE_DOCUMENT_BYTES];
static BoardDocument parsedDocument;

TEST_CASE("parseDisplayDocument", "[parse]") {
    for (const bool newStyle : {false, true}) {
        const int32_t length = buildLargeDocument(largeDocument, LARGE_DOCUMENT_BYTES, newStyle);
        REQUIRE(parseDisplayDocument(largeDocument, length, &parsedDocument) == 1);
        BENCHMARK(std::string(newStyle ? "parseDisplayDocument new-style 64KiB"
                                       : "parseDisplayDocument classic 64KiB")) {
            return parseDisplayDocument(largeDocument, length, &parsedDocument);
        };
    }
}

// A document that differs from the shown one in a row's text only: the
// common hand-over, which neither lays out nor forces a full repaint.
TEST_CASE("takeHandedOverDocument", "[handover]") {
    setLargeBenchBoard();
    const BoardDocument a = gDocuments.currentDocument;
    BoardDocument b = gDocuments.currentDocument;
    copyText(b.lines[0].time, u"12:35");
    bool flip = false;
    BENCHMARK("takeHandedOverDocument row change") {
        lockEnter(&gLink.handoverLock);
        gDocuments.handoverDocument = flip ? a : b;
        gLink.handoverPending = 1;
        lockLeave(&gLink.handoverLock);
        takeHandedOverDocument();
        flip = !flip;
    };
}

int main(int argc, char** argv) {
    lockInit(&gLink.handoverLock);
    resetToClassicDefaults(&gDocuments.currentDocument);
    copyText(gSettings.settings.fontFace, u"MS Gothic");
    copyText(gSettings.settings.labelFontFace, u"MS PGothic");
    gSettings.settings.backgroundColor = 0x000000;
    if (createTextScratch() == 0) {
        std::fprintf(stderr, "no text scratch\n");
        return 1;
    }
    return Catch::Session().run(argc, argv);
}
