// The live store: the timetable store a running server reads, opened again
// when an import has renamed a new file over it. Readers that still hold the
// old store finish with it; it closes when the last of them lets go.
#include <sys/stat.h>

#include "server/timetable/timetable.h"

static bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool liveStoreOpen(LiveStore* state, std::string* error) {
    struct stat file;
    if (stat(state->path.c_str(), &file) != 0) {
        *error = state->path + ": no timetable store (run the import)";
        return false;
    }
    StorePtr store = storeOpen(state->path, error);
    if (store == nullptr) {
        return false;
    }
    const date::time_zone* zone = findZone(storeMeta(store.get(), "timezone"));
    if (zone == nullptr) {
        *error = state->path + ": unknown time zone";
        return false;
    }
    // Readers still holding the old store finish with it; it closes when the
    // last of them lets go.
    state->store = std::move(store);
    state->zone = zone;
    state->file = file;
    logUseZone(zone);
    ++state->generation;
    return true;
}

StoreView liveStoreCurrent(LiveStore* state) {
    std::lock_guard<std::mutex> hold(state->lock);
    const int64_t nowMs = monotonicMs();
    if (nowMs - state->lastCheckMs >= 1000) {
        state->lastCheckMs = nowMs;
        struct stat file;
        if (stat(state->path.c_str(), &file) == 0 && !sameFile(file, state->file)) {
            std::string error;
            if (liveStoreOpen(state, &error)) {
                serverLog("timetable store re-opened");
            } else {
                serverLog(error + " (keeping the store in use)");
            }
        }
    }
    return {state->store, state->zone, state->generation};
}
