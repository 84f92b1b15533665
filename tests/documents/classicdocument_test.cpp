// The document reader on classic documents, and what it shares with the
// new-style format: the format line, "sound", "end" and its checks.
#include <gtest/gtest.h>

#include <string>

#include "documents/documents.h"
#include "testfiles.h"

namespace {

BoardDocument document;

int parse(const std::string& bytes) {
    return parseDisplayDocument(reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int32_t>(bytes.size()), &document);
}

int parse(const std::u16string& text) {
    return parse(utf8Of(text));
}

std::u16string str(const char16_t* text) {
    return std::u16string(text);
}

}  // namespace

TEST(ClassicDocument, FormatLineAndEndDecideAcceptance) {
    EXPECT_EQ(parse(u"velmorant 2\nwidth=300\nend\n"), 1);
    EXPECT_EQ(document.width, 300);
    EXPECT_EQ(document.destX, 80);
    EXPECT_EQ(parse(u"velmorant 2\nwidth=300\n"), 0);
    EXPECT_EQ(parse(u"velmorant 2\nend \n"), 0);   // "end" with a blank does not close
    EXPECT_EQ(parse(u"\nvelmorant 2\nend\n"), 0);  // leading blank line
    EXPECT_EQ(parse(u"velmorant 2 \nend\n"), 0);   // trailing blank on the format line
    EXPECT_EQ(parse(u"velmorant 3\nend\n"), 0);
    EXPECT_EQ(parse(u"velmorant 2\r\nend"), 1);  // no final LF needed
    EXPECT_EQ(parseDisplayDocument(nullptr, 0, &document), 0);
}

TEST(ClassicDocument, CrLfDefaultsAndTextAfterEnd) {
    EXPECT_EQ(parse(u"velmorant 2\r\nend\r\nwidth=100\n"), 1);
    EXPECT_EQ(document.width, 256);
    EXPECT_EQ(document.rows, 2);
    EXPECT_EQ(document.timeX, 4);
    EXPECT_EQ(document.destX, 80);
    EXPECT_EQ(document.jpMs, 7000);
    EXPECT_EQ(document.enMs, 3000);
    EXPECT_EQ(document.blinkMs, 1000);
    EXPECT_EQ(document.scroll, 48);
    EXPECT_EQ(document.timeColor, 1);
    EXPECT_EQ(document.isNewStyle, 0);
    EXPECT_EQ(document.side, 0);
    EXPECT_EQ(document.color, 0u);
    EXPECT_EQ(document.langMs, 0);
    // Only one CR before the LF is removed; a second one stays in the value.
    ASSERT_EQ(parse(u"velmorant 2\r\nplatform=3\r\r\nend\r\n"), 1);
    EXPECT_EQ(str(document.platform), u"3\r");
}

TEST(ClassicDocument, ZeroByteEndsTheText) {
    const std::string body = std::string("velmorant 2\nplatform=1\n") + '\0' + "end\n";
    EXPECT_EQ(parse(body), 0);
    EXPECT_EQ(parse(std::string("\0velmorant 2\nend\n", 17)), 0);
    const std::string after = std::string("velmorant 2\nend\n") + '\0' + "garbage";
    EXPECT_EQ(parse(after), 1);
}

TEST(ClassicDocument, MalformedUtf8BecomesReplacementNotRejection) {
    const std::string body =
        "velmorant 2\nlabelJp=A\xFF"
        "B\xE3\x81"
        "C\nend\n";
    ASSERT_EQ(parse(body), 1);
    EXPECT_EQ(str(document.labelJp), u"A\uFFFDB\uFFFDC");
    char16_t out[8];
    const unsigned char surrogate[] = {0xED, 0xA0, 0x80, 'x'};
    EXPECT_EQ(decodeUtf8(surrogate, 4, out, 8), 2);
    EXPECT_EQ(out[0], 0xFFFD);
    const unsigned char emoji[] = {0xF0, 0x9F, 0x9A, 0x83};
    EXPECT_EQ(decodeUtf8(emoji, 4, out, 8), 2);
    EXPECT_EQ(out[0], 0xD83D);
    EXPECT_EQ(out[1], 0xDE83);
    EXPECT_EQ(decodeUtf8(emoji, 4, out, 2), 0);  // a pair is never split
}

