// The boot self-check screen's layout, timeline and texts. Everything a
// frame shows is worked out here from the tick count, the link state and the
// settings; the platform's boot-text file only creates the font, measures
// its digit width and draws the texts, so the arithmetic is the same (and
// tested) in every build.
#include "render/bootscreen.h"

#include "base/numbers.h"
#include "documents/documents.h"
#include "platform/platform.h"
#include "render/render.h"

SystemInfo gSystemInfo;

static constexpr int32_t MIN_TEXT_HEIGHT = 12;
static constexpr int32_t MAX_TEXT_HEIGHT = 40;
static constexpr int32_t HEIGHT_DIVISOR = 26;
static constexpr int32_t LEFT_DIVISOR = 14;
static constexpr int32_t TOP_DIVISOR = 9;
static constexpr int32_t DOTTED_WIDTH = 20;       // label and dots fill 20 units
static constexpr int32_t STATUS_COLUMN = 46;      // in digit widths from x0
static constexpr int32_t STATUS_ROOM = 59;        // x0 + this must fit, or the
static constexpr int32_t STATUS_FROM_RIGHT = 13;  // status moves to W - this
static constexpr int32_t TRACK_CELLS = 40;
static constexpr int32_t CREEP_CELLS = 36;  // nine tenths of the track

static const char16_t BANNER[] = u"VELMORANT BOARD SYSTEM   Ver 2.00";
static const char16_t MAKER_NOTICE[] = u"(C) Velmorant Signal Works  Station Display Division";
static const char16_t MESSAGE_STARTING[] = u"起動中です。しばらくお待ちください";
static const char16_t MESSAGE_NO_SERVER[] = u"サーバーに接続できません。設定を確認してください";
static const char16_t SYSTEM_READY[] = u"SYSTEM READY";
static const char16_t SPINNER[] = u"|/-\\";

int32_t bootTextHeight(int32_t surfaceHeight) {
    int32_t a = surfaceHeight / HEIGHT_DIVISOR;
    if (a < MIN_TEXT_HEIGHT) {
        a = MIN_TEXT_HEIGHT;
    }
    if (a > MAX_TEXT_HEIGHT) {
        a = MAX_TEXT_HEIGHT;
    }
    return a;
}

int32_t bootLinesDue(uint32_t elapsed) {
    if (elapsed < BOOT_FIRST_LINE_MS) {
        return 0;
    }
    // At most about 12 million for any 32-bit elapsed time.
    return static_cast<int32_t>((elapsed - BOOT_FIRST_LINE_MS) / BOOT_LINE_STEP_MS + 1);
}

void formatCheckLine(const char16_t* label, const char16_t* value, char16_t* out, int32_t capacity) {
    if (capacity <= 0) {
        return;
    }
    char16_t line[BOOT_LINE_CAPACITY];
    copyText(line, label);
    appendText(line, u" ");
    while (textLength(line) < DOTTED_WIDTH && textLength(line) < BOOT_LINE_CAPACITY - 1) {
        appendText(line, u".");
    }
    appendText(line, u" ");
    appendText(line, value);
    copyText(out, capacity, line);
}

void formatOsDescription(const char16_t* name, int32_t major, int32_t minor, int32_t build,
                         const char16_t* servicePack, char16_t* out, int32_t capacity) {
    if (capacity <= 0) {
        return;
    }
    copyText(out, capacity, name);
    appendText(out, capacity, u" ");
    appendDecimal(out, capacity, major);
    appendText(out, capacity, u".");
    appendDecimal(out, capacity, minor);
    appendText(out, capacity, u".");
    appendDecimal(out, capacity, build);
    appendText(out, capacity, u" ");
    appendText(out, capacity, servicePack);
}

void formatMemoryDescription(uint64_t totalBytes, char16_t* out, int32_t capacity) {
    if (capacity <= 0) {
        return;
    }
    out[0] = 0;
    appendDecimal(out, capacity, static_cast<int64_t>(totalBytes >> 20));
    appendText(out, capacity, u" MB");
}

static void addText(BootScreenPlan* plan, int32_t x, int32_t y, uint32_t colour, const char16_t* text) {
    if (plan->textCount >= BOOT_MAX_TEXTS) {
        return;
    }
    BootText& item = plan->texts[plan->textCount++];
    item.x = x;
    item.y = y;
    item.colour = colour;
    copyText(item.text, text);
}

// The status of check line i, or an empty text for lines without one.
static void lineStatus(int32_t i, uint32_t t, uint32_t e, const BoardStatus& board, char16_t* status,
                       int32_t capacity, uint32_t* colour) {
    status[0] = 0;
    *colour = BOOT_GREEN;
    switch (i) {
        case 0:
        case 1:
            copyText(status, capacity, u"OK");
            break;
        case 2:
            if (board.localAddress[0] != 0) {
                copyText(status, capacity, u"OK");
            } else {
                copyText(status, capacity, u"--");
                *colour = BOOT_GREY;
            }
            break;
        case 3:
            if (board.serverOk) {
                copyText(status, capacity, u"OK");
            } else if (e >= BOOT_SERVER_GIVE_UP_MS) {
                copyText(status, capacity, u"NG  RETRY ");
                appendDecimal(status, capacity, board.fetchAttempts);
                *colour = BOOT_RED;
            } else {
                const char16_t spin[2] = {SPINNER[(t / BOOT_SPINNER_STEP_MS) % 4], 0};
                copyText(status, capacity, u"WAIT ");
                appendText(status, capacity, spin);
                *colour = BOOT_AMBER;
            }
            break;
        default:
            break;
    }
}

