// The boards the render benchmarks time, shared by the Google Benchmark
// program of the host build and the hand-timed program of the Windows build.
#pragma once

#include <cstdint>

#include "render/render.h"
#include "serverlink/linkstate.h"

// The default 256 x 2 board with a train row and a text row.
inline void setDefaultBenchBoard() {
    resetToClassicDefaults(&currentDocument);
    copyText(currentDocument.labelJp, u"1番線");
    copyText(currentDocument.labelEn, u"Track 1");
    copyText(currentDocument.platform, u"1");
    copyText(currentDocument.capTime, u"発車時刻");
    copyText(currentDocument.capDest, u"行先");
    ClassicLine& train = currentDocument.lines[0];
    train.kind = LINE_TRAIN;
    train.blink = 1;
    copyText(train.time, u"12:34");
    copyText(train.text, u"各駅停車　東京方面");
    copyText(train.textEn, u"Local for Tokyo");
    ClassicLine& text = currentDocument.lines[1];
    text.kind = LINE_TEXT;
    text.centred = 1;
    copyText(text.text, u"{R}まもなく{G}電車が参ります");
    copyText(text.textEn, u"{R}The train{G} is arriving");
    serverOk = 1;
    settings.showUnlitDots = 1;
}

// A 512 x 5 board: three trains, a text row and a scroll row.
inline void setLargeBenchBoard() {
    setDefaultBenchBoard();
    currentDocument.width = 512;
    currentDocument.rows = 5;
    currentDocument.destX = 120;
    currentDocument.lines[2] = currentDocument.lines[0];
    currentDocument.lines[3] = currentDocument.lines[0];
    copyText(currentDocument.lines[3].time, u"12:51");
    currentDocument.lines[1].kind = LINE_TRAIN;
    copyText(currentDocument.lines[1].time, u"12:40");
    copyText(currentDocument.lines[1].text, u"快速　大宮方面");
    currentDocument.lines[2] = currentDocument.lines[1];
    currentDocument.lines[2].kind = LINE_TEXT;
    copyText(currentDocument.lines[2].text, u"{Y}黄色い線の内側までお下がりください");
    ClassicLine& scroll = currentDocument.lines[4];
    scroll.kind = LINE_SCROLL;
    copyText(scroll.text,
             u"{W}本日もご利用いただきありがとうございます。{G}Thank you for travelling with us.");
}
