// Fuzz entry for the ID3v2 skip of the playback copy: the skipped length is
// either nothing or a tag that starts with "ID3" and leaves at least one byte
// of audio, so the copy's remaining size never wraps.
#include <cstddef>
#include <cstdint>

#include "serverlink/melody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const auto count = static_cast<uint32_t>(size);
    const uint32_t skip = id3v2TagLength(data, count);
    if (skip == 0) {
        return 0;
    }
    if (skip < 10 || skip >= count || data[0] != 'I' || data[1] != 'D' || data[2] != '3') {
        __builtin_trap();
    }
    // The size bytes are synchsafe: the length can never exceed 28 bits plus
    // the header and footer.
    if (skip > (1u << 28) + 20) {
        __builtin_trap();
    }
    return 0;
}
