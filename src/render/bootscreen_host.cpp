// The boot screen's platform side in the host build: the system text comes
// from uname, and, as with the host's board surface, there is no font
// engine, so texts are not drawn. The digit width stands in as half the text
// height, the cell of a half-width character in the board's fixed-pitch
// face, so the layout arithmetic runs as it does on Windows.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "render/bootscreen.h"
#include "render/render.h"

static void widen(const char* text, char16_t* out, int32_t capacity) {
    int32_t i = 0;
    for (; text[i] != 0 && i < capacity - 1; ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    }
    out[i] = 0;
}

void collectSystemInfo() {
    struct utsname system;
    if (uname(&system) != 0) {
        copyText(gSystemInfo.osDescription, u"Unknown");
    } else {
        int major = 0;
        int minor = 0;
        int patch = 0;
        std::sscanf(system.release, "%d.%d.%d", &major, &minor, &patch);
        char16_t name[64];
        widen(system.sysname, name, 64);
        formatOsDescription(name, major, minor, patch & 0xFFFF, u"", gSystemInfo.osDescription,
                            OS_DESCRIPTION_CAPACITY);
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    const uint64_t total =
        pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
    formatMemoryDescription(total, gSystemInfo.memoryDescription, MEMORY_DESCRIPTION_CAPACITY);
}

int32_t beginBootText(int32_t a) {
    return a / 2;
}

void drawBootText(const char16_t*, int32_t, int32_t, uint32_t) {}

void endBootText() {}
