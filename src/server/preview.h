// The live preview of a board on the operator's page: the dots the board
// shows at a moment, as its own composition code draws them.
#pragma once

#include <cstdint>
#include <vector>

struct PreviewDots {
    int width = 0, height = 0;
    std::vector<uint8_t> dots;
    uint32_t palette[16];
};

// Dots of what board `number` shows at `nowMs` (ms of the server's clock): width, height
// and one palette index per dot (0 = unlit), row-major; false for an unknown board.
bool renderBoardPreview(int number, int64_t nowMs, PreviewDots& out);