static void lineValue(int32_t i, const BoardStatus& board, char16_t* value, int32_t capacity) {
    value[0] = 0;
    switch (i) {
        case 0:
            copyText(value, capacity, gSystemInfo.osDescription);
            break;
        case 1:
            copyText(value, capacity, gSystemInfo.memoryDescription);
            break;
        case 2:
            copyText(value, capacity, board.localAddress[0] != 0 ? board.localAddress : u"----");
            break;
        case 3:
            copyText(value, capacity, gSettings.settings.server);
            appendText(value, capacity, u":");
            appendDecimal(value, capacity, gSettings.settings.port);
            break;
        case 4:
            appendDecimal(value, capacity, gSettings.settings.board);
            break;
        default:
            copyText(value, capacity, gSettings.settings.melodyEnabled ? u"MELODY ON" : u"MELODY OFF");
            break;
    }
}

static const char16_t* const LINE_LABELS[BOOT_CHECK_LINES] = {u"SYSTEM", u"MEMORY",    u"NETWORK",
                                                              u"SERVER", u"BOARD NO.", u"SOUND"};

void planBootScreen(uint32_t t, int32_t width, int32_t height, int32_t cw, const BoardStatus& status,
                    BootScreenPlan* plan) {
    const uint32_t e = t - status.bootStartTick;
    const int32_t a = bootTextHeight(height);
    const int32_t x0 = width / LEFT_DIVISOR;
    const int32_t y0 = height / TOP_DIVISOR;
    plan->textHeight = a;
    plan->left = x0;
    plan->top = y0;
    plan->textCount = 0;
    plan->barShown = 0;
    plan->barX = plan->barY = plan->barHeight = plan->trackWidth = plan->fillWidth = 0;

    if (e > BOOT_BANNER_MS) {
        addText(plan, x0, y0, BOOT_WHITE, BANNER);
        addText(plan, x0, y0 + 3 * a / 2, BOOT_GREY, MAKER_NOTICE);
    }

    const int32_t due = bootLinesDue(e);
    plan->lineCount = due < BOOT_CHECK_LINES ? due : BOOT_CHECK_LINES;
    const int64_t statusRoom = static_cast<int64_t>(x0) + static_cast<int64_t>(STATUS_ROOM) * cw;
    const int32_t statusX = statusRoom > width ? width - STATUS_FROM_RIGHT * cw : x0 + STATUS_COLUMN * cw;
    for (int32_t i = 0; i < plan->lineCount; ++i) {
        const int32_t y = y0 + 4 * a + (3 * a * i) / 2;
        char16_t value[BOOT_LINE_CAPACITY];
        lineValue(i, status, value, BOOT_LINE_CAPACITY);
        char16_t line[BOOT_LINE_CAPACITY];
        formatCheckLine(LINE_LABELS[i], value, line, BOOT_LINE_CAPACITY);
        addText(plan, x0, y, BOOT_LINE_GREY, line);
        char16_t lineState[32];
        uint32_t colour = 0;
        lineStatus(i, t, e, status, lineState, 32, &colour);
        if (lineState[0] != 0) {
            addText(plan, statusX, y, colour, lineState);
        }
    }

    if (due <= BOOT_CHECK_LINES) {
        return;
    }
    const int32_t messageY = y0 + 15 * a;
    if (status.bootReadyTick != 0) {
        addText(plan, x0, messageY, BOOT_GREEN, SYSTEM_READY);
    } else if ((t / BOOT_BLINK_HALF_MS) % 2 == 0) {
        const bool givenUp = e > BOOT_SERVER_GIVE_UP_MS && !status.serverOk;
        addText(plan, x0, messageY, BOOT_WHITE, givenUp ? MESSAGE_NO_SERVER : MESSAGE_STARTING);
    }
    plan->barShown = 1;
    plan->barX = x0;
    plan->barY = messageY + 2 * a;
    plan->barHeight = a / 2;
    plan->trackWidth = TRACK_CELLS * cw;
    if (status.bootReadyTick != 0) {
        plan->fillWidth = plan->trackWidth;
    } else {
        const uint32_t capped = e < BOOT_SERVER_GIVE_UP_MS ? e : BOOT_SERVER_GIVE_UP_MS;
        plan->fillWidth =
            static_cast<int32_t>(static_cast<int64_t>(CREEP_CELLS) * cw * capped / BOOT_SERVER_GIVE_UP_MS);
    }
}

// Drawn whole at every paint; the font lives only for this one draw, which
// happens at most about ten times a second.
void drawBootScreen(const BoardStatus& status) {
    if (gRender.boardSurface.pixels == nullptr) {
        return;
    }
    const uint32_t t = tickCount();
    const int32_t width = gRender.boardSurface.width;
    const int32_t height = gRender.boardSurface.height;
    fillBox(0, 0, width, height, BOOT_BACKGROUND);
    const int32_t cw = beginBootText(bootTextHeight(height));
    static BootScreenPlan plan;
    planBootScreen(t, width, height, cw, status, &plan);
    for (int32_t i = 0; i < plan.textCount; ++i) {
        drawBootText(plan.texts[i].text, plan.texts[i].x, plan.texts[i].y, plan.texts[i].colour);
    }
    if (plan.barShown) {
        fillBox(plan.barX, plan.barY, plan.trackWidth, plan.barHeight, BOOT_TRACK);
        if (plan.fillWidth > 0) {
            fillBox(plan.barX, plan.barY, plan.fillWidth, plan.barHeight, BOOT_FILL);
        }
    }
    endBootText();
    flushBoardSurface();
}
