// The boot screen: its geometry for the surface sizes that matter, the
// timeline of the banner, the check lines and the footer, the status texts
// (spinner, NG with the retry count, the missing address), the progress bar,
// and the drawn surface read back (the fills in every build, the GDI text
// under Wine).
#include "render/bootscreen.h"
#include "shell/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    copyText(gSettings.settings.server, u"127.0.0.1");
    gSettings.settings.port = 8020;
    gSettings.settings.board = 7;
    gSettings.settings.melodyEnabled = 1;
}

BootScreenPlan plan(uint32_t elapsed, int32_t width = 800, int32_t height = 600, int32_t cw = CW) {
    BootScreenPlan p{};
    planBootScreen(START + elapsed, width, height, cw, currentBoardStatus(), &p);
    return p;
}

// A text's width in digit widths: a fixed-pitch boot font is half as wide as
// it is high, a Japanese character two digits.
int32_t unitsOf(const char16_t* text) {
    int32_t units = 0;
    for (const char16_t* c = text; *c != 0; ++c) {
        units += *c >= 0x2E80 ? 2 : 1;
    }
    return units;
}

// The check line of a label (the label, then its dots), or nullptr.
const BootText* lineOf(const BootScreenPlan& p, const char16_t* label) {
    const std::u16string start = str(label) + u" .";
    for (int32_t i = 0; i < p.textCount; ++i) {
        if (p.texts[i].x == p.left && str(p.texts[i].text).rfind(start, 0) == 0) {
            return &p.texts[i];
        }
    }
    return nullptr;
}

// The status beside a label's check line, or nullptr.
const BootText* statusOf(const BootScreenPlan& p, const char16_t* label) {
    const BootText* line = lineOf(p, label);
    for (int32_t k = 0; k < p.textCount && line != nullptr; ++k) {
        if (p.texts[k].y == line->y && &p.texts[k] != line) {
            return &p.texts[k];
        }
    }
    return nullptr;
}

