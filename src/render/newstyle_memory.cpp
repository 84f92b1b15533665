// The new-style sign's platform side in the host build: boxes are filled
// into the memory surface (corners square, as every box of the sign is),
// there is no font engine, so no Chinese or Korean face is installed and no
// text source is installed unless a test brings its own.
#include "render/newstyle.h"

void initFontSlots() {
    if (gNewStyle.fontSlotsReady != 0) {
        return;
    }
    fillFontSlots(nullptr);
}

int32_t prepareNewStyleText() {
    return 0;
}

// Colours arrive as 0x00BBGGRR, as fillBox takes them. Like GDI's pen-less
// rectangle, a box without outline leaves its last column and row out; an
// outline is drawn inside the box.
void fillCanvasShape(int32_t left, int32_t top, int32_t right, int32_t bottom, int32_t, int32_t hasFill,
                     uint32_t fill, int32_t penWidth, uint32_t outline) {
    if (penWidth <= 0) {
        if (hasFill != 0) {
            fillBox(left, top, right - 1 - left, bottom - 1 - top, fill);
        }
        return;
    }
    const int32_t w = right - left;
    const int32_t h = bottom - top;
    if (hasFill != 0) {
        fillBox(left, top, w, h, fill);
    }
    fillBox(left, top, w, penWidth, outline);
    fillBox(left, bottom - penWidth, w, penWidth, outline);
    fillBox(left, top, penWidth, h, outline);
    fillBox(right - penWidth, top, penWidth, h, outline);
}
