// What the new-style sign's drawing (newstyle_sign.cpp) and its header texts
// (newstyle_header.cpp) share: the canvas's fixed places, the header text
// source, what the header's texts reached, and the steps of drawing them.
#pragma once

#include <cstdint>

#include "render/newstyle.h"

constexpr int32_t LED_LEFT_UNIT = 8;        // the LED panel's left edge, canvas units
constexpr int32_t LED_TOP_UNIT = 22;        // the LED panel's top edge, canvas units
constexpr int32_t HEADER_STRIP_UNITS = 19;  // height of the header strip, canvas units

// The header text source and what the last header's texts reached.
struct HeaderTexts {
    const HeaderTextSource* headerText;  // where header text comes from (set by setHeaderTextSource)
    bool headerTextOutsideCanvas;        // a header text was drawn (partly) outside the canvas
    bool headerTextOverPanel;            // a header text was drawn (partly) over the LED panel
    // The box (left, top, right, bottom, in surface pixels) that the
    // header's texts may have inked, slack included.
    int64_t headerReach[4];
};
extern HeaderTexts gHeaderTexts;

// Canvas units to pixels along one axis.
int32_t unitsToPixels(int32_t units);
// A plain box that covers exactly its canvas units.
void canvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t fill);

// Drawing a header's texts: after beginHeaderTexts, drawCanvasText places
// its text (and placeCanvasFill a box among them) instead of drawing it;
// drawPlacedTexts then draws them all, copying back what it kept.
void beginHeaderTexts();
void placeCanvasFill(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour);
void drawPlacedTexts();
// Room for the kept texts of scale s (each new scale); forgets them.
void reserveKeptTexts(int32_t s);
// Forget the kept texts and the known measures (new fonts or text source).
void forgetKeptTexts();
void forgetTextSizes();
