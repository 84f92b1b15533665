// Scratch files for tests, written through the program's own OS layer.
#include "testfiles.h"

#include <atomic>
#include <filesystem>

#include "platform/platform.h"

std::u16string makeScratchDirectory(const char* tag) {
    static std::atomic<int> counter{0};
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        std::filesystem::path candidate =
            base / (std::string("velmorant-") + tag + "-" + std::to_string(tickCount()) + "-" +
                    std::to_string(counter++));
        std::error_code error;
        if (std::filesystem::create_directories(candidate, error)) {
            return candidate.u16string();
        }
    }
}

std::u16string joinPath(const std::u16string& directory, const char16_t* name) {
#ifdef _WIN32
    return directory + u"\\" + name;
#else
    return directory + u"/" + name;
#endif
}

bool writeFileBytes(const std::u16string& path, const std::string& bytes) {
    OutFile* file = openFileForWrite(path.c_str());
    if (file == nullptr) {
        return false;
    }
    bool ok = true;
    if (!bytes.empty()) {
        ok = writeToFile(file, bytes.data(), static_cast<uint32_t>(bytes.size())) ==
             static_cast<int32_t>(bytes.size());
    }
    return closeWrittenFile(file) == 1 && ok;
}

std::string utf8Of(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string utf16leOf(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}
