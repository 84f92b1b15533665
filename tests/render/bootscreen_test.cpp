// The boot screen: its geometry for the surface sizes that matter, the
// timeline of the banner, the check lines and the footer, the status texts
// (spinner, NG with the retry count, the missing address), the progress bar,
// and the drawn surface read back (the fills in every build, the GDI text
// under Wine).
#include "render/bootscreen.h"
#include "shell/shell.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "shell/boot.h"

namespace {

constexpr uint32_t START = 1000000;  // gBoot.startTick in these tests
constexpr int32_t CW = 12;           // digit width of a 23-pixel fixed-pitch face

std::u16string str(const char16_t* text) {
    return std::u16string(text);
}

void prepareBoot() {
    gBoot.startTick = START;
    gBoot.readyTick = 0;
    gLink.serverOk = 0;
    gLink.fetchAttempts = 0;
    copyText(gLink.localAddressText, u"192.168.1.20");
    gLink.localAddressReady = 1;
    copyText(gSystemInfo.osDescription, u"Windows NT 6.2.9200 ");
    copyText(gSystemInfo.memoryDescription, u"4096 MB");
    copyText(settings.server, u"127.0.0.1");
    settings.port = 8020;
    settings.board = 7;
    settings.melodyEnabled = 1;
}

BootScreenPlan plan(uint32_t elapsed, int32_t width = 800, int32_t height = 600, int32_t cw = CW) {
    BootScreenPlan p{};
    planBootScreen(START + elapsed, width, height, cw, currentBoardStatus(), &p);
    return p;
}

// The text drawn at (x, y), or nullptr.
const BootText* textAt(const BootScreenPlan& p, int32_t x, int32_t y) {
    for (int32_t i = 0; i < p.textCount; ++i) {
        if (p.texts[i].x == x && p.texts[i].y == y) {
            return &p.texts[i];
        }
    }
    return nullptr;
}

// The status of check line i (drawn right of x0 on the line's y), or nullptr.
const BootText* statusOf(const BootScreenPlan& p, int32_t i) {
    const int32_t y = p.top + 4 * p.textHeight + (3 * p.textHeight * i) / 2;
    for (int32_t k = 0; k < p.textCount; ++k) {
        if (p.texts[k].y == y && p.texts[k].x != p.left) {
            return &p.texts[k];
        }
    }
    return nullptr;
}

// Paints leave the shared boot and link state as the other render tests
// expect it: no boot screen, no link.
class BootScreen : public ::testing::Test {
protected:
    void TearDown() override {
        gBoot.active = 0;
        gBoot.readyTick = 0;
        gLink.serverOk = 0;
        gLink.fetchAttempts = 0;
        gLink.localAddressText[0] = 0;
        settings.board = 1;
        settings.melodyEnabled = 1;
    }
};

}  // namespace

TEST_F(BootScreen, TextHeightIsClampedToStayReadable) {
    EXPECT_EQ(bootTextHeight(234), 12);   // 9 raised to the minimum
    EXPECT_EQ(bootTextHeight(1200), 40);  // 46 lowered to the maximum
    EXPECT_EQ(bootTextHeight(0), 12);
    EXPECT_EQ(bootTextHeight(600), 23);
}

