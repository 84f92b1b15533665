// The melody cache: the directory "sounds" under gMelody.melodyBaseDir holds the
// melody files that documents name. A download lands in "<name>.part" and
// replaces the cached file by a rename only when it completed, keeping the
// replaced file as "<name>.old"; so playback on the main thread always sees a
// whole file. One failed download (name and size) is remembered so that a
// missing file is not requested in every cycle.
#include "documents/documents.h"
#include "platform/platform.h"
#include "serverlink/serverlink.h"

MelodyState gMelody;

// Names in documents always use "/"; the local path uses PATH_SEPARATOR.

// The longest suffix a cache path ever gets.
static constexpr int32_t LONGEST_SUFFIX = 5;  // ".part"

int32_t melodyLocalPath(char16_t* out, int32_t capacity, const char16_t* name) {
    if (out == nullptr || capacity <= 0) {
        return 0;
    }
    out[0] = 0;
    if (name == nullptr) {
        return 0;
    }
    const int32_t baseLength = textLength(gMelody.melodyBaseDir);
    const int32_t nameLength = textLength(name);
    // "sounds", a separator, the name, the longest suffix and the terminator
    // must all fit, or the name is refused.
    const int32_t needed = baseLength + 7 + nameLength + LONGEST_SUFFIX + 1;
    if (needed > capacity || needed > PATH_CAPACITY) {
        return 0;
    }
    copyText(out, capacity, gMelody.melodyBaseDir);
    appendText(out, capacity, u"sounds");
    const char16_t separator[2] = {PATH_SEPARATOR, 0};
    appendText(out, capacity, separator);
    const int32_t nameStart = textLength(out);
    appendText(out, capacity, name);
    for (int32_t i = nameStart; out[i] != 0; ++i) {
        if (out[i] == u'/') {
            out[i] = PATH_SEPARATOR;
        }
    }
    return 1;
}

static void rememberFailure(const char16_t* name, int32_t expectedSize) {
    copyText(gMelody.melodyFailedName, name);
    gMelody.melodyFailedSize = expectedSize;
}

void melodyEnsure(const char16_t* name, int32_t expectedSize) {
    if (!melodyNameIsValid(name)) {
        return;
    }
    char16_t localPath[PATH_CAPACITY];
    if (!melodyLocalPath(localPath, PATH_CAPACITY, name)) {
        return;
    }
    FileInfo info;
    if (queryFileInfo(localPath, &info) &&
        (expectedSize <= 0 || static_cast<uint32_t>(info.size) == static_cast<uint32_t>(expectedSize))) {
        return;  // the cached file is current
    }
    if (expectedSize == gMelody.melodyFailedSize && textEquals(name, gMelody.melodyFailedName)) {
        return;  // this very download failed last time
    }

    char16_t directory[PATH_CAPACITY];
    copyText(directory, gMelody.melodyBaseDir);
    appendText(directory, u"sounds");
    createDirectoryAt(directory);
    // Only the one level that holds the file: the cache directory again, or
    // the melody's sub-directory.
    copyText(directory, localPath);
    int32_t lastSeparator = -1;
    for (int32_t i = 0; directory[i] != 0; ++i) {
        if (directory[i] == PATH_SEPARATOR) {
            lastSeparator = i;
        }
    }
    if (lastSeparator >= 0) {
        directory[lastSeparator] = 0;
        createDirectoryAt(directory);
    }

    // melodyLocalPath left room for the longest suffix, so these never cut.
    char16_t partPath[PATH_CAPACITY];
    copyText(partPath, localPath);
    appendText(partPath, u".part");
    char16_t oldPath[PATH_CAPACITY];
    copyText(oldPath, localPath);
    appendText(oldPath, u".old");

    OutFile* part = openFileForWrite(partPath);
    if (part == nullptr) {
        return;  // nothing remembered: the next cycle tries again
    }
    char requestPath[SOUND_PATH_CAPACITY];
    soundRequestPath(requestPath, SOUND_PATH_CAPACITY, name);
    const int32_t received = httpGet(requestPath, nullptr, 0, part);
    // A file that did not reach the disk whole is a failed download too.
    const int32_t closed = closeWrittenFile(part);

    if (received > 0 && closed == 1) {
        FileInfo cached;
        if (queryFileInfo(localPath, &cached)) {
            renameFileAt(localPath, oldPath);
        }
        if (renameFileAt(partPath, localPath)) {
            return;
        }
    }
    deleteFileAt(partPath);
    rememberFailure(name, expectedSize);
}
