// Where a feed's files come from: a GTFS zip (read with libzip, also when the
// files sit in one folder inside the zip) or a plain folder. Files are handed
// on in pieces, so the import never holds a whole file, and an entry that
// expands past the limit is refused however small its compressed form.
#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <map>
#include <set>

#include "server/timetable/timetable.h"

struct FeedSource {
    zip_t* zip = nullptr;  // the open zip, or nothing for a folder
    std::string folder;    // the folder; for a zip, the folder inside it holding the feed ("" or "x/")
};

namespace {

constexpr size_t PIECE = 65536;

// The files that make a feed: where they are is where the feed is.
const char* const FEED_FILES[] = {"agency.txt",     "stops.txt",    "routes.txt",        "trips.txt",
                                  "stop_times.txt", "calendar.txt", "calendar_dates.txt"};

bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isFeedFile(const std::string& name) {
    for (const char* file : FEED_FILES) {
        if (name == file) {
            return true;
        }
    }
    return false;
}

// Finds the one folder of the zip that holds the feed's files; refuses a
// name given twice and feed files in more than one folder.
bool findFeedFolder(zip_t* zip, std::string* folder, std::string* error) {
    std::set<std::string> names;
    std::map<std::string, std::string> folders;  // folder to one feed file in it
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* entry = zip_get_name(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (entry == nullptr) {
            continue;
        }
        const std::string name(entry);
        if (!names.insert(name).second) {
            *error = "the zip holds \"" + name + "\" twice";
            return false;
        }
        const size_t slash = name.rfind('/');
        const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
        if (isFeedFile(base) && name.find("__MACOSX") == std::string::npos) {
            folders.emplace(name.substr(0, name.size() - base.size()), name);
        }
    }
    if (folders.size() > 1) {
        *error = "the zip holds two feeds: \"" + folders.begin()->second + "\" and \"" +
                 std::next(folders.begin())->second + "\"";
        return false;
    }
    *folder = folders.empty() ? std::string() : folders.begin()->first;
    return true;
}

bool streamZip(FeedSource* feed, const std::string& name, uint64_t limit, const FeedPieceHandler& onPiece,
               std::string* error) {
    const zip_int64_t index = zip_name_locate(feed->zip, (feed->folder + name).c_str(), ZIP_FL_ENC_RAW);
    if (index < 0) {
        *error = "not in the feed";
        return false;
    }
    zip_stat_t info;
    zip_stat_init(&info);
    if (zip_stat_index(feed->zip, static_cast<zip_uint64_t>(index), 0, &info) == 0 &&
        (info.valid & ZIP_STAT_SIZE) != 0 && info.size > limit) {
        *error = "expands to " + std::to_string(info.size) + " bytes, more than the limit of " +
                 std::to_string(limit);
        return false;
    }
    zip_file_t* file = zip_fopen_index(feed->zip, static_cast<zip_uint64_t>(index), 0);
    if (file == nullptr) {
        *error = zip_strerror(feed->zip);
        return false;
    }
    std::unique_ptr<char[]> chunk(new char[PIECE]);
    uint64_t done = 0;
    bool ok = true;
    zip_int64_t got = 0;
    // The size the zip claims is not trusted: what comes out is counted.
    while (ok && (got = zip_fread(file, chunk.get(), PIECE)) > 0) {
        done += static_cast<uint64_t>(got);
        if (done > limit) {
            *error = "expands past the limit of " + std::to_string(limit) + " bytes";
            ok = false;
        } else if (!onPiece(chunk.get(), static_cast<size_t>(got))) {
            ok = false;
        }
    }
    if (ok && got < 0) {
        *error = zip_file_strerror(file);
        ok = false;
    }
    zip_fclose(file);
    return ok;
}

bool streamFile(FeedSource* feed, const std::string& name, uint64_t limit, const FeedPieceHandler& onPiece,
                std::string* error) {
    FILE* file = std::fopen((feed->folder + "/" + name).c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open";
        return false;
    }
    std::unique_ptr<char[]> chunk(new char[PIECE]);
    uint64_t done = 0;
    bool ok = true;
    size_t got = 0;
    while (ok && (got = std::fread(chunk.get(), 1, PIECE, file)) > 0) {
        done += got;
        if (done > limit) {
            *error = "larger than the limit of " + std::to_string(limit) + " bytes";
            ok = false;
        } else if (!onPiece(chunk.get(), got)) {
            ok = false;
        }
    }
    if (ok && std::ferror(file) != 0) {
        *error = "read error";
        ok = false;
    }
    std::fclose(file);
    return ok;
}

}  // namespace

void FeedSourceCloser::operator()(FeedSource* feed) const {
    if (feed->zip != nullptr) {
        zip_discard(feed->zip);
    }
    delete feed;
}

FeedSourcePtr feedOpen(const std::string& path, std::string* error) {
    FeedSourcePtr feed(new FeedSource);
    if (isFolder(path)) {
        feed->folder = path;
        return feed;
    }
    int code = 0;
    feed->zip = zip_open(path.c_str(), ZIP_RDONLY, &code);
    if (feed->zip == nullptr) {
        zip_error_t zipError;
        zip_error_init_with_code(&zipError, code);
        *error = zip_error_strerror(&zipError);
        zip_error_fini(&zipError);
        return nullptr;
    }
    std::string problem;
    if (!findFeedFolder(feed->zip, &feed->folder, &problem)) {
        *error = problem;
        return nullptr;
    }
    return feed;
}

bool feedHas(FeedSource* feed, const std::string& name) {
    if (feed->zip != nullptr) {
        return zip_name_locate(feed->zip, (feed->folder + name).c_str(), ZIP_FL_ENC_RAW) >= 0;
    }
    struct stat info;
    return stat((feed->folder + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool feedStream(FeedSource* feed, const std::string& name, uint64_t limit, const FeedPieceHandler& onPiece,
                std::string* error) {
    return feed->zip != nullptr ? streamZip(feed, name, limit, onPiece, error)
                                : streamFile(feed, name, limit, onPiece, error);
}
