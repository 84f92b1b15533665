// The blink phase of a tick, for every board that blinks a departure time.
#include "base/blink.h"

bool blinkShowing(uint32_t now, int32_t periodMs) {
    if (periodMs < 1) {
        return true;
    }
    return now % static_cast<uint32_t>(periodMs) < static_cast<uint32_t>(periodMs / 2);
}
