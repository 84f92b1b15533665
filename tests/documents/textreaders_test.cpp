// The shared number and blank readers, and the fixed-capacity copy helper.
#include <gtest/gtest.h>

#include <string>

#include "documents/documents.h"

TEST(TextReaders, BlankSetIsExactlyTheFiveUnits) {
    for (char16_t c : {u'\t', u'\r', u' ', u'\u3000', u'\uFEFF'}) {
        EXPECT_TRUE(isBlank(c)) << static_cast<int>(c);
    }
    for (char16_t c : {u'\n', u'\u00A0', u'a', u'\0', u'\u2003'}) {
        EXPECT_FALSE(isBlank(c)) << static_cast<int>(c);
    }
}

TEST(TextReaders, TrimBlanksWorksInPlaceAndEmptiesAllBlankText) {
    std::u16string text = u"\u3000 key\t\r";
    char16_t* trimmed = trimBlanks(text.data());
    EXPECT_EQ(std::u16string(trimmed), u"key");
    EXPECT_GE(trimmed, text.data());
    std::u16string blanks = u" \t\u3000\uFEFF";
    EXPECT_EQ(std::u16string(trimBlanks(blanks.data())), u"");
}

TEST(TextReaders, ParseIntSignsBlanksAndFullWidthDigits) {
    EXPECT_EQ(parseInt(u" -12", 7), -12);
    EXPECT_EQ(parseInt(u"- 12", 7), 7);
    EXPECT_EQ(parseInt(u"+5", 7), 7);
    EXPECT_EQ(parseInt(u"-", 7), 7);
    EXPECT_EQ(parseInt(u"", 7), 7);
    EXPECT_EQ(parseInt(u"12abc", 7), 12);
    EXPECT_EQ(parseInt(u"１２３", 7), 123);
    EXPECT_EQ(parseInt(u"\u3000４２", 7), 42);
    EXPECT_EQ(digitValue(u'０'), 0);
    EXPECT_EQ(digitValue(u'９'), 9);
    EXPECT_EQ(digitValue(u'/'), -1);
    EXPECT_EQ(digitValue(u':'), -1);
}

TEST(TextReaders, ParseIntWrapsInThirtyTwoBitsWithoutTrapping) {
    // 4294967296 wraps to 0, 4294967297 to 1 (UBSan would flag signed overflow).
    EXPECT_EQ(parseInt(u"4294967297", 0), 1);
    EXPECT_EQ(parseInt(u"-2147483648", 0), INT32_MIN);
}

TEST(TextReaders, ParseSecondsMsFractions) {
    EXPECT_EQ(parseSecondsMs(u"1.5", -1), 1500);
    EXPECT_EQ(parseSecondsMs(u"2.0005", -1), 2000);
    EXPECT_EQ(parseSecondsMs(u"2.123456", -1), 2123);
    EXPECT_EQ(parseSecondsMs(u".5", -1), 500);
    EXPECT_EQ(parseSecondsMs(u"3", -1), 3000);
    EXPECT_EQ(parseSecondsMs(u"3.", -1), 3000);
    EXPECT_EQ(parseSecondsMs(u"0.25", -1), 250);
    EXPECT_EQ(parseSecondsMs(u"-1", -1), -1);
    EXPECT_EQ(parseSecondsMs(u".", -1), -1);
    EXPECT_EQ(parseSecondsMs(u"", -1), -1);
    EXPECT_EQ(parseSecondsMs(u" ２.５", -1), 2500);
}

TEST(TextReaders, ParseColorrefHexSwapsToBlueGreenRed) {
    EXPECT_EQ(parseColorrefHex(u"#FF0000", 1), 0x0000FFu);
    EXPECT_EQ(parseColorrefHex(u"102030", 1), 0x302010u);
    EXPECT_EQ(parseColorrefHex(u" # #\u3000ab12CD", 1), 0xCD12ABu);
    EXPECT_EQ(parseColorrefHex(u"abc", 1), 1u);
    EXPECT_EQ(parseColorrefHex(u"1234567", 1), 1u);
    EXPECT_EQ(parseColorrefHex(u"#", 1), 1u);
    EXPECT_EQ(parseColorrefHex(u"", 1), 1u);
    EXPECT_EQ(parseColorrefHex(u"123456 trailing", 1), 0x563412u);
}

TEST(TextCopy, CapacityMinusOneStoredWholeOneMoreCut) {
    char16_t field[8];
    EXPECT_EQ(copyText(field, u"1234567"), 7);
    EXPECT_EQ(std::u16string(field), u"1234567");
    EXPECT_EQ(copyText(field, u"12345678"), 7);
    EXPECT_EQ(std::u16string(field), u"1234567");
    EXPECT_EQ(copyText(field, nullptr), 0);
    EXPECT_EQ(field[0], 0);
    EXPECT_EQ(copyText(field, 0, u"x"), 0);  // no room at all: nothing written
    char16_t joined[6];
    copyText(joined, u"abc");
    EXPECT_EQ(appendText(joined, u"defgh"), 5);
    EXPECT_EQ(std::u16string(joined), u"abcde");
    char bytes[4];
    EXPECT_EQ(copyBytes(bytes, 4, "abcdef"), 3);
    EXPECT_STREQ(bytes, "abc");
}

TEST(TextCopy, ComparisonsAreExactOrAsciiCaseBlind) {
    EXPECT_TRUE(textEquals(u"end", u"end"));
    EXPECT_FALSE(textEquals(u"end", u"end "));
    EXPECT_FALSE(textEquals(u"End", u"end"));
    EXPECT_TRUE(textEqualsIgnoringAsciiCase(u"/KiOsK", u"/kiosk"));
    EXPECT_FALSE(textEqualsIgnoringAsciiCase(u"/kiosk2", u"/kiosk"));
}
