// The state of the agency's live feeds while the server runs: the last good
// snapshot of each feed, how its fetches go, and the one snapshot the boards
// read (the fresh feeds merged, made again only when one changes or grows
// too old). A fetch that fails, a malformed feed and content older than its
// limit change nothing: the last good data stays until it is too old itself,
// and then the boards show the timetable again.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "server/realtime/realtime.h"

namespace {

struct FeedState {
    RealtimeFeedConfig config;
    int32_t state = FEED_NEVER;
    std::shared_ptr<const RealtimeSnapshot> good;  // the last good content; nothing yet
    int64_t goodTime = 0;                          // its time: the header's, else when fetched
    int64_t lastFetch = 0;                         // when the last fetch ended
    std::string failure;                           // why the last fetch was not taken
};

struct Feeds {
    std::mutex lock;
    std::vector<FeedState> feeds;
    // Counts every new good content; changed under `lock`, read without it
    // by every board request.
    std::atomic<uint64_t> generation{0};
    std::shared_ptr<const RealtimeSnapshot> merged;
    uint64_t mergedGeneration = UINT64_MAX;
    std::vector<bool> mergedFresh;  // which feeds the merged snapshot holds
    bool merging = false;           // a thread is merging the feeds (outside the lock)
};

Feeds gFeeds;

bool fresh(const FeedState& feed, int64_t now) {
    return feed.good != nullptr && now - feed.goodTime <= feed.config.maxAgeSeconds;
}

const char* stateName(int32_t state) {
    switch (state) {
        case FEED_OK:
            return "ok";
        case FEED_FAILING:
            return "failing";
        case FEED_STALE:
            return "stale";
        default:
            return "never";
    }
}

// The header texts of a feed's alerts in force now, for the operator's page
// to list beside the notices staff posted (the first twenty).
nlohmann::json alertTexts(const RealtimeSnapshot* good, int64_t now) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; good != nullptr && i < good->alerts.size() && list.size() < 20; ++i) {
        const AlertRecord& alert = good->alerts[i];
        bool inForce = alert.periods.empty();
        for (const auto& [start, end] : alert.periods) {
            inForce = inForce || (start <= now && (end == 0 || now < end));
        }
        if (inForce) {
            list.push_back({{"ja", alert.textJp}, {"en", alert.textEn}});
        }
    }
    return list;
}

// A feed that starts or stops failing goes to the log once, not at every
// fetch (the text of old content names its age, which grows each time).
// The feed is named by its place in station.toml, not by its URL, which may
// carry the agency's key.
void logFetchChange(size_t index, const std::string& failedBefore, const FeedState& feed) {
    if (feed.failure.empty() == failedBefore.empty()) {
        return;
    }
    const std::string name = "realtime feed " + std::to_string(index + 1) + ": ";
    if (feed.failure.empty()) {
        serverLog(name + "taken again");
    } else {
        serverLog(name + feed.failure +
                  (feed.good != nullptr ? "; its last good content stays in use while fresh"
                                        : "; the boards show the timetable"));
    }
}

}  // namespace

void realtimeSetFeeds(const std::vector<RealtimeFeedConfig>& feeds) {
    std::lock_guard<std::mutex> hold(gFeeds.lock);
    gFeeds.feeds.clear();
    for (const RealtimeFeedConfig& config : feeds) {
        gFeeds.feeds.push_back(FeedState{config, FEED_NEVER, nullptr, 0, 0, std::string()});
    }
    ++gFeeds.generation;
    gFeeds.merged = nullptr;
}

void realtimeReset() {
    realtimeSetFeeds({});
}

