// Who may use the operator's page and API: the [operator] section of
// station.toml (its database file, how long a board may stay silent, who may
// ask, users with password hashes and API tokens).
#include <toml++/toml.h>

#include <functional>

#include "server/station/station.h"

namespace {

constexpr size_t SHORTEST_CONFIG_TOKEN = 32;

}  // namespace

// The folder part of a path: "." for a bare file name, "/" for a file at the
// root.
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

namespace {

// How a fault in the [operator] section is noted.
using ConfigFault = std::function<void(const std::string&)>;

// The operator's plain settings: database, silent_seconds, allow_from,
// secure_cookie and session_hours.
void readOperatorSettings(const toml::table& section, const StationConfig& station, OperatorConfig* config,
                          const ConfigFault& fault) {
    if (const toml::node* database = section.get("database")) {
        if (database->as_string() == nullptr || database->as_string()->get().empty()) {
            fault("database must be a file name in double quotes");
        } else {
            const std::string path = database->as_string()->get();
            config->database = path[0] == '/' ? path : station.folder + "/" + path;
        }
    }
    if (const toml::node* silent = section.get("silent_seconds")) {
        const auto* number = silent->as_integer();
        if (number == nullptr || number->get() < 1 || number->get() > 86400) {
            fault("silent_seconds must be a whole number from 1 to 86400");
        } else {
            config->silentSeconds = static_cast<int32_t>(number->get());
        }
    }
    if (const toml::node* allow = section.get("allow_from")) {
        const toml::array* list = allow->as_array();
        bool good = list != nullptr;
        std::vector<std::string> texts;
        for (size_t i = 0; good && i < list->size(); ++i) {
            const auto* address = list->get(i)->as_string();
            good = address != nullptr && !address->get().empty();
            if (good) {
                texts.push_back(address->get());
            }
        }
        std::vector<std::string> problems;
        good = readAddressList(texts, &config->allowFrom, &problems) && good;
        for (const std::string& problem : problems) {
            fault("allow_from: " + problem);
        }
        if (!good) {
            // Closed rather than open to all: nobody reaches the page until
            // the list is put right.
            config->allowFromBroken = true;
            fault("allow_from must be a list of addresses or subnets in double quotes");
        }
    }
    if (const toml::node* hours = section.get("session_hours")) {
        const auto* number = hours->as_integer();
        if (number == nullptr || number->get() < 1 || number->get() > 24 * 7) {
            fault("session_hours must be a whole number from 1 to 168");
        } else {
            config->sessionSeconds = number->get() * 3600;
        }
    }
    if (const toml::node* secure = section.get("secure_cookie")) {
        if (secure->as_boolean() == nullptr) {
            fault("secure_cookie must be true or false");
        } else {
            config->secureCookie = secure->as_boolean()->get();
        }
    }
}

// The operator's users and tokens, each an [[operator.user]] or
// [[operator.token]] entry with its name and secret.
void readOperatorEntries(const toml::table& section, OperatorConfig* config, const ConfigFault& fault) {
    auto entries = [&](const char* key, const char* secretKey, auto add) {
        const toml::node* node = section.get(key);
        if (node == nullptr) {
            return;
        }
        const toml::array* list = node->as_array();
        if (list == nullptr) {
            fault(std::string(key) + " entries are written as [[operator." + key + "]]");
            return;
        }
        for (const toml::node& entry : *list) {
            const toml::table* table = entry.as_table();
            const auto* name = table != nullptr ? table->get_as<std::string>("name") : nullptr;
            const auto* secret = table != nullptr ? table->get_as<std::string>(secretKey) : nullptr;
            if (name == nullptr || secret == nullptr || name->get().empty()) {
                fault(std::string("each [[operator.") + key + "]] needs name and " + secretKey);
                continue;
            }
            add(name->get(), secret->get());
        }
    };
    entries("user", "password_hash", [&](const std::string& name, const std::string& hash) {
        if (hash.rfind("$argon2", 0) != 0) {
            fault("user " + name + ": password_hash must come from \"velmorant-server user hash\"");
            return;
        }
        config->users.push_back({name, hash});
    });
    entries("token", "token", [&](const std::string& name, const std::string& token) {
        if (token.size() < SHORTEST_CONFIG_TOKEN) {
            fault("token " + name + ": a token needs at least 32 characters");
            return;
        }
        config->tokens.push_back({name, token});
    });
}

}  // namespace

bool loadOperatorConfig(const std::string& configPath, const StationConfig& station, OperatorConfig* config,
                        std::vector<std::string>* problems) {
    *config = OperatorConfig{};
    config->database = folderOf(station.store) + "/operator.db";
    toml::table root;
    std::string text;
    if (!readSettingsFile(configPath, &text, problems) || !parseSettingsText(text, &root, problems)) {
        return false;
    }
    const toml::table* section = root["operator"].as_table();
    if (section == nullptr) {
        return root.get("operator") == nullptr || (problems->push_back("[operator] must be a table"), false);
    }
    bool ok = true;
    auto fault = [&](const std::string& what) {
        problems->push_back("[operator] " + what);
        ok = false;
    };
    for (const auto& [key, node] : *section) {
        const std::string name(key.str());
        if (name != "database" && name != "silent_seconds" && name != "user" && name != "token" &&
            name != "allow_from" && name != "secure_cookie" && name != "session_hours") {
            problems->push_back("[operator] unknown key " + name + " (ignored)");
        }
    }
    readOperatorSettings(*section, station, config, fault);
    readOperatorEntries(*section, config, fault);
    return ok;
}
