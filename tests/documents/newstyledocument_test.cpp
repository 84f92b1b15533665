// New-style documents: their own keys, the "row" and "msg" lines and the
// six-language texts.
#include <gtest/gtest.h>

#include <string>

#include "documents/documents.h"
#include "testfiles.h"

namespace {

BoardDocument document;

int parse(const std::u16string& text) {
    const std::string bytes = utf8Of(text);
    return parseDisplayDocument(reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int32_t>(bytes.size()), &document);
}

int parseBody(const std::u16string& body) {
    return parse(u"velmorant-new 1\n" + body + u"end\n");
}

std::u16string str(const char16_t* text) {
    return std::u16string(text);
}

}  // namespace

TEST(NewStyleDocument, FormatLineDefaultsAndClassicKeysIgnored) {
    ASSERT_EQ(parseBody(u"width=100\nrows=4\nlabelJp=x\nline=scroll\tA\tR\ntimeColor=R\n"), 1);
    EXPECT_EQ(document.isNewStyle, 1);
    EXPECT_EQ(document.langMs, 4000);
    EXPECT_EQ(document.color, 0xF5B800u);
    EXPECT_EQ(document.side, u'L');
    EXPECT_EQ(document.scroll, 40);
    EXPECT_EQ(document.width, 256);
    EXPECT_EQ(document.rows, 2);
    EXPECT_EQ(document.timeX, 4);
    EXPECT_EQ(document.destX, 80);
    EXPECT_EQ(document.timeColor, 1);
    EXPECT_EQ(str(document.labelJp), u"");
    EXPECT_EQ(document.lines[0].kind, LINE_EMPTY);
}

TEST(NewStyleDocument, SideColourAndNumbers) {
    ASSERT_EQ(parseBody(u"side=right\n"), 1);
    EXPECT_EQ(document.side, u'R');
    ASSERT_EQ(parseBody(u"side=Right\n"), 1);
    EXPECT_EQ(document.side, u'L');
    ASSERT_EQ(parseBody(u"side=R\n"), 1);
    EXPECT_EQ(document.side, u'L');
    ASSERT_EQ(parseBody(u"color=#123456\n"), 1);
    EXPECT_EQ(document.color, 0xF5B800u);
    ASSERT_EQ(parseBody(u"color=12345\n"), 1);
    EXPECT_EQ(document.color, 0xF5B800u);
    ASSERT_EQ(parseBody(u"color=80C0FF12\n"), 1);
    EXPECT_EQ(document.color, 0x80C0FFu);
    ASSERT_EQ(parseBody(u"langMs=2500\nblinkMs=600\nscroll=90\nscroll=fast\nlangMs=\n"), 1);
    EXPECT_EQ(document.langMs, 4000);
    EXPECT_EQ(document.blinkMs, 600);
    EXPECT_EQ(document.scroll, 40);
    EXPECT_EQ(parseRgbHex(u"", 7u), 7u);
    EXPECT_EQ(parseRgbHex(u"00ff0g", 7u), 7u);
    EXPECT_EQ(parseRgbHex(u"00ff00", 7u), 0x00FF00u);
}

TEST(NewStyleDocument, HeaderTextsAndLangsAreCut) {
    ASSERT_EQ(parseBody(u"platform=12345678\nlineJp=" + std::u16string(20, u'線') +
                        u"\nviaJp=東京\nlangs=j,e,e,k\n"),
              1);
    EXPECT_EQ(str(document.platform), u"1234567");
    EXPECT_EQ(str(document.lineJp), std::u16string(11, u'線'));
    EXPECT_EQ(str(document.viaJp), u"東京");
    EXPECT_EQ(str(document.langs), u"j,e,e,k");
}

TEST(NewStyleDocument, RowTrainAndTextWithLanguages) {
    ASSERT_EQ(parseBody(u"row=train\t9:05\t1\tignored\t快速 東京|Rapid Tokyo|||\n"), 1);
    EXPECT_EQ(document.row.kind, ROW_TRAIN);
    EXPECT_EQ(str(document.row.time), u"9:05");
    EXPECT_EQ(document.row.blink, 1);
    EXPECT_EQ(str(document.row.trainTexts.text[0]), u"快速 東京");
    EXPECT_EQ(str(document.row.trainTexts.text[1]), u"Rapid Tokyo");
    EXPECT_EQ(str(langText(document.row.trainTexts, 3)), u"快速 東京");
    EXPECT_EQ(str(langText(document.row.trainTexts, 1)), u"Rapid Tokyo");

    ASSERT_EQ(parseBody(u"row=text\tご案内\n"), 1);
    EXPECT_EQ(document.row.kind, ROW_TEXT);
    for (int language = 0; language < LANGUAGE_COUNT; ++language) {
        EXPECT_EQ(str(langText(document.row.texts, language)), u"ご案内");
    }
    ASSERT_EQ(parseBody(u"row=text\t|English only\n"), 1);
    EXPECT_EQ(str(langText(document.row.texts, 0)), u"");
    EXPECT_EQ(str(langText(document.row.texts, 1)), u"English only");
    EXPECT_EQ(str(langText(document.row.texts, 2)), u"");
}

