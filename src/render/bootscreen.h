// The boot self-check screen shown from start-up until the board has its
// first document: a banner, six check lines that appear one after another,
// then a blinking status message with a progress bar, and "SYSTEM READY".
//
// The layout, the timeline and every text are worked out by planBootScreen
// (portable, bootscreen.cpp); the platform file only measures and draws
// text in the boot font (GDI on Windows, nothing in the host build) and
// gathers the operating-system and memory texts.
#pragma once

#include <cstdint>

#include "render/render.h"

constexpr int32_t OS_DESCRIPTION_CAPACITY = 96;
constexpr int32_t MEMORY_DESCRIPTION_CAPACITY = 32;

// What the boot screen's check lines say of the PC; filled once at start-up
// by collectSystemInfo.
struct SystemInfo {
    char16_t osDescription[OS_DESCRIPTION_CAPACITY];          // the operating system's name and version
    char16_t memoryDescription[MEMORY_DESCRIPTION_CAPACITY];  // the installed memory
};
extern SystemInfo gSystemInfo;

// Fills gSystemInfo (platform file).
void collectSystemInfo();
// Draws the whole boot screen onto the board surface for the current tick.
void drawBootScreen(const BoardStatus& status);

// ---------------------------------------------------------------------------
// Portable arithmetic and texts

constexpr int32_t BOOT_CHECK_LINES = 6;
constexpr int32_t BOOT_LINE_CAPACITY = 160;  // a check line holds 159 units
constexpr int32_t BOOT_MAX_TEXTS = 2 + 2 * BOOT_CHECK_LINES + 1;
constexpr uint32_t BOOT_BANNER_MS = 600;
constexpr uint32_t BOOT_FIRST_LINE_MS = 1400;
constexpr uint32_t BOOT_LINE_STEP_MS = 350;
constexpr uint32_t BOOT_SERVER_GIVE_UP_MS = 20000;
constexpr uint32_t BOOT_SPINNER_STEP_MS = 150;
constexpr uint32_t BOOT_BLINK_HALF_MS = 600;

// Colours as the drawing interface takes them (0x00BBGGRR).
constexpr uint32_t bootColour(uint32_t r, uint32_t g, uint32_t b) {
    return r | (g << 8) | (b << 16);
}
constexpr uint32_t BOOT_BACKGROUND = bootColour(0, 0, 0);
constexpr uint32_t BOOT_WHITE = bootColour(255, 255, 255);
constexpr uint32_t BOOT_GREY = bootColour(150, 150, 150);
constexpr uint32_t BOOT_LINE_GREY = bootColour(200, 200, 200);
constexpr uint32_t BOOT_GREEN = bootColour(64, 255, 64);
constexpr uint32_t BOOT_AMBER = bootColour(255, 224, 0);
constexpr uint32_t BOOT_RED = bootColour(255, 48, 48);
constexpr uint32_t BOOT_TRACK = bootColour(40, 40, 40);
constexpr uint32_t BOOT_FILL = bootColour(64, 200, 64);

struct BootText {
    int32_t x;
    int32_t y;
    uint32_t colour;
    char16_t text[BOOT_LINE_CAPACITY];
};

// Everything one frame of the boot screen shows, in surface pixels.
struct BootScreenPlan {
    int32_t textHeight;  // a
    int32_t left;        // x0
    int32_t top;         // y0
    int32_t lineCount;   // check lines shown, at most six
    int32_t textCount;
    BootText texts[BOOT_MAX_TEXTS];
    int32_t barShown;
    int32_t barX;
    int32_t barY;
    int32_t barHeight;
    int32_t trackWidth;
    int32_t fillWidth;
};

// Text height for a surface height: H / 26 held to 12..40.
int32_t bootTextHeight(int32_t surfaceHeight);
// Check lines due e ms after start (not yet capped at six).
int32_t bootLinesDue(uint32_t elapsed);
// The label, dots to 20 units, a space and the value, cut to 159 units.
void formatCheckLine(const char16_t* label, const char16_t* value, char16_t* out, int32_t capacity);
// "%s %d.%d.%d %s", cut to the capacity.
void formatOsDescription(const char16_t* name, int32_t major, int32_t minor, int32_t build,
                         const char16_t* servicePack, char16_t* out, int32_t capacity);
// "%d MB" of a byte count.
void formatMemoryDescription(uint64_t totalBytes, char16_t* out, int32_t capacity);
// The frame at tick t on a width x height surface whose boot font has the
// digit width cw, from the boot and link state in status and the settings.
void planBootScreen(uint32_t t, int32_t width, int32_t height, int32_t cw, const BoardStatus& status,
                    BootScreenPlan* plan);

// The platform's text drawing (bootscreen_win32.cpp / bootscreen_memory.cpp).
// Creates and selects the boot font of height a; returns the width of "0"
// (0 when nothing can be measured).
int32_t beginBootText(int32_t a);
void drawBootText(const char16_t* text, int32_t x, int32_t y, uint32_t colour);
// Selects the previous font again and deletes the boot font.
void endBootText();
