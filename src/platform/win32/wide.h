// The one place where the core's char16_t text meets the Win32 API's
// wchar_t: both are UTF-16 code units of the same size on Windows, so a
// pointer cast is all it takes.
#pragma once

static_assert(sizeof(wchar_t) == 2, "Win32 wide text is UTF-16");

inline wchar_t* asWide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

inline const wchar_t* asWide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

inline char16_t* asText(wchar_t* text) {
    return reinterpret_cast<char16_t*>(text);
}

inline const char16_t* asText(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}