TEST(ClassicDocument, EndChecksClampInOrder) {
    ASSERT_EQ(parse(u"velmorant 2\ntimeX=200\nend\n"), 1);
    EXPECT_EQ(document.timeX, 200);
    EXPECT_EQ(document.destX, 85);
    ASSERT_EQ(parse(u"velmorant 2\nwidth=40\nend\n"), 1);
    EXPECT_EQ(document.width, 64);
    EXPECT_EQ(document.destX, 21);  // the rule runs on the clamped width
    ASSERT_EQ(parse(u"velmorant 2\nwidth=9999\ndestX=600\nend\n"), 1);
    EXPECT_EQ(document.width, 512);
    EXPECT_EQ(document.destX, 170);
    ASSERT_EQ(parse(u"velmorant 2\nrows=0\nscroll=-5\ntimeColor=x\nend\n"), 1);
    EXPECT_EQ(document.rows, 1);
    EXPECT_EQ(document.scroll, 1);
    EXPECT_EQ(document.timeColor, 1);
    ASSERT_EQ(parse(u"velmorant 2\nrows=9\njpMs=-4\nend\n"), 1);
    EXPECT_EQ(document.rows, 5);
    EXPECT_EQ(document.jpMs, -4);
}

TEST(ClassicDocument, NumberlessValueTakesTheColumnDefaultNotThePreviousValue) {
    ASSERT_EQ(parse(u"velmorant 2\nwidth=300\nwidth=abc\nend\n"), 1);
    EXPECT_EQ(document.width, 256);
    ASSERT_EQ(parse(u"velmorant 2\nwidth= 300\nend\n"), 1);
    EXPECT_EQ(document.width, 300);
    ASSERT_EQ(parse(u"velmorant 2\nwidth =300\nend\n"), 1);  // key "width " is unknown
    EXPECT_EQ(document.width, 256);
    ASSERT_EQ(parse(u"velmorant 2\nblinkMs=500\nblinkMs=\nscroll=7\nscroll=-\nend\n"), 1);
    EXPECT_EQ(document.blinkMs, 1000);
    EXPECT_EQ(document.scroll, 48);
    ASSERT_EQ(parse(u"velmorant 2\nwidth=３００\nend\n"), 1);
    EXPECT_EQ(document.width, 300);
}

TEST(ClassicDocument, TextFieldsAreCutToCapacity) {
    const std::u16string exact(63, u'駅');
    ASSERT_EQ(parse(u"velmorant 2\nlabelJp=" + exact + u"\nplatform=1234567\ncapTime=" +
                    std::u16string(40, u'x') + u"\nend\n"),
              1);
    EXPECT_EQ(str(document.labelJp), exact);
    EXPECT_EQ(str(document.platform), u"1234567");
    EXPECT_EQ(str(document.capTime), std::u16string(31, u'x'));
    ASSERT_EQ(parse(u"velmorant 2\nlabelJp=" + exact + u"X\nplatform=12345678\nlabelEn=" +
                    std::u16string(200, u'e') + u"\nend\n"),
              1);
    EXPECT_EQ(str(document.labelJp), exact);
    EXPECT_EQ(str(document.platform), u"1234567");
    EXPECT_EQ(str(document.labelEn), std::u16string(95, u'e'));
}

TEST(ClassicDocument, LineKindsAndFields) {
    ASSERT_EQ(parse(u"velmorant 2\n"
                    u"line=train\t12:34\t東京\tTokyo\tR\t1\n"
                    u"line=text\t本日は\tToday\t\tleft\n"
                    u"line=scroll\tお知らせ\t黄色\n"
                    u"line=text\tA\tB\tG\t\n"
                    u"line=train\t123456789\t" +
                    std::u16string(600, u'd') +
                    u"\t\t\t257\textra\n"
                    u"end\n"),
              1);
    const ClassicLine* lines = document.lines;
    EXPECT_EQ(lines[0].kind, LINE_TRAIN);
    EXPECT_EQ(str(lines[0].time), u"12:34");
    EXPECT_EQ(str(lines[0].text), u"東京");
    EXPECT_EQ(str(lines[0].textEn), u"Tokyo");
    EXPECT_EQ(lines[0].color, COLOR_RED);
    EXPECT_EQ(lines[0].blink, 1);
    EXPECT_EQ(lines[1].kind, LINE_TEXT);
    EXPECT_EQ(lines[1].color, COLOR_NONE);
    EXPECT_EQ(lines[1].centred, 0);
    EXPECT_EQ(lines[2].kind, LINE_SCROLL);
    EXPECT_EQ(lines[2].color, COLOR_YELLOW);
    EXPECT_EQ(lines[3].centred, 1);  // empty alignment: centred
    EXPECT_EQ(lines[3].color, COLOR_GREEN);
    EXPECT_EQ(str(lines[4].time), u"1234567");
    EXPECT_EQ(textLength(lines[4].text), 511);
    EXPECT_EQ(lines[4].blink, 1);  // 257: low 8 bits
}

