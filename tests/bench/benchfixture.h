// The boards the render benchmarks time, shared by the Google Benchmark
// program of the host build and the hand-timed program of the Windows build.
#pragma once

#include <cstdint>

#include "render/render.h"
#include "serverlink/linkstate.h"

// The default 256 x 2 board with a train row and a text row.
inline void setDefaultBenchBoard() {
    resetToClassicDefaults(&gDocuments.currentDocument);
    copyText(gDocuments.currentDocument.labelJp, u"1番線");
    copyText(gDocuments.currentDocument.labelEn, u"Track 1");
    copyText(gDocuments.currentDocument.platform, u"1");
    copyText(gDocuments.currentDocument.capTime, u"発車時刻");
    copyText(gDocuments.currentDocument.capDest, u"行先");
    ClassicLine& train = gDocuments.currentDocument.lines[0];
    train.kind = LINE_TRAIN;
    train.blink = 1;
    copyText(train.time, u"12:34");
    copyText(train.text, u"各駅停車　東京方面");
    copyText(train.textEn, u"Local for Tokyo");
    ClassicLine& text = gDocuments.currentDocument.lines[1];
    text.kind = LINE_TEXT;
    text.centred = 1;
    copyText(text.text, u"{R}まもなく{G}電車が参ります");
    copyText(text.textEn, u"{R}The train{G} is arriving");
    gLink.serverOk = 1;
    gSettings.settings.showUnlitDots = 1;
}

// A 512 x 5 board: three trains, a text row and a scroll row.
inline void setLargeBenchBoard() {
    setDefaultBenchBoard();
    gDocuments.currentDocument.width = 512;
    gDocuments.currentDocument.rows = 5;
    gDocuments.currentDocument.destX = 120;
    gDocuments.currentDocument.lines[2] = gDocuments.currentDocument.lines[0];
    gDocuments.currentDocument.lines[3] = gDocuments.currentDocument.lines[0];
    copyText(gDocuments.currentDocument.lines[3].time, u"12:51");
    gDocuments.currentDocument.lines[1].kind = LINE_TRAIN;
    copyText(gDocuments.currentDocument.lines[1].time, u"12:40");
    copyText(gDocuments.currentDocument.lines[1].text, u"快速　大宮方面");
    gDocuments.currentDocument.lines[2] = gDocuments.currentDocument.lines[1];
    gDocuments.currentDocument.lines[2].kind = LINE_TEXT;
    copyText(gDocuments.currentDocument.lines[2].text, u"{Y}黄色い線の内側までお下がりください");
    ClassicLine& scroll = gDocuments.currentDocument.lines[4];
    scroll.kind = LINE_SCROLL;
    copyText(scroll.text,
             u"{W}本日もご利用いただきありがとうございます。{G}Thank you for travelling with us.");
}

// A classic board that never changes on its own: one train row without
// blinking and one centred text row, Japanese only (so the language phases
// show the same dots) and no scroll row.
inline void setStaticBenchBoard() {
    setDefaultBenchBoard();
    gDocuments.currentDocument.lines[0].blink = 0;
    gDocuments.currentDocument.lines[0].textEn[0] = 0;
    gDocuments.currentDocument.lines[1].textEn[0] = 0;
}

constexpr int32_t LARGE_DOCUMENT_BYTES = 65535;

// A display document of either format that fills a whole fetched body
// (the HTTP client keeps at most 65535 bytes): a real header, then its row
// lines repeated until the body is nearly full, then "end". Every line is
// read and decoded; rows beyond the model's capacity are dropped by the
// reader, as they are for a server that sends too many. Returns the length.
inline int32_t buildLargeDocument(unsigned char* out, int32_t capacity, bool newStyle) {
    const char* head = newStyle ? u8"velmorant-new 1\n"
                                  "platform=7\nside=right\n"
                                  u8"lineJp=中央線\nlineEn=Chuo Line\n"
                                  u8"viaJp=東京\nviaEn=Tokyo\ncolor=F15A22\nlangs=j,e\n"
                                : u8"velmorant 2\n"
                                  u8"platform=5\nlabelJp=5番線\nlabelEn=Track 5\n"
                                  u8"capTime=発車\ncapDest=行先\nwidth=512\nrows=5\n";
    const char* body =
        newStyle ? u8"row=text\tまもなく電車がまいります|A train is approaching\n"
                   u8"msg=approach\t接近|Approaching\t危ないですから黄色い線までお下がりください|"
                   u8"Please stand behind the yellow line\n"
                 : u8"line=train\t7:41\t{橙}特急{普} 成田空港\tLtd. Exp. Narita Airport\tO\t0\n"
                   u8"line=text\t{赤}まもなく{普}電車がまいります\t{R}A train is{G} approaching\tG\tc\n"
                   u8"line=scroll\t強風のため一部列車に遅れが出ています。ご迷惑をおかけしております。\tY\n";
    const char* tail = "end\n";
    int32_t length = 0;
    auto append = [&](const char* text) {
        int32_t n = 0;
        while (text[n] != 0) {
            ++n;
        }
        if (length + n > capacity) {
            return false;
        }
        for (int32_t i = 0; i < n; ++i) {
            out[length + i] = static_cast<unsigned char>(text[i]);
        }
        length += n;
        return true;
    };
    append(head);
    int32_t tailLength = 4;
    int32_t bodyLength = 0;
    while (body[bodyLength] != 0) {
        ++bodyLength;
    }
    while (length + bodyLength + tailLength <= capacity) {
        append(body);
    }
    append(tail);
    return length;
}

// A new-style sign with a train row and the position diagram (or, with
// scroll set, a scrolling message instead), parsed from its document like
// one from the server. Returns 0 if it was rejected.
inline int32_t setNewStyleBenchBoard(bool scroll = false) {
    static const char diagram[] =
        u8"velmorant-new 1\nplatform=3\nlineJp=山手線\nlineEn=Yamanote\nviaJp=渋谷・新宿\nviaEn=Shibuya\n"
        u8"color=80C241\nlangs=je\nrow=train\t12:34\t1\t-\t普通\u3000池袋|Local Ikebukuro\n"
        u8"msg=pos\t1\tJY20\tJY19\tJY18\t渋谷\t原宿\t代々木\nend\n";
    static const char scrolling[] =
        u8"velmorant-new 1\nplatform=3\nlineJp=山手線\nlineEn=Yamanote\nviaJp=渋谷・新宿\nviaEn=Shibuya\n"
        u8"color=80C241\nlangs=je\nrow=train\t12:34\t1\t-\t普通\u3000池袋|Local Ikebukuro\n"
        u8"msg=scroll\tG\t本日も山手線をご利用いただきましてありがとうございます。 Thank you for using the "
        u8"Yamanote Line.\nend\n";
    gLink.serverOk = 1;
    const char* body = scroll ? scrolling : diagram;
    const int32_t length = static_cast<int32_t>(scroll ? sizeof(scrolling) - 1 : sizeof(diagram) - 1);
    return parseDisplayDocument(reinterpret_cast<const unsigned char*>(body), length,
                                &gDocuments.currentDocument);
}
