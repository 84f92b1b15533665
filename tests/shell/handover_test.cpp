// The main thread's hand-over: what a new document rebuilds, and how the
// melody follows the documents (recorded MCI command strings).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "documents/documents.h"
#include "platform/platform.h"
#include "recording.h"
#include "render/render.h"
#include "serverlink/linkstate.h"
#include "serverlink/melody.h"
#include "serverlink/serverlink.h"
#include "shell/shell.h"
#include "testfiles.h"

namespace {

class HandOver : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        lockInit(&gLink.handoverLock);
    }

    void SetUp() override {
        clearRecordings();
        melodyStop();
        recordedMciCommands.clear();
        resetToClassicDefaults(&gDocuments.currentDocument);
        std::memset(&gDocuments.previousDocument, 0, sizeof(gDocuments.previousDocument));
        gLink.handoverPending = 0;
        gSettings.settings.melodyEnabled = 1;
        directory = makeScratchDirectory("handover");
        copyText(gMelody.melodyBaseDir, (directory + std::u16string(1, PATH_SEPARATOR)).c_str());
        createDirectoryAt(joinPath(directory, u"sounds").c_str());
    }

    // Hands a document over as the worker would and takes it.
    void handOver(const BoardDocument& document) {
        lockEnter(&gLink.handoverLock);
        std::memcpy(&gDocuments.handoverDocument, &document, sizeof(document));
        gLink.handoverPending = 1;
        lockLeave(&gLink.handoverLock);
        std::memset(gRender.presentedFrame.dots, 0, sizeof(gRender.presentedFrame.dots));
        takeHandedOverDocument();
    }

    bool frameInvalidated() const {
        return gRender.presentedFrame.dots[0] == DOT_FORCE_REPAINT;
    }

    BoardDocument classic() const {
        BoardDocument document;
        resetToClassicDefaults(&document);
        return document;
    }

    void cacheMelody(const char16_t* name, const std::string& bytes) {
        char16_t path[PATH_CAPACITY];
        ASSERT_EQ(melodyLocalPath(path, PATH_CAPACITY, name), 1);
        ASSERT_TRUE(writeFileBytes(path, bytes));
    }

    std::u16string directory;
};

}  // namespace

TEST_F(HandOver, NothingPendingDoesNothing) {
    takeHandedOverDocument();
    EXPECT_EQ(recordedRelayouts, 0);
    EXPECT_EQ(recordedTitleUpdates, 0);
    EXPECT_EQ(gDocuments.previousDocument.width, 0);
}

TEST_F(HandOver, GeometryRelaysOutHeaderForcesRepaintOtherFieldsNeither) {
    BoardDocument document = classic();
    copyText(document.lines[0].text, u"changed text only");
    handOver(document);
    EXPECT_EQ(recordedRelayouts, 0);
    EXPECT_EQ(recordedTitleUpdates, 0);
    EXPECT_FALSE(frameInvalidated());
    EXPECT_EQ(gDocuments.previousDocument.lines[0].text[0], 0);  // the one shown before

    document.destX = 90;
    handOver(document);
    EXPECT_EQ(recordedRelayouts, 1);
    EXPECT_EQ(recordedTitleUpdates, 1);
    EXPECT_TRUE(frameInvalidated());

    copyText(document.labelEn, u"Track 1");
    handOver(document);
    EXPECT_EQ(recordedRelayouts, 1);
    EXPECT_EQ(recordedTitleUpdates, 2);
    EXPECT_TRUE(frameInvalidated());

    BoardDocument newStyle = document;
    newStyle.isNewStyle = 1;
    handOver(newStyle);
    EXPECT_EQ(recordedRelayouts, 1);
    EXPECT_EQ(recordedTitleUpdates, 3);
}

TEST_F(HandOver, NewestOfTwoHandOversWinsAndIsComparedWithTheShownOne) {
    BoardDocument first = classic();
    copyText(first.labelJp, u"first");
    BoardDocument second = classic();
    copyText(second.labelJp, u"second");
    lockEnter(&gLink.handoverLock);
    std::memcpy(&gDocuments.handoverDocument, &first, sizeof(first));
    std::memcpy(&gDocuments.handoverDocument, &second, sizeof(second));
    gLink.handoverPending = 1;
    lockLeave(&gLink.handoverLock);
    takeHandedOverDocument();
    EXPECT_EQ(std::u16string(gDocuments.currentDocument.labelJp), u"second");
    EXPECT_EQ(std::u16string(gDocuments.previousDocument.labelJp), u"");
    takeHandedOverDocument();  // a surplus message changes nothing
    EXPECT_EQ(std::u16string(gDocuments.previousDocument.labelJp), u"");
}