// What the screen shows at the sizes boards run at, with every text and the
// bar present: each text lies inside the surface in its own rows, the check
// lines and their statuses each start in one column, a status starts after
// its line's text, and the bar lies inside, below every text. A fixed-pitch
// boot font is half as wide as it is high, a Japanese character two digits.
TEST_F(BootScreen, EverythingShownIsInsideAndNothingOverlaps) {
    const auto widthOf = [](const BootText& t, int32_t cw) {
        int32_t units = 0;
        for (const char16_t* c = t.text; *c != 0; ++c) {
            units += *c >= 0x2E80 ? 2 : 1;
        }
        return units * cw;
    };
    const int32_t sizes[][2] = {{800, 600}, {640, 480}, {1024, 768}, {1280, 720}, {1920, 1080}};
    for (const auto& size : sizes) {
        const int32_t width = size[0];
        const int32_t height = size[1];
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        const int32_t a = bootTextHeight(height);
        const int32_t cw = (a + 1) / 2;
        prepareBoot();
        // 20 s on, the server given up: the longest message; then ready.
        for (const uint32_t elapsed : {20400u, 21600u}) {
            gBoot.readyTick = elapsed == 21600u ? START + 21000 : 0;
            BootScreenPlan p{};
            planBootScreen(START + elapsed, width, height, cw, currentBoardStatus(), &p);
            ASSERT_EQ(p.lineCount, BOOT_CHECK_LINES);
            ASSERT_TRUE(p.barShown);
            // Banner, notice, six lines, the statuses of the first four, the message.
            ASSERT_EQ(p.textCount, 2 + BOOT_CHECK_LINES + 4 + 1);
            int32_t lowestText = 0;
            int32_t statusX = -1;
            for (int32_t i = 0; i < p.textCount; ++i) {
                const BootText& t = p.texts[i];
                EXPECT_GE(t.x, 0) << i;
                EXPECT_LE(t.x + widthOf(t, cw), width) << i;
                EXPECT_GE(t.y, 0) << i;
                EXPECT_LE(t.y + a, height) << i;
                lowestText = t.y + a > lowestText ? t.y + a : lowestText;
                const bool status = t.x != p.left;
                if (status) {
                    EXPECT_TRUE(statusX < 0 || statusX == t.x) << i;
                    statusX = t.x;
                }
                for (int32_t k = 0; k < i; ++k) {
                    const BootText& u = p.texts[k];
                    if (u.x != p.left) {
                        continue;
                    }
                    if (status && u.y == t.y) {
                        EXPECT_GE(t.x, u.x + widthOf(u, cw)) << "status " << i << " after its line";
                    } else if (!status) {
                        EXPECT_TRUE(u.y + a <= t.y || t.y + a <= u.y) << k << " and " << i;
                    }
                }
            }
            EXPECT_GE(statusX, 0);
            EXPECT_GE(p.barY, lowestText);
            EXPECT_GT(p.barHeight, 0);
            EXPECT_LE(p.barY + p.barHeight, height);
            EXPECT_GE(p.barX, 0);
            EXPECT_LE(p.barX + p.trackWidth, width);
            EXPECT_LE(p.fillWidth, p.trackWidth);
        }
    }
}

TEST_F(BootScreen, StatusStaysOnANarrowSurface) {
    prepareBoot();
    // Too narrow for the status column beside the lines: the statuses move
    // in from the right edge, still whole on the screen and in one column.
    for (const int32_t width : {400, 520, 640}) {
        const BootScreenPlan narrow = plan(5000, width, 600);
        ASSERT_NE(statusOf(narrow, 0), nullptr);
        ASSERT_NE(statusOf(narrow, 3), nullptr);
        EXPECT_EQ(statusOf(narrow, 0)->x, statusOf(narrow, 3)->x);
        EXPECT_LE(statusOf(narrow, 3)->x + textLength(u"NG  RETRY 99") * CW, width) << width;
        EXPECT_GT(statusOf(narrow, 0)->x, narrow.left);
    }
}

TEST_F(BootScreen, BlackThenBannerThenOneLineEvery350Ms) {
    prepareBoot();
    EXPECT_EQ(plan(0).textCount, 0);
    EXPECT_EQ(plan(600).textCount, 0);  // "over 600"
    EXPECT_EQ(plan(601).textCount, 2);
    EXPECT_EQ(plan(1399).lineCount, 0);
    const uint32_t appear[BOOT_CHECK_LINES] = {1400, 1750, 2100, 2450, 2800, 3150};
    for (int32_t i = 0; i < BOOT_CHECK_LINES; ++i) {
        EXPECT_EQ(plan(appear[i] - 1).lineCount, i) << "just before line " << i;
        EXPECT_EQ(plan(appear[i]).lineCount, i + 1) << "line " << i;
        EXPECT_FALSE(plan(appear[i]).barShown);
    }
    EXPECT_FALSE(plan(3499).barShown);
    EXPECT_TRUE(plan(3500).barShown);
    // However long it stays, six lines at most.
    EXPECT_EQ(plan(3600000).lineCount, 6);
    EXPECT_EQ(bootLinesDue(0xFFFFFFFFu), static_cast<int32_t>((0xFFFFFFFFu - 1400) / 350 + 1));
    // A tick count that wrapped since the start still counts forward.
    gBoot.startTick = 0xFFFFFF00u;
    BootScreenPlan wrapped{};
    planBootScreen(0x00000100u + 1400, 800, 600, CW, currentBoardStatus(), &wrapped);
    EXPECT_EQ(wrapped.lineCount, 2);  // e = 1912
}

