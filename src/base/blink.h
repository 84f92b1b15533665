// The blink rule shared by both boards: a blinking time shows in the first
// half of each period and is dark in the second.
#pragma once

#include <cstdint>

// true while a text blinking with periodMs is showing at tick now; a period
// below 1 ms means no blinking (always showing).
bool blinkShowing(uint32_t now, int32_t periodMs);
