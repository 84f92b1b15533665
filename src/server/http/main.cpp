// velmorant-server: the board server a station runs. "import" turns a GTFS
// feed into the timetable store, "serve" answers the boards, "check" prints
// what every board would get now.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "server/http/http.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;

const char* const USAGE =
    "usage:\n"
    "  velmorant-server import FEED [--config station.toml | --store FILE] [--accept-shrink]\n"
    "                          [--max-entry-size BYTES]\n"
    "  velmorant-server serve --config station.toml [--now TIME] [--frozen] [--listen ADDR] [--port N]\n"
    "                         [--port-file FILE]\n"
    "  velmorant-server check --config station.toml [--now TIME] [--frozen]\n"
    "  velmorant-server user add NAME [--config station.toml]   (password on stdin)\n"
    "  velmorant-server user hash                               (password on stdin)\n"
    "  velmorant-server token add NAME [--config station.toml]\n"
    "  velmorant-server token revoke NAME [--config station.toml]\n"
    "TIME is local time in the feed's time zone: YYYY-MM-DDTHH:MM[:SS]\n";

int usage(const char* problem) {
    if (problem != nullptr) {
        std::fprintf(stderr, "velmorant-server: %s\n", problem);
    }
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}

struct Options {
    std::string feed;
    std::string config;
    std::string store;
    std::string now;
    bool frozen = false;
    std::string listen;
    int32_t port = -1;
    std::string portFile;
    bool acceptShrink = false;                   // import a feed that lost most of its rows
    uint64_t entrySizeLimit = ENTRY_SIZE_LIMIT;  // largest expanded size of one feed file
};

// Reads the options after the command; false on anything unknown.
bool readOptions(int argc, char** argv, int first, Options* options, std::string* problem) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* target) {
            if (i + 1 >= argc) {
                *problem = arg + " needs a value";
                return false;
            }
            *target = argv[++i];
            return true;
        };
        if (arg == "--config") {
            if (!value(&options->config))
                return false;
        } else if (arg == "--store") {
            if (!value(&options->store))
                return false;
        } else if (arg == "--now") {
            if (!value(&options->now))
                return false;
        } else if (arg == "--frozen") {
            options->frozen = true;
        } else if (arg == "--listen") {
            if (!value(&options->listen))
                return false;
        } else if (arg == "--port") {
            std::string text;
            if (!value(&text))
                return false;
            char* end = nullptr;
            const long port = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != 0 || port < 0 || port > 65535) {
                *problem = "--port needs a number from 0 to 65535";
                return false;
            }
            options->port = static_cast<int32_t>(port);
        } else if (arg == "--accept-shrink") {
            options->acceptShrink = true;
        } else if (arg == "--max-entry-size") {
            std::string text;
            if (!value(&text))
                return false;
            const auto [end, fault] =
                std::from_chars(text.data(), text.data() + text.size(), options->entrySizeLimit);
            if (text.empty() || fault != std::errc() || end != text.data() + text.size()) {
                *problem = "--max-entry-size needs a number of bytes";
                return false;
            }
        } else if (arg == "--port-file") {
            if (!value(&options->portFile))
                return false;
        } else if (!arg.empty() && arg[0] != '-' && options->feed.empty()) {
            options->feed = arg;
        } else {
            *problem = "unknown argument " + arg;
            return false;
        }
    }
    return true;
}

bool loadConfig(const std::string& path, StationConfig* config) {
    std::vector<std::string> problems;
    const bool ok = loadStationConfig(path, config, &problems);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), problem.c_str());
    }
    return ok;
}

int runImport(const Options& options) {
    std::string store = options.store;
    if (!options.config.empty()) {
        StationConfig config;
        if (!loadConfig(options.config, &config)) {
            return EXIT_USAGE;
        }
        store = config.store;
    }
    if (store.empty()) {
        store = "timetable.db";
    }
    ImportReport report;
    ImportOptions importOptions;
    importOptions.acceptShrink = options.acceptShrink;
    importOptions.entrySizeLimit = options.entrySizeLimit;
    const int32_t result = importFeed(options.feed, store, &report, importOptions);
    for (const std::string& fault : report.faults) {
        std::printf("%s\n", fault.c_str());
    }
    if (report.faultCount > FAULTS_PRINTED) {
        std::printf("... and %lld more faults\n", static_cast<long long>(report.faultCount - FAULTS_PRINTED));
    }
    if (result != IMPORT_OK) {
        std::printf("refused: %s; the store %s is unchanged\n", report.refusal.c_str(), store.c_str());
        return EXIT_REFUSED;
    }
    std::printf("imported %lld stops, %lld trips, %lld stop times into %s (%lld rows skipped)\n",
                static_cast<long long>(report.stops), static_cast<long long>(report.trips),
                static_cast<long long>(report.stopTimes), store.c_str(),
                static_cast<long long>(report.faultCount));
    return EXIT_OK;
}

// The clock of serve and check: the real one, or one started at --now.
bool makeClock(const Options& options, const StationConfig& config, ServerClock* clock) {
    *clock = ServerClock{};
    clock->frozen = options.frozen;
    if (options.now.empty()) {
        if (options.frozen) {
            clock->startInstant = clockNow(*clock);
            clock->startMonotonicMs = monotonicMs();
        }
        return true;
    }
    std::string error;
    const StorePtr store = storeOpen(config.store, &error);
    if (store == nullptr) {
        std::fprintf(stderr, "velmorant-server: %s\n", error.c_str());
        return false;
    }
    const date::time_zone* zone = findZone(storeMeta(store.get(), "timezone"));
    if (!parseLocalTime(options.now, zone, &clock->startInstant)) {
        std::fprintf(stderr,
                     "velmorant-server: --now %s is not YYYY-MM-DDTHH:MM[:SS] with an optional offset such "
                     "as -05:00\n",
                     options.now.c_str());
        return false;
    }
    clock->startMonotonicMs = monotonicMs();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage(nullptr);
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (command == "user" || command == "token") {
        return operatorCommand(argc, argv);
    }
    Options options;
    std::string problem;
    if (!readOptions(argc, argv, 2, &options, &problem)) {
        return usage(problem.c_str());
    }
    if (command == "import") {
        if (options.feed.empty()) {
            return usage("import needs a FEED");
        }
        if (!options.config.empty() && !options.store.empty()) {
            return usage("give --config or --store, not both");
        }
        return runImport(options);
    }
    if (command != "serve" && command != "check") {
        return usage(("unknown command " + command).c_str());
    }
    if (options.config.empty() || !options.feed.empty()) {
        return usage((command + " needs --config and no other argument").c_str());
    }
    if (command == "check" && (!options.listen.empty() || options.port >= 0 || !options.portFile.empty())) {
        return usage("check takes no --listen, --port or --port-file");
    }
    StationConfig config;
    if (!loadConfig(options.config, &config)) {
        return EXIT_USAGE;
    }
    if (!options.listen.empty()) {
        config.listen = options.listen;
    }
    if (options.port >= 0) {
        config.port = options.port;
    }
    ServerClock clock;
    if (!makeClock(options, config, &clock)) {
        return EXIT_REFUSED;
    }
    return command == "serve" ? serveBoards(config, clock, options.portFile) : checkBoards(config, clock);
}
