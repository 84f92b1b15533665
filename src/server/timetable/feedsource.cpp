// Where a feed's files come from: a GTFS zip (read with libzip, also when the
// files sit in one folder inside the zip) or a plain folder.
#include <sys/stat.h>
#include <zip.h>

#include <cstdio>

#include "server/timetable/timetable.h"

struct FeedSource {
    zip_t* zip = nullptr;
    std::string folder;
};

static bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

FeedSource* feedOpen(const std::string& path, std::string* error) {
    FeedSource* feed = new FeedSource;
    if (isFolder(path)) {
        feed->folder = path;
        return feed;
    }
    int code = 0;
    feed->zip = zip_open(path.c_str(), ZIP_RDONLY, &code);
    if (feed->zip == nullptr) {
        zip_error_t zipError;
        zip_error_init_with_code(&zipError, code);
        *error = path + ": " + zip_error_strerror(&zipError);
        zip_error_fini(&zipError);
        delete feed;
        return nullptr;
    }
    return feed;
}

void feedClose(FeedSource* feed) {
    if (feed == nullptr) {
        return;
    }
    if (feed->zip != nullptr) {
        zip_discard(feed->zip);
    }
    delete feed;
}

// The entry of a file in the zip: at the top, or else in a folder.
static zip_int64_t zipEntry(zip_t* zip, const std::string& name) {
    zip_int64_t index = zip_name_locate(zip, name.c_str(), 0);
    if (index >= 0) {
        return index;
    }
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* entry = zip_get_name(zip, static_cast<zip_uint64_t>(i), 0);
        if (entry == nullptr) {
            continue;
        }
        const std::string entryName(entry);
        if (entryName.size() > name.size() &&
            entryName.compare(entryName.size() - name.size(), name.size(), name) == 0 &&
            entryName[entryName.size() - name.size() - 1] == '/' &&
            entryName.find("__MACOSX") == std::string::npos) {
            return i;
        }
    }
    return -1;
}

bool feedHas(FeedSource* feed, const std::string& name) {
    if (feed->zip != nullptr) {
        return zipEntry(feed->zip, name) >= 0;
    }
    struct stat info;
    return stat((feed->folder + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool feedRead(FeedSource* feed, const std::string& name, std::string* bytes, std::string* error) {
    bytes->clear();
    if (feed->zip != nullptr) {
        const zip_int64_t index = zipEntry(feed->zip, name);
        if (index < 0) {
            *error = name + ": not in the feed";
            return false;
        }
        zip_stat_t info;
        zip_stat_init(&info);
        if (zip_stat_index(feed->zip, static_cast<zip_uint64_t>(index), 0, &info) != 0 ||
            (info.valid & ZIP_STAT_SIZE) == 0) {
            *error = name + ": cannot read its size in the zip";
            return false;
        }
        zip_file_t* file = zip_fopen_index(feed->zip, static_cast<zip_uint64_t>(index), 0);
        if (file == nullptr) {
            *error = name + ": " + zip_strerror(feed->zip);
            return false;
        }
        bytes->resize(info.size);
        zip_uint64_t done = 0;
        bool ok = true;
        while (done < info.size) {
            const zip_int64_t got = zip_fread(file, bytes->data() + done, info.size - done);
            if (got <= 0) {
                ok = false;
                break;
            }
            done += static_cast<zip_uint64_t>(got);
        }
        if (!ok) {
            *error = name + ": " + zip_file_strerror(file);
        }
        zip_fclose(file);
        return ok;
    }
    const std::string path = feed->folder + "/" + name;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = name + ": cannot open";
        return false;
    }
    char chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes->append(chunk, got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok) {
        *error = name + ": read error";
    }
    return ok;
}
