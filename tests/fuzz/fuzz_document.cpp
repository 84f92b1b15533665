// Fuzz entry for the display document reader (both formats): any bytes the
// server may send, up to the fetch buffer's size.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "documents/documents.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > static_cast<size_t>(DOCUMENT_BODY_CAPACITY)) {
        return 0;
    }
    static BoardDocument document;
    if (parseDisplayDocument(data, static_cast<int32_t>(size), &document) == 1) {
        // An accepted document always satisfies the closing checks, and
        // every text field is terminated within its capacity.
        if (document.width < MIN_WIDTH || document.width > MAX_WIDTH || document.rows < MIN_ROWS ||
            document.rows > MAX_ROWS || document.scroll < 1 || document.timeColor == 0 ||
            document.destX >= document.width) {
            __builtin_trap();
        }
        for (const ClassicLine& line : document.lines) {
            if (textLength(line.text) >= CLASSIC_TEXT_CAPACITY || textLength(line.time) >= TIME_CAPACITY) {
                __builtin_trap();
            }
        }
        if (textLength(document.msg.scrollText) >= SCROLL_TEXT_CAPACITY ||
            textLength(document.melodyName) >= MELODY_NAME_CAPACITY) {
            __builtin_trap();
        }
    }
    return 0;
}
