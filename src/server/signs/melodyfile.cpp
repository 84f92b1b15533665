// Melody files under the station's melody folder, as the boards may fetch
// them: the board's own name check, and no path or link leading out of the
// folder.
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "documents/documents.h"
#include "server/signs/signs.h"

int64_t melodyFileSize(const StationConfig& config, const std::string& name, std::string* path) {
    *path = config.sounds + "/" + name;
    if (name.empty() || name.size() > 1024 || name.find('\0') != std::string::npos) {
        return -1;
    }
    // The board's own name check: what a board would refuse to fetch is
    // refused here too, and it keeps every name inside the folder.
    char16_t wide[MELODY_NAME_CAPACITY + 2];
    decodeUtf8(reinterpret_cast<const unsigned char*>(name.data()), static_cast<int32_t>(name.size()), wide,
               MELODY_NAME_CAPACITY + 2);
    for (const char16_t* c = wide; *c != 0; ++c) {
        if (*c == 0xFFFD) {
            return -1;  // not UTF-8
        }
    }
    if (!melodyNameIsValid(wide)) {
        return -1;
    }
    // No link may lead out of the folder either.
    char folder[PATH_MAX];
    char file[PATH_MAX];
    if (realpath(config.sounds.c_str(), folder) == nullptr || realpath(path->c_str(), file) == nullptr) {
        return -1;
    }
    const size_t folderLength = std::strlen(folder);
    if (std::strncmp(file, folder, folderLength) != 0 || file[folderLength] != '/') {
        return -1;
    }
    struct stat info;
    if (stat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    *path = file;
    return info.st_size;
}