TEST(NewStyleDocument, TooFewFieldsKeepTheEarlierLine) {
    ASSERT_EQ(parseBody(u"row=text\tfirst\nrow=train\t1\t2\t3\n"), 1);
    EXPECT_EQ(document.row.kind, ROW_TEXT);
    EXPECT_EQ(str(document.row.texts.text[0]), u"first");
    ASSERT_EQ(parseBody(u"msg=frame\tframed\nmsg=pos\t1\ta\tb\tc\tA\tB\n"), 1);
    EXPECT_EQ(document.msg.kind, MSG_FRAME);
    ASSERT_EQ(parseBody(u"msg=frame\tframed\nmsg=unknown\tx\ty\n"), 1);
    EXPECT_EQ(document.msg.kind, MSG_FRAME);
}

TEST(NewStyleDocument, MessageKinds) {
    ASSERT_EQ(parseBody(u"msg=scroll\t赤\t" + std::u16string(1100, u's') + u"\n"), 1);
    EXPECT_EQ(document.msg.kind, MSG_SCROLL);
    EXPECT_EQ(document.msg.scrollColor, COLOR_RED);
    EXPECT_EQ(textLength(document.msg.scrollText), 1023);

    ASSERT_EQ(parseBody(u"msg=approach\t接近|Approaching\t電車がまいります|A train is approaching\n"), 1);
    EXPECT_EQ(document.msg.kind, MSG_APPROACH);
    EXPECT_EQ(str(document.msg.texts.text[0]), u"接近");
    EXPECT_EQ(str(document.msg.texts2.text[1]), u"A train is approaching");

    ASSERT_EQ(parseBody(u"msg=pos\t3\tA01\tA02\tA03long\t東京|Tokyo\t神田\t秋葉原\n"), 1);
    EXPECT_EQ(document.msg.kind, MSG_POS);
    EXPECT_EQ(document.msg.position, 3);
    EXPECT_EQ(str(document.msg.stationLabels[2]), u"A03long");
    EXPECT_EQ(str(document.msg.stationNames[0].text[1]), u"Tokyo");
    EXPECT_EQ(str(document.msg.stationNames[2].text[0]), u"秋葉原");

    ASSERT_EQ(parseBody(u"msg=train\t10:00\tx\tFIELD4\t普通|Local\n"), 1);
    EXPECT_EQ(document.msg.kind, MSG_TRAIN);
    EXPECT_EQ(document.msg.blink, 0);
    EXPECT_EQ(str(document.msg.texts.text[0]), u"普通");
    EXPECT_EQ(str(document.msg.texts.text[1]), u"Local");
}

TEST(NewStyleDocument, SeventhLanguageTextIsDroppedAndSlotsAreCut) {
    std::u16string text = u"1|2|3|4|5|6|7|8";
    LangTexts texts;
    parseLangTexts(text.data(), &texts);
    EXPECT_EQ(str(texts.text[5]), u"6");
    std::u16string longText = std::u16string(70, u'a') + u"|b";
    parseLangTexts(longText.data(), &texts);
    EXPECT_EQ(textLength(texts.text[0]), 63);
    EXPECT_EQ(str(texts.text[1]), u"b");
    EXPECT_EQ(str(texts.text[2]), u"");  // earlier contents emptied
}

TEST(NewStyleDocument, SoundAndEndAreShared) {
    ASSERT_EQ(parseBody(u"sound=melody/a.mp3\tev1\t2\t100\nscroll=0\n"), 1);
    EXPECT_EQ(str(document.melodyName), u"melody/a.mp3");
    EXPECT_EQ(document.melodySize, 100);
    EXPECT_EQ(document.scroll, 1);  // the end checks apply to both formats
    EXPECT_EQ(parse(u"velmorant-new 1\nrow=text\tx\n"), 0);
}
