// The host build's instruction-count driver: runs one case of the portable
// render and document code for a number of passes inside one function,
// velmorantMeasuredPasses, so that callgrind can count only that function's
// instructions (tools/callgrind-compare.py runs it with --collect-atstart=no
// and --toggle-collect=velmorantMeasuredPasses). Built without sanitizers
// from the same archive as the Google Benchmark program.
//
// It also counts heap allocations made during the measured passes (malloc
// and friends are wrapped below, so operator new is counted too) and prints
//   case NAME passes N allocations K
// A warm pass runs before the measured ones, so a first-use allocation would
// not count; any allocation in a pass shows up as K > 0.
//
// Usage: callgrind_cases CASE [PASSES] ; callgrind_cases --list
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "benchfixture.h"
#include "render/newstyle.h"
#include "shell/shell.h"
#include "testglyphs.h"

// glibc's own allocator entry points, under the wrappers below.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);
extern "C" void* __libc_memalign(size_t alignment, size_t size);
extern "C" void __libc_free(void* block);

static volatile long allocationCount = 0;

extern "C" void* malloc(size_t size) {
    ++allocationCount;
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    ++allocationCount;
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    ++allocationCount;
    return __libc_realloc(block, size);
}
extern "C" void* memalign(size_t alignment, size_t size) {
    ++allocationCount;
    return __libc_memalign(alignment, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) {
    ++allocationCount;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) {
        return 12;  // ENOMEM
    }
    *out = block;
    return 0;
}
extern "C" void* aligned_alloc(size_t alignment, size_t size) {
    ++allocationCount;
    return __libc_memalign(alignment, size);
}
extern "C" void free(void* block) {
    __libc_free(block);
}

