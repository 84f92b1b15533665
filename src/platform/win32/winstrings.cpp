// Small Win32 text services the Windows-only subsystems share: the full-path
// and module-path queries, with the program's fixed-capacity rule.
#include <windows.h>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"
#include "platform/win32/winstrings.h"

int32_t fullPathOf(const char16_t* path, char16_t* out, int32_t capacity) {
    wchar_t buffer[32768];
    const DWORD length = GetFullPathNameW(asWide(path), 32768, buffer, nullptr);
    if (length == 0 || length >= 32768) {
        return copyText(out, capacity, path);
    }
    return copyText(out, capacity, asText(buffer));
}

int32_t executableDirectory(char16_t* out, int32_t capacity) {
    wchar_t modulePath[PATH_CAPACITY];
    const DWORD length = GetModuleFileNameW(nullptr, modulePath, PATH_CAPACITY);
    if (length == 0 || length >= static_cast<DWORD>(PATH_CAPACITY)) {
        modulePath[length == 0 ? 0 : PATH_CAPACITY - 1] = 0;
    }
    int32_t cut = 0;
    for (int32_t i = 0; modulePath[i] != 0; ++i) {
        if (modulePath[i] == L'\\') {
            cut = i + 1;
        }
    }
    return copyTextN(out, capacity, asText(modulePath), cut);
}
