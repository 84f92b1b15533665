// The Windows side of the boot screen: the operating-system and memory
// texts, and the boot font on the board surface's drawing context (fixed
// pitch, no antialiasing, the board font's face, drawn transparently).
#include <windows.h>

#include "platform/win32/wide.h"
#include "render/bootscreen.h"
#include "render/render.h"

// The boot font while the boot screen draws.
struct BootFont {
    HFONT bootFont;      // the font, null when none is made
    HGDIOBJ fontBefore;  // what the surface had selected before it
};
static BootFont gBootFont;

void collectSystemInfo() {
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(&version)) {
        const char16_t* name = u"Windows NT";
        if (version.dwMajorVersion == 5 && version.dwMinorVersion == 0) {
            name = u"Windows 2000";
        } else if (version.dwMajorVersion == 5 && version.dwMinorVersion == 1) {
            name = u"Windows XP";
        }
        // The service-pack text comes from the system; make sure it ends.
        version.szCSDVersion[127] = 0;
        formatOsDescription(name, static_cast<int32_t>(version.dwMajorVersion),
                            static_cast<int32_t>(version.dwMinorVersion),
                            static_cast<int32_t>(version.dwBuildNumber & 0xFFFF),
                            asText(version.szCSDVersion), gSystemInfo.osDescription, OS_DESCRIPTION_CAPACITY);
    } else {
        copyText(gSystemInfo.osDescription, u"Windows NT");
    }
    MEMORYSTATUS memory;
    ZeroMemory(&memory, sizeof(memory));
    memory.dwLength = sizeof(memory);
    GlobalMemoryStatus(&memory);
    formatMemoryDescription(static_cast<uint64_t>(memory.dwTotalPhys), gSystemInfo.memoryDescription,
                            MEMORY_DESCRIPTION_CAPACITY);
}

int32_t beginBootText(int32_t a) {
    HDC dc = static_cast<HDC>(boardSurfaceContext());
    if (dc == nullptr) {
        return 0;
    }
    gBootFont.bootFont = CreateFontW(-a, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                                     FIXED_PITCH | FF_MODERN, asWide(gSettings.settings.fontFace));
    gBootFont.fontBefore = gBootFont.bootFont != nullptr ? SelectObject(dc, gBootFont.bootFont) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SIZE digit{0, 0};
    if (!GetTextExtentPoint32W(dc, L"0", 1, &digit)) {
        return 0;
    }
    return digit.cx;
}

void drawBootText(const char16_t* text, int32_t x, int32_t y, uint32_t colour) {
    HDC dc = static_cast<HDC>(boardSurfaceContext());
    if (dc == nullptr || text == nullptr || text[0] == 0) {
        return;
    }
    SetTextColor(dc, colour);
    TextOutW(dc, x, y, asWide(text), textLength(text));
}

void endBootText() {
    HDC dc = static_cast<HDC>(boardSurfaceContext());
    if (dc != nullptr && gBootFont.fontBefore != nullptr) {
        SelectObject(dc, gBootFont.fontBefore);
    }
    if (gBootFont.bootFont != nullptr) {
        DeleteObject(gBootFont.bootFont);
    }
    gBootFont.bootFont = nullptr;
    gBootFont.fontBefore = nullptr;
}