bool realtimeFeedFetched(size_t index, int64_t now, bool fetched, bool notModified, const std::string& bytes,
                         const std::string& failure) {
    // Decoded outside the lock: a large feed takes a while.
    auto snapshot = std::make_shared<RealtimeSnapshot>();
    std::string problem = failure;
    bool good = false;
    if (fetched && !notModified) {
        good = decodeRealtimeFeed(bytes, snapshot.get(), &problem);
    }
    std::lock_guard<std::mutex> hold(gFeeds.lock);
    if (index >= gFeeds.feeds.size()) {
        return false;
    }
    FeedState& feed = gFeeds.feeds[index];
    const std::string failedBefore = feed.failure;
    feed.lastFetch = now;
    // Content stamped later than now (a producer's clock ahead) counts from
    // now: it must not stay fresh for good once the feed stops.
    const int64_t contentTime = good && snapshot->feedTime > 0 ? std::min(snapshot->feedTime, now) : now;
    if (good && now - contentTime > feed.config.maxAgeSeconds) {
        good = false;
        problem = "the feed's content is " + std::to_string(now - contentTime) + " s old (made " +
                  logInstant(contentTime) + ")";
    }
    if (good) {
        snapshot->takenAt = now;
        feed.good = std::move(snapshot);
        feed.goodTime = contentTime;
        feed.failure.clear();
        ++gFeeds.generation;
    } else if (fetched && notModified && feed.good != nullptr) {
        feed.failure.clear();
    } else {
        feed.failure = problem.empty() ? "fetch failed" : problem;
    }
    feed.state = !fresh(feed, now) ? (feed.good != nullptr ? FEED_STALE : FEED_NEVER)
                                   : (feed.failure.empty() ? FEED_OK : FEED_FAILING);
    logFetchChange(index, failedBefore, feed);
    return good;
}

std::shared_ptr<const RealtimeSnapshot> realtimeCurrent(int64_t now) {
    // The snapshot replaced here is released after the lock: the last
    // holder of a large one frees thousands of records.
    std::shared_ptr<const RealtimeSnapshot> replaced;
    std::vector<std::shared_ptr<const RealtimeSnapshot>> freshFeeds;
    std::vector<bool> freshNow;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> hold(gFeeds.lock);
        for (const FeedState& feed : gFeeds.feeds) {
            freshNow.push_back(fresh(feed, now));
            if (freshNow.back()) {
                freshFeeds.push_back(feed.good);
            }
        }
        if (freshFeeds.empty()) {
            return nullptr;
        }
        if (gFeeds.merged != nullptr && gFeeds.mergedGeneration == gFeeds.generation &&
            gFeeds.mergedFresh == freshNow) {
            return gFeeds.merged;
        }
        // While another thread merges, the last merged snapshot serves.
        if (gFeeds.merging && gFeeds.merged != nullptr) {
            return gFeeds.merged;
        }
        generation = gFeeds.generation;
        // One feed alone is used as it is.
        if (freshFeeds.size() == 1) {
            replaced = std::move(gFeeds.merged);
            gFeeds.merged = freshFeeds[0];
            gFeeds.mergedGeneration = generation;
            gFeeds.mergedFresh = freshNow;
            return gFeeds.merged;
        }
        gFeeds.merging = true;
    }
    // Several are merged once per change, outside the lock, so that the
    // boards asking meanwhile do not wait for it (they use the snapshot
    // that was current when they asked).
    auto all = std::make_shared<RealtimeSnapshot>();
    for (const auto& feed : freshFeeds) {
        mergeSnapshot(*feed, all.get());
        all->takenAt = std::max(all->takenAt, feed->takenAt);
    }
    std::lock_guard<std::mutex> hold(gFeeds.lock);
    gFeeds.merging = false;
    // Kept unless a newer content came meanwhile.
    if (gFeeds.generation == generation) {
        replaced = std::move(gFeeds.merged);
        gFeeds.merged = all;
        gFeeds.mergedGeneration = generation;
        gFeeds.mergedFresh = freshNow;
    }
    return all;
}

uint64_t realtimeGeneration() {
    return gFeeds.generation.load(std::memory_order_acquire);
}

std::string realtimeStatusJson(int64_t now) {
    std::lock_guard<std::mutex> hold(gFeeds.lock);
    nlohmann::json list = nlohmann::json::array();
    for (FeedState& feed : gFeeds.feeds) {
        if (!fresh(feed, now) && feed.good != nullptr) {
            feed.state = FEED_STALE;
        }
        const RealtimeSnapshot* good = feed.good.get();
        list.push_back(
            {{"url", feed.config.url},
             {"state", stateName(feed.state)},
             {"red", feed.state != FEED_OK},
             {"age_seconds", good != nullptr ? nlohmann::json(now - feed.goodTime) : nlohmann::json()},
             {"trips", good != nullptr ? good->trips.size() : 0},
             {"alerts", good != nullptr ? good->alerts.size() : 0},
             {"vehicles", good != nullptr ? good->vehicles.size() : 0},
             {"problem", feed.failure},
             {"alert_texts", alertTexts(good, now)}});
    }
    // A feed's texts need not be UTF-8: what is not is shown replaced.
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
