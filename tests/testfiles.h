// Files for tests: a fresh scratch directory per test and writers for raw
// bytes, so that readers are tested on real files of the platform.
#pragma once

#include <cstdint>
#include <string>

// A new empty directory under the system's temporary directory.
std::u16string makeScratchDirectory(const char* tag);

// path + name with the platform's separator.
std::u16string joinPath(const std::u16string& directory, const char16_t* name);

// Writes the bytes as the whole file; true on success.
bool writeFileBytes(const std::u16string& path, const std::string& bytes);

// UTF-8 bytes of a UTF-16 text (for building test input).
std::string utf8Of(const std::u16string& text);

// UTF-16 little-endian bytes of a text, without signature.
std::string utf16leOf(const std::u16string& text);
