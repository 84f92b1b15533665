// The agency's live feeds as station.toml names them: one [[realtime]]
// section per URL, with how often to fetch it, how long a fetch may take,
// how old its content may be and the request headers it needs (an API key):
//
//   [[realtime]]
//   url = "https://api.example.org/gtfs-rt/trip-updates"
//   interval = 15
//   timeout = 10
//   max_age = 300
//   headers = { "x-api-key" = "..." }
#include <toml++/toml.h>

#include <set>

#include "server/realtime/realtime.h"

namespace {

const std::set<std::string> REALTIME_KEYS = {"url", "interval", "timeout", "max_age", "headers"};

// A whole number of seconds in [least, most]; false with a problem.
bool readSeconds(const toml::table& table, const char* key, int32_t least, int32_t most, int32_t* value,
                 const std::string& where, std::vector<std::string>* problems) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        return true;
    }
    const auto* number = node->as_integer();
    if (number == nullptr || number->get() < least || number->get() > most) {
        problems->push_back(where + key + " must be a whole number of seconds from " + std::to_string(least) +
                            " to " + std::to_string(most));
        return false;
    }
    *value = static_cast<int32_t>(number->get());
    return true;
}

bool readHeaders(const toml::table& table, RealtimeFeedConfig* feed, const std::string& where,
                 std::vector<std::string>* problems) {
    const toml::node* node = table.get("headers");
    if (node == nullptr) {
        return true;
    }
    const toml::table* headers = node->as_table();
    bool ok = headers != nullptr;
    for (auto it = ok ? headers->begin() : toml::table::iterator{}; ok && it != headers->end(); ++it) {
        const std::string name(it->first.str());
        const auto* value = it->second.as_string();
        // A line break would end the header and start another one.
        ok = value != nullptr && !name.empty() && name.find_first_of(":\r\n ") == std::string::npos &&
             value->get().find_first_of("\r\n") == std::string::npos;
        if (ok) {
            feed->headers.emplace_back(name, value->get());
        }
    }
    if (!ok) {
        problems->push_back(where + "headers must be a table of header names and texts in double quotes");
    }
    return ok;
}

bool readFeed(const toml::table& table, RealtimeFeedConfig* feed, const std::string& where,
              std::vector<std::string>* problems) {
    bool ok = true;
    for (const auto& [key, node] : table) {
        if (REALTIME_KEYS.count(std::string(key.str())) == 0) {
            problems->push_back(where + "unknown key " + std::string(key.str()));
            ok = false;
        }
    }
    const auto* url = table.get("url") != nullptr ? table.get("url")->as_string() : nullptr;
    if (url == nullptr || (url->get().rfind("http://", 0) != 0 && url->get().rfind("https://", 0) != 0)) {
        problems->push_back(where + "url must be an http:// or https:// address in double quotes");
        ok = false;
    } else {
        feed->url = url->get();
    }
    ok = readSeconds(table, "interval", 1, 3600, &feed->intervalSeconds, where, problems) && ok;
    ok = readSeconds(table, "timeout", 1, 600, &feed->timeoutSeconds, where, problems) && ok;
    ok = readSeconds(table, "max_age", 1, 86400, &feed->maxAgeSeconds, where, problems) && ok;
    return readHeaders(table, feed, where, problems) && ok;
}

}  // namespace

bool readRealtimeConfig(const std::string& text, std::vector<RealtimeFeedConfig>* feeds,
                        std::vector<std::string>* problems) {
    feeds->clear();
    toml::table root;
    if (!parseSettingsText(text, &root, problems)) {
        return false;
    }
    const toml::node* node = root.get("realtime");
    if (node == nullptr) {
        return true;
    }
    const toml::array* list = node->as_array();
    if (list == nullptr) {
        problems->push_back("realtime feeds are written as [[realtime]] sections");
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < list->size(); ++i) {
        const std::string where = "[[realtime]] " + std::to_string(i + 1) + ": ";
        const toml::table* table = list->get(i)->as_table();
        RealtimeFeedConfig feed;
        if (table == nullptr) {
            problems->push_back(where + "must be a table");
            ok = false;
        } else if (readFeed(*table, &feed, where, problems)) {
            feeds->push_back(std::move(feed));
        } else {
            ok = false;
        }
    }
    return ok;
}

bool loadRealtimeConfig(const std::string& path, std::vector<RealtimeFeedConfig>* feeds,
                        std::vector<std::string>* problems) {
    std::string text;
    return readSettingsFile(path, &text, problems) && readRealtimeConfig(text, feeds, problems);
}
