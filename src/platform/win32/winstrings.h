// Win32 path queries with the program's cut-to-capacity rule.
#pragma once

#include <cstdint>

// GetFullPathNameW into a fixed array; the path itself when it fails.
int32_t fullPathOf(const char16_t* path, char16_t* out, int32_t capacity);

// The executable's directory ending in a backslash (empty when the module
// path holds no backslash).
int32_t executableDirectory(char16_t* out, int32_t capacity);
