// The live preview of the boards on the server: what a board's LED panel
// shows at a moment, composed by the board's own composition code (classic
// rows with alternation, blinking and scrolling; the new-style 384 x 48 LED
// grid) from the document the board API serves, with glyphs drawn by
// FreeType in the faces the board maps its Windows font names to.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/signs/signs.h"

// palette: each index's colour as 0x00RRGGBB (entries past the board's
// palette are 0). A classic board is its document's width x rows * 16 dots,
// a new-style sign's LED panel 384 x 48.
struct PreviewDots {
    int width = 0, height = 0;
    std::vector<uint8_t> dots;
    uint32_t palette[16];
};
// Dots of what board `number` shows at `nowMs` (ms of the server's clock): width, height
// and one palette index per dot (0 = unlit), row-major; false for an unknown board.
bool renderBoardPreview(int number, int64_t nowMs, PreviewDots& out);

// Where the preview takes a board's current document from: the board API's
// document cache registers itself while it serves (and clears this when it
// stops). The source gives the body a board would get now; false for an
// unknown board or when there is no document yet.
using PreviewDocumentSource = std::function<bool(int32_t number, std::string* body)>;
void setPreviewDocumentSource(PreviewDocumentSource source);

// The animation clock of the preview in ms: the server's clock, running on
// even when the timetable clock is frozen (a board's own tick never stops).
int64_t previewClockMs(const ServerClock& clock);

constexpr int32_t PREVIEW_MOST_PITCH = 16;

// The dots as a PNG picture, each dot a round LED of pitch x pitch pixels
// (pitch 1..16) drawn the way the board draws its LEDs, unlit ones dim.
bool encodePreviewPng(const PreviewDots& dots, int32_t pitch, std::string* png);

// The glyph sources (preview_glyphs.cpp): installs FreeType behind the
// classic and the new-style glyph seams and fills the language font slots.
// Called with the preview's lock held; the first call does the work.
void installPreviewGlyphs();
// 1 when a Windows face name the board asks for maps to an installed font.
int32_t previewFaceInstalled(const char16_t* face);