TEST_F(BootScreen, CheckLinesPutEveryValueInColumn21) {
    char16_t line[BOOT_LINE_CAPACITY];
    formatCheckLine(u"SYSTEM", u"Windows XP 5.1.2600 Service Pack 3", line, BOOT_LINE_CAPACITY);
    EXPECT_EQ(str(line), u"SYSTEM ............. Windows XP 5.1.2600 Service Pack 3");
    formatCheckLine(u"BOARD NO.", u"7", line, BOOT_LINE_CAPACITY);
    EXPECT_EQ(str(line).find(u'7'), 21u);
    // A label of 19 or more units gets no dots.
    formatCheckLine(u"ABCDEFGHIJKLMNOPQRS", u"v", line, BOOT_LINE_CAPACITY);
    EXPECT_EQ(str(line), u"ABCDEFGHIJKLMNOPQRS  v");
    // The whole line is cut to 159 units.
    std::u16string longValue(300, u'x');
    formatCheckLine(u"SERVER", longValue.c_str(), line, BOOT_LINE_CAPACITY);
    EXPECT_EQ(textLength(line), 159);
    // A small target is cut, never overrun.
    char16_t small[8];
    formatCheckLine(u"SERVER", u"host", small, 8);
    EXPECT_EQ(str(small), u"SERVER ");

    prepareBoot();
    settings.melodyEnabled = 0;
    const BootScreenPlan p = plan(4000);
    ASSERT_EQ(p.lineCount, 6);
    const int32_t lineY[6] = {158, 192, 227, 261, 296, 330};
    const char16_t* expected[6] = {u"SYSTEM ............. Windows NT 6.2.9200 ",
                                   u"MEMORY ............. 4096 MB",
                                   u"NETWORK ............ 192.168.1.20",
                                   u"SERVER ............. 127.0.0.1:8020",
                                   u"BOARD NO. .......... 7",
                                   u"SOUND .............. MELODY OFF"};
    for (int32_t i = 0; i < 6; ++i) {
        const BootText* t = textAt(p, 57, lineY[i]);
        ASSERT_NE(t, nullptr) << i;
        EXPECT_EQ(str(t->text), expected[i]);
        EXPECT_EQ(t->colour, BOOT_LINE_GREY);
    }
    EXPECT_EQ(statusOf(p, 4), nullptr);  // BOARD NO. and SOUND have no status
    EXPECT_EQ(statusOf(p, 5), nullptr);
}

TEST_F(BootScreen, OsAndMemoryDescriptions) {
    char16_t out[OS_DESCRIPTION_CAPACITY];
    formatOsDescription(u"Windows XP", 5, 1, 2600, u"Service Pack 3", out, OS_DESCRIPTION_CAPACITY);
    EXPECT_EQ(str(out), u"Windows XP 5.1.2600 Service Pack 3");
    formatOsDescription(u"Windows NT", 10, 0, 19045, u"", out, OS_DESCRIPTION_CAPACITY);
    EXPECT_EQ(str(out), u"Windows NT 10.0.19045 ");  // empty pack: ends in a space
    // An unusually long service-pack text is cut to 95 units.
    std::u16string pack(200, u'p');
    formatOsDescription(u"Windows NT", 6, 1, 7601, pack.c_str(), out, OS_DESCRIPTION_CAPACITY);
    EXPECT_EQ(textLength(out), 95);

    char16_t memory[MEMORY_DESCRIPTION_CAPACITY];
    formatMemoryDescription(uint64_t{8} << 30, memory, MEMORY_DESCRIPTION_CAPACITY);
    EXPECT_EQ(str(memory), u"8192 MB");
    formatMemoryDescription((uint64_t{1} << 20) - 1, memory, MEMORY_DESCRIPTION_CAPACITY);
    EXPECT_EQ(str(memory), u"0 MB");
}

