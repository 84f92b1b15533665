// How a melody name becomes a request path: percent-encoding of its UTF-8
// bytes, the slash kept, the 500-byte conversion limit, and cutting at a
// small capacity without ever splitting an escape.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serverlink/serverlink.h"

namespace {

std::string pathOf(const std::u16string& name, int32_t capacity = SOUND_PATH_CAPACITY) {
    std::string out(static_cast<size_t>(capacity) + 8, '#');
    soundRequestPath(&out[0], capacity, name.c_str());
    EXPECT_EQ(out.substr(static_cast<size_t>(capacity)), std::string(8, '#')) << "wrote past the capacity";
    return std::string(out.c_str());
}

}  // namespace

TEST(SoundRequestPath, EscapesEverythingButTheSafeBytes) {
    EXPECT_EQ(pathOf(u"a b.mp3"), "/sounds/a%20b.mp3");
    EXPECT_EQ(pathOf(u"発車.wav"), "/sounds/%E7%99%BA%E8%BB%8A.wav");
    EXPECT_EQ(pathOf(u"line1/chime.WAV"), "/sounds/line1/chime.WAV");
    EXPECT_EQ(pathOf(u"A-Z_0.9~%+?.mp3"), "/sounds/A-Z_0.9%7E%25%2B%3F.mp3");
    EXPECT_EQ(pathOf(u""), "/sounds/");
}

TEST(SoundRequestPath, Utf8FormMustFitInto500Bytes) {
    // 499 bytes and the terminator fit; 500 bytes do not convert at all.
    EXPECT_EQ(pathOf(std::u16string(499, u'a')), "/sounds/" + std::string(499, 'a'));
    EXPECT_EQ(pathOf(std::u16string(500, u'a')), "/sounds/");
    EXPECT_EQ(pathOf(std::u16string(167, u'あ')), "/sounds/");  // 501 bytes
    // The longest valid melody name, all three-byte characters, fits 1600.
    const std::string longest = pathOf(std::u16string(156, u'漢') + u".mp3");
    EXPECT_EQ(longest.size(), 8u + 156u * 9u + 4u);
}

TEST(SoundRequestPath, SmallCapacitiesNeverSplitAnEscape) {
    const std::u16string name = u"発a車 b.mp3";
    const std::string full = pathOf(name);
    for (int32_t capacity = 1; capacity < 40; ++capacity) {
        const std::string cut = pathOf(name, capacity);
        ASSERT_LT(cut.size(), static_cast<size_t>(capacity));
        EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << capacity;
        // The cut falls between whole encoded bytes.
        if (cut.size() > 8) {
            const size_t percent = cut.rfind('%');
            EXPECT_TRUE(percent == std::string::npos || percent + 3 <= cut.size()) << capacity;
            EXPECT_LE(cut.size(), static_cast<size_t>(capacity) - 2) << capacity;
        }
    }
    EXPECT_EQ(pathOf(name, 12), "/sounds/");
    EXPECT_EQ(pathOf(name, 13), "/sounds/%E7");
    EXPECT_EQ(pathOf(name, 5), "/sou");
}