TEST(ClassicDocument, RejectedLineStillTakesItsRowAndSixthLineIsIgnored) {
    ASSERT_EQ(parse(u"velmorant 2\n"
                    u"line=text\tonly\ttwo\tG\n"  // 4 fields: row 0 stays empty
                    u"line=train\t1\t2\t3\t4\n"   // 5 fields: row 1 empty
                    u"line=bogus\n"               // row 2 empty
                    u"line=scroll\tthird\n"       // 2 fields: row 3 empty
                    u"line=scroll\tfifth\tR\n"    // row 4
                    u"line=scroll\tsixth\tG\n"    // ignored
                    u"end\n"),
              1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(document.lines[i].kind, LINE_EMPTY) << i;
    }
    EXPECT_EQ(document.lines[4].kind, LINE_SCROLL);
    EXPECT_EQ(str(document.lines[4].text), u"fifth");
}

TEST(ClassicDocument, ColourLettersAndKanji) {
    EXPECT_EQ(parseColorCode(u"赤色"), COLOR_RED);
    EXPECT_EQ(parseColorCode(u"g"), COLOR_GREEN);
    EXPECT_EQ(parseColorCode(u"橙"), COLOR_ORANGE);
    EXPECT_EQ(parseColorCode(u"白"), COLOR_WHITE);
    EXPECT_EQ(parseColorCode(u"c"), COLOR_LIGHT_BLUE);
    EXPECT_EQ(parseColorCode(u"水"), COLOR_LIGHT_BLUE);
    EXPECT_EQ(parseColorCode(u"桃"), COLOR_PINK);
    EXPECT_EQ(parseColorCode(u" R"), COLOR_NONE);
    EXPECT_EQ(parseColorCode(u""), COLOR_NONE);
    ASSERT_EQ(parse(u"velmorant 2\ntimeColor=赤い\nend\n"), 1);
    EXPECT_EQ(document.timeColor, COLOR_RED);
}

TEST(ClassicDocument, SoundFieldCounts) {
    ASSERT_EQ(parse(u"velmorant 2\nsound=a.mp3\tkey1\nend\n"), 1);
    EXPECT_EQ(str(document.melodyName), u"");
    EXPECT_EQ(document.melodyAge, 0);
    ASSERT_EQ(parse(u"velmorant 2\nsound=a.mp3\tkey1\t5\nend\n"), 1);
    EXPECT_EQ(str(document.melodyName), u"a.mp3");
    EXPECT_EQ(str(document.melodyKey), u"key1");
    EXPECT_EQ(document.melodyAge, 5);
    EXPECT_EQ(document.melodySize, 0);
    ASSERT_EQ(parse(u"velmorant 2\nsound=x.wav\tk\t3\t1234\nsound=b.wav\tk2\t\nend\n"), 1);
    EXPECT_EQ(str(document.melodyName), u"b.wav");
    EXPECT_EQ(document.melodyAge, 999);    // no number in the age field
    EXPECT_EQ(document.melodySize, 1234);  // kept from the earlier line
    ASSERT_EQ(parse(u"velmorant 2\nsound=a\tb\tc\tnone\nsound=\nend\n"), 1);
    EXPECT_EQ(document.melodySize, 0);
    EXPECT_EQ(str(document.melodyName), u"a");
}

TEST(ClassicDocument, SplitTabsKeepsFurtherTabsInTheLastField) {
    std::u16string value = u"a\tb\tc\td";
    char16_t* fields[3];
    ASSERT_EQ(splitTabs(value.data(), 3, fields), 3);
    EXPECT_EQ(str(fields[2]), u"c\td");
    std::u16string empty;
    empty.push_back(0);
    EXPECT_EQ(splitTabs(empty.data(), 8, fields), 1);
    EXPECT_EQ(str(fields[0]), u"");
}

TEST(ClassicDocument, LargestBodyIsReadWhole) {
    std::string body = "velmorant 2\nlabelJp=x\n";
    while (body.size() < 65535 - 4) {
        body += "c\n";
    }
    body.resize(65535 - 4, ';');
    body += "\nend";
    ASSERT_EQ(body.size(), 65535u);
    EXPECT_EQ(parse(body), 1);
}
