// Which melody event is heard, and how: a new event key with an age of ten
// or less plays the cached melody once; an older new key only counts as
// heard; a document without a melody closes the one that played. The played
// file is a copy in the cache directory (~play.wav or ~play.mp3), so the
// fetch worker can replace the cached file while it plays; an MP3 copy loses
// its leading ID3v2 tag, which some decoders choke on.
#include "serverlink/melody.h"

#include "platform/platform.h"
#include "serverlink/serverlink.h"

void melodyStop() {
    if (gMelody.melodyCurrentKey[0] != 0) {
        mciCommand(u"close cordavine");
    }
    gMelody.melodyCurrentKey[0] = 0;
}

void melodyFollowDocument(const BoardDocument& document) {
    if (document.melodyName[0] != 0) {
        if (!textEquals(document.melodyKey, gMelody.melodyCurrentKey)) {
            if (document.melodyAge > MELODY_MAX_AGE) {
                copyText(gMelody.melodyCurrentKey, document.melodyKey);
            } else {
                melodyPlay(document.melodyName, document.melodyKey);
            }
        }
    } else if (gMelody.melodyCurrentKey[0] != 0) {
        melodyStop();
    }
}

static bool endsWithWav(const char16_t* name) {
    const int32_t length = textLength(name);
    if (length <= 4) {
        return false;
    }
    const char16_t* tail = name + length - 4;
    return textEqualsIgnoringAsciiCase(tail, u".wav");
}

void melodyPlay(const char16_t* name, const char16_t* key) {
    melodyStop();
    copyText(gMelody.melodyCurrentKey, key);
    if (!gSettings.settings.melodyEnabled || !melodyNameIsValid(name)) {
        return;
    }
    char16_t localPath[PATH_CAPACITY];
    if (!melodyLocalPath(localPath, PATH_CAPACITY, name)) {
        return;
    }
    FileInfo info;
    if (!queryFileInfo(localPath, &info) || info.isDirectory) {
        return;
    }
    const bool isWav = endsWithWav(name);
    char16_t copyPath[PATH_CAPACITY];
    copyText(copyPath, gMelody.melodyBaseDir);
    appendText(copyPath, u"sounds");
    const char16_t separator[2] = {PATH_SEPARATOR, 0};
    appendText(copyPath, separator);
    appendText(copyPath, isWav ? u"~play.wav" : u"~play.mp3");
    // A cut copy path would name another file: play the cached one then.
    const bool copyPathFits = textLength(copyPath) < PATH_CAPACITY - 1;
    const char16_t* playPath = localPath;
    if (copyPathFits && copyForPlayback(localPath, copyPath, !isWav)) {
        playPath = copyPath;
    }
    char16_t shortPath[PATH_CAPACITY];
    if (shortPathOf(playPath, shortPath, PATH_CAPACITY)) {
        playPath = shortPath;
    }
    char16_t command[PATH_CAPACITY + 64];
    copyText(command, u"open \"");
    appendText(command, playPath);
    appendText(command, isWav ? u"\" type waveaudio alias cordavine" : u"\" type mpegvideo alias cordavine");
    if (mciCommand(command) == 0) {
        mciCommand(u"play cordavine");
    }
}

uint32_t id3v2TagLength(const unsigned char* data, uint32_t count) {
    if (count <= 10 || data[0] != 'I' || data[1] != 'D' || data[2] != '3') {
        return 0;
    }
    uint32_t length = (static_cast<uint32_t>(data[6] & 0x7F) << 21) |
                      (static_cast<uint32_t>(data[7] & 0x7F) << 14) |
                      (static_cast<uint32_t>(data[8] & 0x7F) << 7) | static_cast<uint32_t>(data[9] & 0x7F);
    length += 10;
    if (data[5] & 0x10) {
        length += 10;  // footer
    }
    return length < count ? length : 0;
}

bool copyForPlayback(const char16_t* source, const char16_t* target, bool skipId3) {
    uint32_t count = 0;
    unsigned char* data = readWholeFile(source, MELODY_COPY_LIMIT - 1, &count);
    if (data == nullptr) {
        return false;
    }
    const uint32_t skip = skipId3 ? id3v2TagLength(data, count) : 0;
    bool ok = false;
    OutFile* file = openFileForWrite(target);
    if (file != nullptr) {
        const uint32_t rest = count - skip;
        const int32_t written = rest > 0 ? writeToFile(file, data + skip, rest) : 0;
        ok = written == static_cast<int32_t>(rest);
        ok = closeWrittenFile(file) == 1 && ok;
    }
    heapFree(data);
    return ok;
}
