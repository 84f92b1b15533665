// Fuzz entry for the station configuration reader fed a raw station.toml:
// the TOML parser and every board key's checks.
#include <cstddef>
#include <cstdint>

#include "server/station/station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StationConfig config;
    std::vector<std::string> problems;
    const bool ok =
        readStationConfig(std::string(reinterpret_cast<const char*>(data), size), "/srv", &config, &problems);
    if (ok) {
        // An accepted configuration has boards with what serving needs.
        for (const BoardConfig& board : config.boards) {
            if (board.number < 1 || board.rows < 1 || board.rows > 5 ||
                (board.stopId.empty() && (board.station.empty() || board.platformCode.empty()))) {
                __builtin_trap();
            }
        }
        if (config.boards.empty() || config.port < 0 || config.port > 65535) {
            __builtin_trap();
        }
    } else if (problems.empty()) {
        __builtin_trap();  // a refusal always says why
    }
    return 0;
}