namespace {

uint32_t tick = 20000;
unsigned char largeDocument[LARGE_DOCUMENT_BYTES];
int32_t largeDocumentLength = 0;
BoardDocument parsedDocument;

void composePass() {
    gLink.lastFetchOkTick = tick;
    composeClassicBoard(tick, currentBoardStatus());
    tick += 30;
}

void paintPass() {
    paintBoardFrame(currentBoardStatus());
}

void fullPaintPass() {
    forceFullPaint();
    paintBoardFrame(currentBoardStatus());
}

void parsePass() {
    parseDisplayDocument(largeDocument, largeDocumentLength, &parsedDocument);
}

// The new-style LED text comes from a simple block source here (the host
// has no font engine), as in the host new-style benchmark.
uint32_t blockScratch[LED_SCRATCH_WIDTH * LED_SCRATCH_HEIGHT];

int32_t measureBlocks(const char16_t*, int32_t length, int32_t, int32_t height, int32_t) {
    return length * height;
}

void drawBlocks(const char16_t*, int32_t, int32_t cx, int32_t cell, int32_t baselineY) {
    for (int32_t y = 0; y < cell; ++y) {
        for (int32_t x = 0; x < cx; ++x) {
            blockScratch[y * LED_SCRATCH_WIDTH + x] = (x % 4 != 0 && y <= baselineY && y > 2) ? 0xFFFFFF : 0;
        }
    }
}

const LedGlyphSource blockGlyphs = {measureBlocks, drawBlocks, blockScratch};

void newStyleLedsPass() {
    gLink.lastFetchOkTick = tick;
    composeNewStyleBoardLeds(tick, currentBoardStatus());
    tick += 40;
}

void newStylePaintPass() {
    gLink.lastFetchOkTick = tick;
    composeNewStyleBoardAt(tick, currentBoardStatus());
    tick += 40;
}

void newStyleFullPaintPass() {
    forceNewStyleFullPaint();
    newStylePaintPass();
}

struct Case {
    const char* name;
    void (*prepare)();
    void (*pass)();
    int32_t defaultPasses;
};

void prepareStatic() {
    setStaticBenchBoard();
    layoutBoard(780, 138);
}
void prepareDefault() {
    setDefaultBenchBoard();
    layoutBoard(780, 138);
}
void prepareLarge() {
    setLargeBenchBoard();
    layoutBoard(1548, 282);
}
void preparePaint780() {
    prepareDefault();
    composeClassicBoard(tick, currentBoardStatus());
}
void preparePaint1080() {
    setDefaultBenchBoard();
    layoutBoard(1920, 1080);
    composeClassicBoard(tick, currentBoardStatus());
}
void prepareNewStyleBoard(bool scroll) {
    if (setNewStyleBenchBoard(scroll) != 1) {
        std::fprintf(stderr, "new-style bench document rejected\n");
        std::exit(2);
    }
    fillFontSlots(nullptr);
    setLedGlyphSource(&blockGlyphs);
}
void prepareNewStyle() {
    prepareNewStyleBoard(false);
}
void prepareNewStyle1080Board(bool scroll) {
    prepareNewStyleBoard(scroll);
    layoutBoard(1920, 1080);
    // A whole language and highlight cycle first.
    for (uint32_t t = 0; t < 8000; t += 200) {
        gLink.lastFetchOkTick = t;
        composeNewStyleBoardAt(t, currentBoardStatus());
    }
}
void prepareNewStyle1080() {
    prepareNewStyle1080Board(false);
}
void prepareNewStyleScroll1080() {
    prepareNewStyle1080Board(true);
}
void prepareParseClassic() {
    largeDocumentLength = buildLargeDocument(largeDocument, LARGE_DOCUMENT_BYTES, false);
}
void prepareParseNewStyle() {
    largeDocumentLength = buildLargeDocument(largeDocument, LARGE_DOCUMENT_BYTES, true);
}

constexpr Case CASES[] = {
    {"compose_classic_256x2_static", prepareStatic, composePass, 200},
    {"compose_classic_256x2_train_text", prepareDefault, composePass, 200},
    {"compose_classic_512x5_scroll", prepareLarge, composePass, 200},
    {"paint_classic_780x138", preparePaint780, paintPass, 20},
    {"paint_classic_1920x1080", preparePaint1080, paintPass, 5},
    {"paint_classic_full_1920x1080", preparePaint1080, fullPaintPass, 5},
    {"compose_newstyle_leds_train_pos", prepareNewStyle, newStyleLedsPass, 200},
    {"paint_newstyle_1920x1080", prepareNewStyle1080, newStylePaintPass, 10},
    {"paint_newstyle_scroll_1920x1080", prepareNewStyleScroll1080, newStylePaintPass, 10},
    {"paint_newstyle_full_1920x1080", prepareNewStyle1080, newStyleFullPaintPass, 5},
    {"parse_classic_64KiB", prepareParseClassic, parsePass, 10},
    {"parse_newstyle_64KiB", prepareParseNewStyle, parsePass, 10},
};

}  // namespace

// The only function callgrind counts. Not inlined, so it stays a function of
// its own in the profile.
extern "C" __attribute__((noinline)) void velmorantMeasuredPasses(void (*pass)(), int32_t passes) {
    for (int32_t i = 0; i < passes; ++i) {
        pass();
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: callgrind_cases CASE [PASSES] | --list\n");
        return 2;
    }
    if (std::strcmp(argv[1], "--list") == 0) {
        for (const Case& c : CASES) {
            std::printf("%s %d\n", c.name, c.defaultPasses);
        }
        return 0;
    }
    for (const Case& c : CASES) {
        if (std::strcmp(argv[1], c.name) != 0) {
            continue;
        }
        const int32_t passes = argc > 2 ? std::atoi(argv[2]) : c.defaultPasses;
        if (passes <= 0) {
            return 2;
        }
        useTestGlyphs();
        gSettings.settings.showUnlitDots = 1;
        c.prepare();
        c.pass();  // warm
        const long before = allocationCount;
        velmorantMeasuredPasses(c.pass, passes);
        const long allocations = allocationCount - before;
        std::printf("case %s passes %d allocations %ld\n", c.name, passes, allocations);
        return 0;
    }
    std::fprintf(stderr, "no case %s\n", argv[1]);
    return 2;
}
