// Shared by the server's tests: a scratch folder, file writing, and the
// small bundled feed of a fictional line (tests/server/feed).
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

inline std::string scratchFolder(const char* tag) {
    std::string pattern = std::string("/tmp/velmorant-") + tag + "-XXXXXX";
    const char* made = mkdtemp(pattern.data());
    return made != nullptr ? std::string(made) : std::string();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string bundledFeed() {
    return std::string(VELMORANT_SOURCE_DIR) + "/tests/server/feed";
}
