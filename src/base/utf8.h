// UTF-8 rules shared by the document reader and the settings reader.
#pragma once

#include <cstdint>

// Decodes UTF-8 into out (capacity units including the terminator), stopping
// at a zero byte. Each malformed sequence becomes U+FFFD. Returns the units
// written, not counting the terminator, which is always written.
int32_t decodeUtf8(const unsigned char* bytes, int32_t count, char16_t* out, int32_t capacity);

// Writes one code point (at most U+10FFFF) as UTF-8 into out, which has
// room for 4 bytes; returns the bytes written.
int32_t encodeUtf8(uint32_t code, unsigned char* out);

// 1 when every lead byte is followed by the continuation bytes it announces
// (the settings file's encoding guess), else 0.
int32_t isValidUtf8(const unsigned char* bytes, uint32_t count);
