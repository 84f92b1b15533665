// velmorant-server: the board server a station runs. "import" turns a GTFS
// feed into the timetable store, "serve" answers the boards, "check" prints
// what every board would get now.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "server/http/http.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;

struct Options {
    std::string feed;           // import: the GTFS feed (zip or folder)
    std::string config;         // station.toml
    std::string store;          // import: the store file without a configuration
    std::string now;            // serve, check: local time the clock starts at
    bool frozen = false;        // serve, check: the timetable clock stands still
    std::string listen;         // serve: the address, over the configuration's
    int32_t port = -1;          // serve: the port, over the configuration's; -1 as configured
    std::string portFile;       // serve: where the port in use is written
    bool acceptShrink = false;  // import: take a feed that lost most of its rows
    uint64_t entrySizeLimit = ENTRY_SIZE_LIMIT;  // import: largest expanded size of one feed file
};

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

// serve and check: the station, the clock, then the work.
int runServeOrCheck(bool serve, const Options& options) {
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
    return serve ? serveBoards(config, clock, options.portFile) : checkBoards(config, clock);
}

// --now and --frozen, which serve and check share.
void addClockOptions(CLI::App* command, Options* options) {
    command->add_option("--config", options->config, "the station's configuration")->required();
    command->add_option(
        "--now", options->now,
        "start the clock at local time YYYY-MM-DDTHH:MM[:SS], optionally with an offset such as -05:00");
    command->add_flag("--frozen", options->frozen, "keep the timetable clock still");
}

// "user add|remove|hash" and "token add|revoke".
void addAccountCommands(CLI::App* app, OperatorCommand* account) {
    CLI::App* user = app->add_subcommand("user", "operator users (password on stdin)")->require_subcommand(1);
    CLI::App* token = app->add_subcommand("token", "API tokens for other systems")->require_subcommand(1);
    const auto action = [account](CLI::App* area, const char* name, const char* help, bool named) {
        CLI::App* command = area->add_subcommand(name, help);
        if (named) {
            command->add_option("NAME", account->name, "whose")->required();
            command->add_option("--config", account->config, "the station's configuration")
                ->default_str("/etc/velmorant/station.toml");
        }
        command->callback([account, area, name] {
            account->area = area->get_name();
            account->action = name;
        });
    };
    action(user, "add", "add a user or change their password; their sessions end", true);
    action(user, "remove", "remove a user; their sessions end", true);
    action(user, "hash", "print a password_hash for station.toml", false);
    action(token, "add", "make a token (printed once)", true);
    action(token, "revoke", "revoke a token", true);
}

// Parses the command line and runs the command; CLI11 reports a wrong
// command line by exception, caught here.
int runCommandLine(int argc, char** argv) {
    CLI::App app(
        "velmorant-server: the board server a station runs.\n"
        "TIME is local time in the feed's time zone: YYYY-MM-DDTHH:MM[:SS]");
    app.require_subcommand(1);
    Options options;
    CLI::App* import = app.add_subcommand("import", "turn a GTFS feed into the timetable store");
    import->add_option("FEED", options.feed, "the feed, a zip file or a folder")->required();
    auto* config = import->add_option("--config", options.config, "the station's configuration");
    import->add_option("--store", options.store, "the store file")->excludes(config);
    import->add_flag("--accept-shrink", options.acceptShrink,
                     "import a feed that keeps far fewer rows than the store in use");
    import
        ->add_option("--max-entry-size", options.entrySizeLimit, "the largest expanded size of one feed file")
        ->check(CLI::PositiveNumber);
    CLI::App* serve = app.add_subcommand("serve", "answer the boards and the operator's page");
    addClockOptions(serve, &options);
    serve->add_option("--listen", options.listen, "the address to listen on");
    serve->add_option("--port", options.port, "the port (0: any free one)")->check(CLI::Range(0, 65535));
    serve->add_option("--port-file", options.portFile, "where the port in use is written");
    CLI::App* check = app.add_subcommand("check", "print what every board would get now");
    addClockOptions(check, &options);
    OperatorCommand account;
    addAccountCommands(&app, &account);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? EXIT_OK : EXIT_USAGE;
    }
    if (import->parsed()) {
        return runImport(options);
    }
    if (serve->parsed() || check->parsed()) {
        return runServeOrCheck(serve->parsed(), options);
    }
    return runOperatorCommand(account);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runCommandLine(argc, argv);
    } catch (...) {
        // Whatever escaped (out of memory, a library's own fault) ends the
        // program with a message instead of an abort.
        serverLog("stopped by an unexpected fault");
        return EXIT_REFUSED;
    }
}
