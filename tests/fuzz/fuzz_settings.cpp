// Fuzz entry for the settings reader fed raw file bytes: the encoding
// decision, the conversion and the line and value readers.
#include <cstddef>
#include <cstdint>

#include "documents/documents.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > SETTINGS_FILE_LIMIT) {
        return 0;
    }
    char16_t* text = decodeSettingsBytes(data, static_cast<uint32_t>(size));
    if (text == nullptr) {
        return 0;
    }
    applySettingsText(text);
    heapFree(text);
    if (textLength(gSettings.settings.server) >= SERVER_CAPACITY ||
        textLength(gSettings.settings.fontFace) >= FONT_FACE_CAPACITY) {
        __builtin_trap();
    }
    if (gSettings.settings.dailyRestartMinute < -1 || gSettings.settings.dailyRestartMinute > 1439) {
        __builtin_trap();
    }
    return 0;
}
