// The host build has no melody output: every open fails, as it would on a
// PC without a sound device, and paths have no short form.
#include "serverlink/melody.h"

int32_t mciCommand(const char16_t*) {
    return 1;
}

int32_t shortPathOf(const char16_t*, char16_t*, int32_t) {
    return 0;
}