TEST_F(BootScreen, NetworkAndServerStates) {
    prepareBoot();
    BootScreenPlan p = plan(4000);
    EXPECT_EQ(str(statusOf(p, 0)->text), u"OK");
    EXPECT_EQ(statusOf(p, 0)->colour, BOOT_GREEN);
    EXPECT_EQ(str(statusOf(p, 2)->text), u"OK");

    // Unknown address: "----" with a grey "--".
    gLink.localAddressText[0] = 0;
    p = plan(4000);
    EXPECT_EQ(str(textAt(p, 57, 227)->text), u"NETWORK ............ ----");
    EXPECT_EQ(str(statusOf(p, 2)->text), u"--");
    EXPECT_EQ(statusOf(p, 2)->colour, BOOT_GREY);

    // No document yet: WAIT with a spinner turning every 150 ms.
    const char16_t spinner[] = u"|/-\\";
    for (uint32_t step = 0; step < 8; ++step) {
        BootScreenPlan w{};
        const uint32_t t = START + 4000 + step * 150;
        planBootScreen(t, 800, 600, CW, currentBoardStatus(), &w);
        const char16_t expected[] = {u'W', u'A', u'I', u'T', u' ', spinner[(t / 150) % 4], 0};
        EXPECT_EQ(str(statusOf(w, 3)->text), expected);
        EXPECT_EQ(statusOf(w, 3)->colour, BOOT_AMBER);
    }
    // From 20 s: NG with the retry count.
    gLink.fetchAttempts = 23;
    p = plan(19999);
    EXPECT_EQ(statusOf(p, 3)->colour, BOOT_AMBER);
    p = plan(20000);
    EXPECT_EQ(str(statusOf(p, 3)->text), u"NG  RETRY 23");
    EXPECT_EQ(statusOf(p, 3)->colour, BOOT_RED);
    // A document: OK at once.
    gLink.serverOk = 1;
    p = plan(25000);
    EXPECT_EQ(str(statusOf(p, 3)->text), u"OK");
    EXPECT_EQ(statusOf(p, 3)->colour, BOOT_GREEN);
}

TEST_F(BootScreen, MessageBlinksAndChangesAfter20sAndReadyFillsTheBar) {
    prepareBoot();
    // Pick ticks by their blink phase: shown while (t / 600) is even.
    auto shownAt = [](uint32_t around) {
        uint32_t t = START + around;
        while ((t / 600) % 2 != 0) {
            ++t;
        }
        return t - START;
    };
    auto hiddenAt = [](uint32_t around) {
        uint32_t t = START + around;
        while ((t / 600) % 2 == 0) {
            ++t;
        }
        return t - START;
    };
    BootScreenPlan p = plan(shownAt(5000));
    ASSERT_NE(textAt(p, 57, 411), nullptr);
    EXPECT_EQ(str(textAt(p, 57, 411)->text), u"起動中です。しばらくお待ちください");
    EXPECT_EQ(textAt(p, 57, 411)->colour, BOOT_WHITE);
    EXPECT_EQ(textAt(plan(hiddenAt(5000)), 57, 411), nullptr);
    p = plan(shownAt(20001));
    EXPECT_EQ(str(textAt(p, 57, 411)->text), u"サーバーに接続できません。設定を確認してください");

    // The bar creeps to nine tenths in 20 s and stays there.
    EXPECT_EQ(plan(10000).fillWidth, 36 * CW * 10000 / 20000);
    EXPECT_EQ(plan(20000).fillWidth, 36 * CW);
    EXPECT_EQ(plan(900000).fillWidth, 36 * CW);

    // Ready: SYSTEM READY in green whatever the blink phase, bar full.
    gLink.serverOk = 1;
    gBoot.readyTick = START + 6000;
    p = plan(hiddenAt(6500));
    ASSERT_NE(textAt(p, 57, 411), nullptr);
    EXPECT_EQ(str(textAt(p, 57, 411)->text), u"SYSTEM READY");
    EXPECT_EQ(textAt(p, 57, 411)->colour, BOOT_GREEN);
    EXPECT_EQ(p.fillWidth, 40 * CW);
}

TEST_F(BootScreen, ReadyAfter6sAndEndedAfterAnother1500Ms) {
    prepareBoot();
    gBoot.active = 1;
    gLink.serverOk = 1;
    gBoot.startTick = tickCount();  // just started: not ready before 6 s
    bootScreenTick();
    EXPECT_EQ(gBoot.readyTick, 0u);
    gBoot.startTick = tickCount() - 6000;
    bootScreenTick();
    EXPECT_NE(gBoot.readyTick, 0u);
    EXPECT_EQ(gBoot.active, 1);
    gBoot.readyTick = tickCount() - 1500;
    bootScreenTick();
    EXPECT_EQ(gBoot.active, 0);
}