TEST_F(HandOver, MelodyStartsOncePerKeyOldEventsOnlyRecorded) {
    cacheMelody(u"bell.wav", "RIFF....WAVEfmt ");
    BoardDocument document = classic();
    copyText(document.melodyName, u"bell.wav");
    copyText(document.melodyKey, u"k1");
    document.melodyAge = 3;
    handOver(document);
    ASSERT_EQ(recordedMciCommands.size(), 2u);
    EXPECT_EQ(recordedMciCommands[0].rfind(u"open \"", 0), 0u);
    EXPECT_NE(recordedMciCommands[0].find(u"~play.wav\" type waveaudio alias cordavine"),
              std::u16string::npos);
    EXPECT_EQ(recordedMciCommands[1], u"play cordavine");
    handOver(document);
    handOver(document);
    EXPECT_EQ(recordedMciCommands.size(), 2u);

    // A new key with age 11 is only marked heard: the melody goes on.
    copyText(document.melodyKey, u"k2");
    document.melodyAge = 11;
    handOver(document);
    EXPECT_EQ(recordedMciCommands.size(), 2u);
    EXPECT_EQ(std::u16string(gMelody.melodyCurrentKey), u"k2");
    document.melodyAge = 0;
    handOver(document);  // same key, now young: still nothing
    EXPECT_EQ(recordedMciCommands.size(), 2u);

    // A document without a melody closes the device.
    BoardDocument silent = classic();
    handOver(silent);
    ASSERT_EQ(recordedMciCommands.size(), 3u);
    EXPECT_EQ(recordedMciCommands[2], u"close cordavine");
    EXPECT_EQ(gMelody.melodyCurrentKey[0], 0);
    handOver(silent);
    EXPECT_EQ(recordedMciCommands.size(), 3u);
}

TEST_F(HandOver, NewYoungKeyReplacesThePlayingMelody) {
    cacheMelody(u"a.mp3", "ID3");
    BoardDocument document = classic();
    copyText(document.melodyName, u"a.mp3");
    copyText(document.melodyKey, u"k1");
    handOver(document);
    copyText(document.melodyKey, u"k2");
    handOver(document);
    ASSERT_EQ(recordedMciCommands.size(), 5u);
    EXPECT_EQ(recordedMciCommands[2], u"close cordavine");
    EXPECT_NE(recordedMciCommands[3].find(u"~play.mp3\" type mpegvideo alias cordavine"),
              std::u16string::npos);
}

TEST_F(HandOver, MelodyOffMissingFileOrFailedOpenPlayNothingButMarkTheKey) {
    BoardDocument document = classic();
    copyText(document.melodyName, u"missing.wav");
    copyText(document.melodyKey, u"k1");
    handOver(document);
    EXPECT_TRUE(recordedMciCommands.empty());
    EXPECT_EQ(std::u16string(gMelody.melodyCurrentKey), u"k1");

    cacheMelody(u"there.wav", "RIFF");
    gSettings.settings.melodyEnabled = 0;
    copyText(document.melodyName, u"there.wav");
    copyText(document.melodyKey, u"k2");
    handOver(document);
    EXPECT_EQ(recordedMciCommands.size(), 1u);  // only the close of k1's device
    gSettings.settings.melodyEnabled = 1;

    mciOpenResult = 263;  // the device cannot open the file
    copyText(document.melodyKey, u"k3");
    handOver(document);
    ASSERT_FALSE(recordedMciCommands.empty());
    EXPECT_EQ(recordedMciCommands.back().rfind(u"open ", 0), 0u);  // no play after a failed open
    EXPECT_EQ(std::u16string(gMelody.melodyCurrentKey), u"k3");

    // An empty key equals the empty current key: nothing starts.
    melodyStop();
    recordedMciCommands.clear();
    document.melodyKey[0] = 0;
    handOver(document);
    EXPECT_TRUE(recordedMciCommands.empty());
}

TEST(PlaybackCopy, Id3v2TagIsSkippedOnlyWhenItEndsInsideTheFile) {
    std::string tagged = "ID3";
    tagged += std::string("\x04\x00\x00", 3);
    tagged += std::string("\x00\x00\x1F\x76", 4);  // 28-bit size 4086: a 4096-byte tag
    tagged.resize(4096, 't');
    tagged += "MPEG-AUDIO";
    EXPECT_EQ(id3v2TagLength(reinterpret_cast<const unsigned char*>(tagged.data()),
                             static_cast<uint32_t>(tagged.size())),
              4096u);
    std::string footer = tagged;
    footer[5] = 0x10;
    EXPECT_EQ(id3v2TagLength(reinterpret_cast<const unsigned char*>(footer.data()),
                             static_cast<uint32_t>(footer.size())),
              0u);  // 4106 bytes reach past the 4106-byte file: kept whole
    footer += "more audio";
    EXPECT_EQ(id3v2TagLength(reinterpret_cast<const unsigned char*>(footer.data()),
                             static_cast<uint32_t>(footer.size())),
              4106u);
    const std::string tooLong = std::string("ID3\x04\x00\x00\x7F\x7F\x7F\x7F", 10) + "x";
    EXPECT_EQ(id3v2TagLength(reinterpret_cast<const unsigned char*>(tooLong.data()),
                             static_cast<uint32_t>(tooLong.size())),
              0u);

    const std::u16string directory = makeScratchDirectory("playcopy");
    const std::u16string source = joinPath(directory, u"in.mp3");
    const std::u16string target = joinPath(directory, u"out.mp3");
    ASSERT_TRUE(writeFileBytes(source, tagged));
    ASSERT_TRUE(copyForPlayback(source.c_str(), target.c_str(), true));
    uint32_t size = 0;
    unsigned char* copied = readWholeFile(target.c_str(), 1 << 20, &size);
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copied), size), "MPEG-AUDIO");
    heapFree(copied);
    // A WAV copy keeps everything, even an ID3 identifier.
    ASSERT_TRUE(copyForPlayback(source.c_str(), target.c_str(), false));
    copied = readWholeFile(target.c_str(), 1 << 20, &size);
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(size, tagged.size());
    heapFree(copied);
    EXPECT_FALSE(copyForPlayback(joinPath(directory, u"none.mp3").c_str(), target.c_str(), true));
}