// The message under the check lines, or nullptr.
const BootText* messageOf(const BootScreenPlan& p) {
    const BootText* last = lineOf(p, u"SOUND");
    for (int32_t k = 0; k < p.textCount && last != nullptr; ++k) {
        if (p.texts[k].x == p.left && p.texts[k].y > last->y) {
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
        gSettings.settings.board = 1;
        gSettings.settings.melodyEnabled = 1;
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
// its line's text, and the bar lies inside, below every text.
TEST_F(BootScreen, EverythingShownIsInsideAndNothingOverlaps) {
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
                EXPECT_LE(t.x + unitsOf(t.text) * cw, width) << i;
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
                        EXPECT_GE(t.x, u.x + unitsOf(u.text) * cw) << "status " << i << " after its line";
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
        ASSERT_NE(statusOf(narrow, u"SYSTEM"), nullptr);
        ASSERT_NE(statusOf(narrow, u"SERVER"), nullptr);
        EXPECT_EQ(statusOf(narrow, u"SYSTEM")->x, statusOf(narrow, u"SERVER")->x);
        EXPECT_LE(statusOf(narrow, u"SERVER")->x + textLength(u"NG  RETRY 99") * CW, width) << width;
        EXPECT_GT(statusOf(narrow, u"SYSTEM")->x, narrow.left);
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
    gSettings.settings.melodyEnabled = 0;
    const BootScreenPlan p = plan(4000);
    ASSERT_EQ(p.lineCount, 6);
    const char16_t* expected[6] = {u"SYSTEM ............. Windows NT 6.2.9200 ",
                                   u"MEMORY ............. 4096 MB",
                                   u"NETWORK ............ 192.168.1.20",
                                   u"SERVER ............. 127.0.0.1:8020",
                                   u"BOARD NO. .......... 7",
                                   u"SOUND .............. MELODY OFF"};
    // Read top to bottom, in this order.
    const char16_t* labels[6] = {u"SYSTEM", u"MEMORY", u"NETWORK", u"SERVER", u"BOARD NO.", u"SOUND"};
    int32_t above = -1;
    for (int32_t i = 0; i < 6; ++i) {
        const BootText* t = lineOf(p, labels[i]);
        ASSERT_NE(t, nullptr) << i;
        EXPECT_EQ(str(t->text), expected[i]);
        EXPECT_EQ(t->colour, BOOT_LINE_GREY);
        EXPECT_GT(t->y, above) << i;
        above = t->y;
    }
    EXPECT_EQ(statusOf(p, u"BOARD NO."), nullptr);  // BOARD NO. and SOUND have no status
    EXPECT_EQ(statusOf(p, u"SOUND"), nullptr);
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
    EXPECT_EQ(str(statusOf(p, u"SYSTEM")->text), u"OK");
    EXPECT_EQ(statusOf(p, u"SYSTEM")->colour, BOOT_GREEN);
    EXPECT_EQ(str(statusOf(p, u"NETWORK")->text), u"OK");

    // Unknown address: "----" with a grey "--".
    gLink.localAddressText[0] = 0;
    p = plan(4000);
    EXPECT_EQ(str(lineOf(p, u"NETWORK")->text), u"NETWORK ............ ----");
    EXPECT_EQ(str(statusOf(p, u"NETWORK")->text), u"--");
    EXPECT_EQ(statusOf(p, u"NETWORK")->colour, BOOT_GREY);

    // No document yet: WAIT with a spinner turning every 150 ms.
    const char16_t spinner[] = u"|/-\\";
    for (uint32_t step = 0; step < 8; ++step) {
        BootScreenPlan w{};
        const uint32_t t = START + 4000 + step * 150;
        planBootScreen(t, 800, 600, CW, currentBoardStatus(), &w);
        const char16_t expected[] = {u'W', u'A', u'I', u'T', u' ', spinner[(t / 150) % 4], 0};
        EXPECT_EQ(str(statusOf(w, u"SERVER")->text), expected);
        EXPECT_EQ(statusOf(w, u"SERVER")->colour, BOOT_AMBER);
    }
    // From 20 s: NG with the retry count.
    gLink.fetchAttempts = 23;
    p = plan(19999);
    EXPECT_EQ(statusOf(p, u"SERVER")->colour, BOOT_AMBER);
    p = plan(20000);
    EXPECT_EQ(str(statusOf(p, u"SERVER")->text), u"NG  RETRY 23");
    EXPECT_EQ(statusOf(p, u"SERVER")->colour, BOOT_RED);
    // A document: OK at once.
    gLink.serverOk = 1;
    p = plan(25000);
    EXPECT_EQ(str(statusOf(p, u"SERVER")->text), u"OK");
    EXPECT_EQ(statusOf(p, u"SERVER")->colour, BOOT_GREEN);
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
    ASSERT_NE(messageOf(p), nullptr);
    EXPECT_EQ(str(messageOf(p)->text), u"起動中です。しばらくお待ちください");
    EXPECT_EQ(messageOf(p)->colour, BOOT_WHITE);
    EXPECT_EQ(messageOf(plan(hiddenAt(5000))), nullptr);
    p = plan(shownAt(20001));
    EXPECT_EQ(str(messageOf(p)->text), u"サーバーに接続できません。設定を確認してください");

    // The bar creeps to nine tenths of its track in 20 s and stays there.
    EXPECT_EQ(plan(10000).fillWidth, p.trackWidth * 9 / 20);
    EXPECT_EQ(plan(20000).fillWidth, p.trackWidth * 9 / 10);
    EXPECT_EQ(plan(900000).fillWidth, p.trackWidth * 9 / 10);

    // Ready: SYSTEM READY in green whatever the blink phase, bar full.
    gLink.serverOk = 1;
    gBoot.readyTick = START + 6000;
    p = plan(hiddenAt(6500));
    ASSERT_NE(messageOf(p), nullptr);
    EXPECT_EQ(str(messageOf(p)->text), u"SYSTEM READY");
    EXPECT_EQ(messageOf(p)->colour, BOOT_GREEN);
    EXPECT_EQ(p.fillWidth, p.trackWidth);
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
    // Nothing of the board's housing shows; the bar, found by its colours,
    // is one solid box inside the screen, below every text, filled from its
    // left end.
    int32_t left = 800;
    int32_t top = 600;
    int32_t right = -1;
    int32_t bottom = -1;
    int32_t fill = 0;
    int32_t track = 0;
    int32_t housing = 0;
    for (int32_t y = 0; y < 600; ++y) {
        for (int32_t x = 0; x < 800; ++x) {
            const uint32_t c = at(x, y);
            housing += c == 0x1A1A1Cu ? 1 : 0;
            if (c == 0x40C840u || c == 0x282828u) {
                fill += c == 0x40C840u ? 1 : 0;
                track += c == 0x282828u ? 1 : 0;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    EXPECT_EQ(housing, 0);
    ASSERT_GT(fill, 0);
    ASSERT_GT(track, 0);
    const int32_t width = right - left + 1;
    const int32_t height = bottom - top + 1;
    EXPECT_EQ(fill + track, width * height);
    EXPECT_EQ(fill % height, 0);
    EXPECT_EQ(at(left, bottom), 0x40C840u);
    EXPECT_EQ(at(right, top), 0x282828u);
    const int32_t cw = beginBootText(bootTextHeight(600));
    endBootText();
    BootScreenPlan p{};
    planBootScreen(tickCount(), 800, 600, cw, currentBoardStatus(), &p);
    ASSERT_GT(p.textCount, 0);
    for (int32_t i = 0; i < p.textCount; ++i) {
        EXPECT_GE(top, p.texts[i].y + p.textHeight) << i;
    }
    // Nine tenths of the track after 20 s: a little over 10 s fill half that.
    const int32_t elapsed = static_cast<int32_t>(tickCount() - gBoot.startTick);
    EXPECT_GE(fill / height, width * 9 * 10000 / (10 * 20000) - 1);
    EXPECT_LE(fill / height, width * 9 * elapsed / (10 * 20000) + 1);

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
    copyText(gSettings.settings.fontFace, u"MS Gothic");
    resetToClassicDefaults(&gDocuments.currentDocument);
    layoutBoard(800, 600);
    gBoot.active = 1;
    gLink.serverOk = 0;
    gBoot.readyTick = 0;
    const int32_t a = bootTextHeight(600);
    const int32_t cw = beginBootText(a);
    endBootText();
    ASSERT_GT(cw, 0);
    // Six lines, SERVER waiting, the message shown or not: a paint within
    // one spinner step, so that the plan of its end is what was drawn.
    BootScreenPlan p{};
    for (int32_t attempt = 0; attempt < 5; ++attempt) {
        const uint32_t before = tickCount();
        gBoot.startTick = before - 4000;
        paintBoardFrame(currentBoardStatus());
        flushBoardSurface();
        planBootScreen(tickCount(), 800, 600, cw, currentBoardStatus(), &p);
        if (tickCount() / 150 == before / 150) {
            break;
        }
    }
    ASSERT_EQ(p.lineCount, 6);
    // Every text is lit in its colour, whole, inside the screen and inside
    // its own box (its units of cw by a line of 3a/2); no pixel of a text's
    // colour lies outside the boxes of texts of that colour, so nothing is
    // drawn off its place or over another text.
    const auto rgbOf = [](uint32_t colour) {
        return ((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF);
    };
    const auto inBoxOf = [&](int32_t i, int32_t x, int32_t y) {
        const BootText& t = p.texts[i];
        return x >= t.x && x < t.x + unitsOf(t.text) * cw && y >= t.y && y < t.y + 3 * a / 2;
    };
    const uint32_t* px = gRender.boardSurface.pixels;
    for (int32_t i = 0; i < p.textCount; ++i) {
        const BootText& t = p.texts[i];
        SCOPED_TRACE(std::string(t.text, t.text + textLength(t.text)));
        EXPECT_LE(t.x + unitsOf(t.text) * cw, 800);
        EXPECT_LE(t.y + 3 * a / 2, 600);
        int32_t lit = 0;
        int32_t lastLit = -1;
        for (int32_t y = t.y; y < t.y + 3 * a / 2 && y < 600; ++y) {
            for (int32_t x = t.x; x < t.x + unitsOf(t.text) * cw && x < 800; ++x) {
                if ((px[y * 800 + x] & 0xFFFFFF) == rgbOf(t.colour)) {
                    ++lit;
                    lastLit = std::max(lastLit, x);
                }
            }
        }
        // Readable: ink for every character, and reaching the last one's cell.
        const std::u16string text(t.text);
        const size_t lastVisible = text.find_last_not_of(u' ');
        ASSERT_NE(lastVisible, std::u16string::npos);
        EXPECT_GE(lit, 8 * static_cast<int32_t>(lastVisible + 1));
        EXPECT_GE(lastLit, t.x + (unitsOf(text.substr(0, lastVisible + 1).c_str()) - 1) * cw);
    }
    int32_t astray = 0;
    for (int32_t y = 0; y < 600; ++y) {
        for (int32_t x = 0; x < 800; ++x) {
            const uint32_t c = px[y * 800 + x] & 0xFFFFFF;
            bool textColour = false;
            bool placed = false;
            for (int32_t i = 0; i < p.textCount; ++i) {
                if (c == rgbOf(p.texts[i].colour)) {
                    textColour = true;
                    placed = placed || inBoxOf(i, x, y);
                }
            }
            astray += textColour && !placed ? 1 : 0;
        }
    }
    EXPECT_EQ(astray, 0);
}
#endif