TEST_F(BootScreen, PaintDrawsTheScreenInsteadOfTheBoardWhileActive) {
    prepareBoot();
    resetToClassicDefaults(&gDocuments.currentDocument);
    layoutBoard(800, 600);
    ASSERT_NE(gRender.boardSurface.pixels, nullptr);
    gBoot.active = 1;
    gBoot.readyTick = 0;
    gLink.serverOk = 0;
    gBoot.startTick = tickCount() - 10000;  // footer up, bar half way to nine tenths
    paintBoardFrame(currentBoardStatus());
    const uint32_t* px = gRender.boardSurface.pixels;
    auto at = [&](int32_t x, int32_t y) { return px[y * 800 + x] & 0xFFFFFF; };
    // Black everywhere the board's housing would be.
    EXPECT_EQ(at(10, 231), 0u);
    EXPECT_EQ(at(400, 300), 0u);
    // The bar: 11 rows from y 457 at x0 57, filled in 64, 200, 64 on the left
    // and the 40, 40, 40 track further right.
    EXPECT_EQ(at(57, 457), 0x40C840u);
    EXPECT_EQ(at(57, 467), 0x40C840u);
    EXPECT_EQ(at(57, 468), 0u);
    EXPECT_EQ(at(57, 456), 0u);
    EXPECT_EQ(at(56, 460), 0u);
    int32_t fillEnd = 57;
    while (fillEnd < 800 && at(fillEnd, 460) == 0x40C840u) {
        ++fillEnd;
    }
    int32_t trackEnd = fillEnd;
    while (trackEnd < 800 && at(trackEnd, 460) == 0x282828u) {
        ++trackEnd;
    }
    const int32_t track = trackEnd - 57;
    EXPECT_GT(track, 0);
    EXPECT_EQ(track % 40, 0);  // 40 digit widths
    const int32_t cw = track / 40;
    const int32_t elapsed = static_cast<int32_t>(tickCount() - gBoot.startTick);
    // Filled 36 cw * e / 20000 with e a little over 10 s.
    EXPECT_GE(fillEnd - 57, 36 * cw * 10000 / 20000);
    EXPECT_LE(fillEnd - 57, 36 * cw * elapsed / 20000);

    // Once ended, the same paint draws the board again.
    gBoot.active = 0;
    invalidatePresentedFrame();
    composeClassicBoard(tickCount(), currentBoardStatus());
    paintBoardFrame(currentBoardStatus());
    EXPECT_EQ(at(10, 231), 0x1A1A1Cu);  // housing colour 26, 26, 28
}

#ifdef _WIN32
TEST_F(BootScreen, SystemTextsAndTheGdiTextInItsColours) {
    collectSystemInfo();
    const std::u16string os = gSystemInfo.osDescription;
    EXPECT_EQ(os.rfind(u"Windows ", 0), 0u) << std::string(os.begin(), os.end());
    const std::u16string memory = gSystemInfo.memoryDescription;
    ASSERT_GE(memory.size(), 4u);
    EXPECT_EQ(memory.substr(memory.size() - 3), u" MB");
    EXPECT_NE(memory[0], u'0');

    prepareBoot();
    copyText(settings.fontFace, u"MS Gothic");
    resetToClassicDefaults(&gDocuments.currentDocument);
    layoutBoard(800, 600);
    gBoot.active = 1;
    gLink.serverOk = 0;
    gBoot.readyTick = 0;
    gBoot.startTick = tickCount() - 4000;  // six lines, SERVER waiting
    paintBoardFrame(currentBoardStatus());
    flushBoardSurface();
    const uint32_t* px = gRender.boardSurface.pixels;
    // Pixels of a colour (0x00RRGGBB) within rows y..y+a of columns x0..x1.
    auto count = [&](uint32_t rgb, int32_t x0, int32_t x1, int32_t y) {
        int32_t found = 0;
        for (int32_t row = y; row < y + 23 && row < 600; ++row) {
            for (int32_t x = x0; x < x1; ++x) {
                found += (px[row * 800 + x] & 0xFFFFFF) == rgb ? 1 : 0;
            }
        }
        return found;
    };
    EXPECT_GT(count(0xFFFFFF, 57, 800, 66), 50);   // banner in white
    EXPECT_GT(count(0x969696, 57, 800, 100), 50);  // maker's notice in grey
    EXPECT_GT(count(0xC8C8C8, 57, 400, 158), 50);  // line 0's text
    // Statuses start at x0 + 46 cw: nothing of them to the left of it.
    const int32_t cw = beginBootText(23);
    endBootText();
    ASSERT_GT(cw, 0);
    const int32_t statusX = 57 + 46 * cw;
    EXPECT_GT(count(0x40FF40, statusX, 800, 158), 10);  // SYSTEM OK
    EXPECT_EQ(count(0x40FF40, 0, statusX, 158), 0);
    EXPECT_GT(count(0xFFE000, statusX, 800, 261), 10);  // SERVER WAIT
    EXPECT_EQ(count(0xFFE000, 0, statusX, 261), 0);
    EXPECT_EQ(count(0xC8C8C8, 0, 800, 365), 0);  // no seventh line
}
#endif
