// The system side of melody playback on Windows: MCI command strings and
// the short path form (MCI copes badly with long paths and some characters).
#include <windows.h>

#include <mmsystem.h>

#include "documents/documents.h"
#include "platform/win32/wide.h"
#include "serverlink/melody.h"

int32_t mciCommand(const char16_t* command) {
    return static_cast<int32_t>(mciSendStringW(asWide(command), nullptr, 0, nullptr));
}

int32_t shortPathOf(const char16_t* path, char16_t* out, int32_t capacity) {
    wchar_t buffer[PATH_CAPACITY];
    const DWORD length = GetShortPathNameW(asWide(path), buffer, PATH_CAPACITY);
    if (length == 0 || length >= static_cast<DWORD>(PATH_CAPACITY)) {
        return 0;
    }
    copyText(out, capacity, asText(buffer));
    return 1;
}
