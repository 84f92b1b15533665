// The fetching of the agency's live feeds with libcurl: one thread, each
// feed at its own interval, HTTP or HTTPS with the feed's extra headers, a
// time-out for the whole fetch, a cap on the size of a reply, and the
// validators of the last reply (ETag, Last-Modified) sent back so that an
// unchanged feed costs a 304. Kept apart from the rest of realtime so that
// only the server links an HTTP client.
#include <curl/curl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "server/realtime/realtime.h"

namespace {

// The fetching thread's niceness (its own, not the server's).
constexpr int FETCH_NICENESS = 10;

// A feed larger than this is refused rather than held in memory.
constexpr size_t LARGEST_FEED = 64u << 20;

struct FetchState {
    RealtimeFeedConfig config;
    std::string etag;                              // of the last good reply; empty: none
    std::string lastModified;                      // likewise
    int64_t due = 0;                               // monotonic ms of the next fetch
    std::shared_ptr<const RealtimeSnapshot> made;  // the boards' snapshot made after its last good fetch
};

struct Reply {
    std::string body;
    std::string etag;
    std::string lastModified;
    bool tooLarge = false;
};

std::thread gFetcher;
std::atomic<bool> gStopping{false};
// Snapshots the boards no longer read, held until the last board has let go
// of them, so that freeing a large one falls to this thread and not to a
// board's request. Only the fetching thread touches it.
std::vector<std::shared_ptr<const RealtimeSnapshot>> gRetired;

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Reply* reply = static_cast<Reply*>(user);
    const size_t length = size * count;
    if (reply->body.size() + length > LARGEST_FEED) {
        reply->tooLarge = true;
        return 0;  // ends the transfer
    }
    reply->body.append(data, length);
    return length;
}

// The value of a header line "Name: value\r\n" when it has that name.
bool headerValue(const std::string& line, const std::string& name, std::string* value) {
    if (line.size() <= name.size() + 1 || line[name.size()] != ':') {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) {
            return false;
        }
    }
    const size_t start = line.find_first_not_of(" \t", name.size() + 1);
    const size_t end = line.find_last_not_of(" \t\r\n");
    *value = start == std::string::npos || end < start ? std::string() : line.substr(start, end - start + 1);
    return true;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    Reply* reply = static_cast<Reply*>(user);
    const std::string line(data, size * count);
    headerValue(line, "etag", &reply->etag);
    headerValue(line, "last-modified", &reply->lastModified);
    return size * count;
}

// Ends a transfer under way when the server stops, rather than waiting out
// its time-out.
int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return gStopping ? 1 : 0;
}

// One fetch of one feed, its result handed to the feeds' state.
void fetchOnce(FetchState* feed, size_t index, const ServerClock& clock) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        realtimeFeedFetched(index, clockNow(clock), false, false, std::string(), "libcurl would not start");
        return;
    }
    Reply reply;
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : feed->config.headers) {
        headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    if (!feed->etag.empty()) {
        headers = curl_slist_append(headers, ("If-None-Match: " + feed->etag).c_str());
    }
    if (!feed->lastModified.empty()) {
        headers = curl_slist_append(headers, ("If-Modified-Since: " + feed->lastModified).c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, feed->config.url.c_str());
    // Only HTTP and HTTPS, also after a redirect: a feed URL never reads a
    // local file or speaks another protocol.
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(feed->config.timeoutSeconds));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");  // gzip when the agency offers it
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    const int64_t now = clockNow(clock);
    if (reply.tooLarge) {
        realtimeFeedFetched(index, now, false, false, std::string(), "the feed is larger than 64 MB");
    } else if (result != CURLE_OK) {
        realtimeFeedFetched(index, now, false, false, std::string(), curl_easy_strerror(result));
    } else if (status == 304) {
        realtimeFeedFetched(index, now, true, true, std::string(), std::string());
    } else if (status != 200) {
        realtimeFeedFetched(index, now, false, false, std::string(), "HTTP status " + std::to_string(status));
    } else if (realtimeFeedFetched(index, now, true, false, reply.body, std::string())) {
        // The validators are kept only for content that was taken: asked
        // with those of a malformed reply, the agency would answer "not
        // modified" and the fault would pass for good data.
        feed->etag = reply.etag;
        feed->lastModified = reply.lastModified;
        // The boards' snapshot is made here, not by the first board to ask;
        // the one it replaces is freed here too once the boards have let
        // it go (see fetchLoop).
        gRetired.push_back(std::move(feed->made));
        feed->made = realtimeCurrent(now);
    }
}

void fetchLoop(std::vector<FetchState> feeds, const ServerClock* clock) {
    // Decoding a large feed takes a core for a while: the boards' requests
    // come first, so the thread runs only on a core nothing else wants (a
    // poll woken on its core takes it at once; a lowered nice value would
    // let the decoding run on for a while first). On a machine busy for
    // minutes on end the feed then ages out and the boards show the
    // timetable, as they do for any feed that stops. Where the idle class is
    // refused, a lowered nice value; should that be refused too, fetching
    // runs at the server's priority: no fault, only less room for the boards.
    sched_param none{};
    if (sched_setscheduler(0, SCHED_IDLE, &none) != 0 &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), FETCH_NICENESS) != 0) {
        serverLog("the live feeds are fetched at normal priority");
    }
    while (!gStopping) {
        std::erase_if(gRetired, [](const auto& snapshot) { return snapshot.use_count() <= 1; });
        for (size_t i = 0; i < feeds.size() && !gStopping; ++i) {
            if (monotonicMs() >= feeds[i].due) {
                fetchOnce(&feeds[i], i, *clock);
                feeds[i].due = monotonicMs() + int64_t{feeds[i].config.intervalSeconds} * 1000;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    gRetired.clear();
}

}  // namespace

void realtimeFetchStart(const std::vector<RealtimeFeedConfig>& feeds, const ServerClock& clock) {
    realtimeSetFeeds(feeds);
    if (feeds.empty() || gFetcher.joinable()) {
        return;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::vector<FetchState> states;
    for (const RealtimeFeedConfig& config : feeds) {
        states.push_back(FetchState{config, std::string(), std::string(), 0, nullptr});
    }
    gStopping = false;
    gFetcher = std::thread(fetchLoop, std::move(states), &clock);
}

void realtimeFetchStop() {
    gStopping = true;
    if (gFetcher.joinable()) {
        gFetcher.join();
    }
}
