// station.toml: the server's address, its files and the station's boards,
// read with toml++. Every key has a default that a Japanese station would
// expect, so a board needs little more than its number and its platform.
#include <toml++/toml.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "documents/documents.h"
#include "server/station/station.h"

namespace {

// The classic palette (colour codes 1 to 7) as 0xRRGGBB.
constexpr uint32_t PALETTE[8] = {0x1E1E1E, 0x30FF40, 0xFF8C00, 0xFF2828,
                                 0xFFE000, 0xF0F0F0, 0x40B8FF, 0xFF50D0};

struct Reader {
    std::vector<std::string>* problems;
    bool ok = true;
    std::string where;

    void fault(const std::string& what) {
        problems->push_back(where + what);
        ok = false;
    }
    void warn(const std::string& what) {
        problems->push_back(where + what + " (ignored)");
    }

    void text(const toml::table& table, const char* key, std::string* value) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return;
        }
        if (const auto* string = node->as_string()) {
            *value = string->get();
        } else {
            fault(std::string(key) + " must be a text in double quotes");
        }
    }
    void integer(const toml::table& table, const char* key, int32_t* value, int64_t low, int64_t high) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return;
        }
        const auto* number = node->as_integer();
        if (number == nullptr || number->get() < low || number->get() > high) {
            fault(std::string(key) + " must be a whole number from " + std::to_string(low) + " to " +
                  std::to_string(high));
            return;
        }
        *value = static_cast<int32_t>(number->get());
    }
};

bool parseClockOfDay(const std::string& text, int32_t* seconds) {
    int hours = 0;
    int minutes = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d:%d%c", &hours, &minutes, &tail) != 2 || hours < 0 || hours > 23 ||
        minutes < 0 || minutes > 59) {
        return false;
    }
    *seconds = hours * 3600 + minutes * 60;
    return true;
}

// A colour in the configuration: a colour letter or kanji of the board's
// documents, or "#RRGGBB" / "RRGGBB" for the nearest palette colour.
uint8_t configColor(const std::string& text) {
    const std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (hex.size() == 6) {
        const uint8_t nearest = nearestPaletteColor(hex);
        if (nearest != 0) {
            return nearest;
        }
    }
    char16_t wide[8] = {};
    decodeUtf8(reinterpret_cast<const unsigned char*>(text.data()),
               static_cast<int32_t>(std::min<size_t>(text.size(), 16)), wide, 8);
    return parseColorCode(wide);
}

bool parseHexColor(const std::string& text, int64_t* value) {
    const std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    *value = std::stol(hex, nullptr, 16);
    return true;
}

const std::set<std::string> SERVER_KEYS = {"listen",
                                           "port",
                                           "store",
                                           "sounds",
                                           "day_start",
                                           "boards_from",
                                           "trusted_proxies",
                                           "most_connections",
                                           "most_connections_per_address"};
const std::set<std::string> BOARD_KEYS = {"number",
                                          "name",
                                          "style",
                                          "stop_id",
                                          "station",
                                          "platform_code",
                                          "routes",
                                          "direction_id",
                                          "melody",
                                          "melody_lead_seconds",
                                          "rows",
                                          "width",
                                          "label_jp",
                                          "label_en",
                                          "caption_time",
                                          "caption_dest",
                                          "route_colors",
                                          "blink_seconds",
                                          "platform",
                                          "side",
                                          "line_jp",
                                          "line_en",
                                          "line_color",
                                          "via_jp",
                                          "via_en",
                                          "languages",
                                          "approach_seconds",
                                          "approach_label",
                                          "approach_message",
                                          "address"};
// What a board's texts say, beside the keys above.
const std::set<std::string> BOARD_TEXT_KEYS = {"train_template", "show_not_in_service"};

// The routes a board keeps to: a list of route_id texts.
void readBoardRoutes(Reader* reader, const toml::table& table, BoardConfig* board) {
    if (const toml::node* routes = table.get("routes")) {
        const toml::array* list = routes->as_array();
        if (list == nullptr) {
            reader->fault("routes must be a list of route_id texts");
        } else {
            for (const toml::node& route : *list) {
                if (const auto* text = route.as_string()) {
                    board->routes.push_back(text->get());
                } else {
                    reader->fault("routes must be a list of route_id texts");
                }
            }
        }
    }
}

// The board's melody: a name the board itself would accept.
void readBoardMelody(Reader* reader, const toml::table& table, BoardConfig* board) {
    reader->text(table, "melody", &board->melody);
    if (!board->melody.empty()) {
        char16_t wide[MELODY_NAME_CAPACITY + 2] = {};
        decodeUtf8(reinterpret_cast<const unsigned char*>(board->melody.data()),
                   static_cast<int32_t>(std::min<size_t>(board->melody.size(), 1024)), wide,
                   MELODY_NAME_CAPACITY + 2);
        if (!melodyNameIsValid(wide)) {
            reader->fault("melody \"" + board->melody +
                          "\" is not a name a board accepts (.mp3 or .wav, at most one folder)");
        }
    }
}

// The colours of a board's routes: a table of route_id = colour.
void readRouteColors(Reader* reader, const toml::table& table, BoardConfig* board) {
    if (const toml::node* colors = table.get("route_colors")) {
        const toml::table* map = colors->as_table();
        if (map == nullptr) {
            reader->fault("route_colors must be a table of route_id = colour");
        } else {
            for (const auto& [route, value] : *map) {
                const auto* text = value.as_string();
                const uint8_t color = text != nullptr ? configColor(text->get()) : 0;
                if (color == 0) {
                    reader->fault("route_colors." + std::string(route.str()) +
                                  " must be a colour letter (G O R Y W B P) or \"#RRGGBB\"");
                } else {
                    board->routeColors.push_back({std::string(route.str()), color});
                }
            }
        }
    }
}

// The languages a board shows, in order: a list of language letters.
void readBoardLanguages(Reader* reader, const toml::table& table, BoardConfig* board) {
    if (const toml::node* languages = table.get("languages")) {
        const toml::array* list = languages->as_array();
        std::string letters;
        bool good = list != nullptr && !list->empty();
        if (good) {
            for (const toml::node& language : *list) {
                const auto* text = language.as_string();
                if (text == nullptr || text->get().size() != 1 ||
                    std::string("jeksto").find(text->get()[0]) == std::string::npos) {
                    good = false;
                    break;
                }
                letters += text->get();
            }
        }
        if (!good) {
            reader->fault("languages must be a list of the letters \"j\", \"e\", \"k\", \"s\", \"t\", \"o\"");
        } else {
            board->languages = letters;
        }
    }
}

void readBoard(Reader* reader, const toml::table& table, BoardConfig* board) {
    for (const auto& [key, node] : table) {
        if (BOARD_KEYS.count(std::string(key.str())) == 0 &&
            BOARD_TEXT_KEYS.count(std::string(key.str())) == 0) {
            reader->warn("unknown key " + std::string(key.str()));
        }
    }
    reader->integer(table, "number", &board->number, 1, 99999);
    reader->text(table, "address", &board->address);
    if (board->number == 0) {
        reader->fault("number missing");
    }
    reader->text(table, "name", &board->name);
    std::string style = "classic";
    reader->text(table, "style", &style);
    if (style == "new-style") {
        board->newStyle = true;
    } else if (style != "classic") {
        reader->fault("style must be \"classic\" or \"new-style\"");
    }
    reader->text(table, "stop_id", &board->stopId);
    reader->text(table, "station", &board->station);
    reader->text(table, "platform_code", &board->platformCode);
    if (board->stopId.empty() && (board->station.empty() || board->platformCode.empty())) {
        reader->fault("needs stop_id, or station and platform_code");
    }
    readBoardRoutes(reader, table, board);
    reader->integer(table, "direction_id", &board->directionId, 0, 1);
    readBoardMelody(reader, table, board);
    reader->integer(table, "melody_lead_seconds", &board->melodyLeadSeconds, 0, 600);
    reader->integer(table, "rows", &board->rows, 1, 5);
    reader->integer(table, "width", &board->width, 64, 512);
    board->labelJp = board->name;
    reader->text(table, "label_jp", &board->labelJp);
    reader->text(table, "label_en", &board->labelEn);
    reader->text(table, "caption_time", &board->captionTime);
    reader->text(table, "caption_dest", &board->captionDest);
    reader->text(table, "train_template", &board->trainTemplate);
    if (const toml::node* show = table.get("show_not_in_service")) {
        if (show->as_boolean() == nullptr) {
            reader->fault("show_not_in_service must be true or false");
        } else {
            board->showNotInService = show->as_boolean()->get();
        }
    }
    readRouteColors(reader, table, board);
    reader->integer(table, "blink_seconds", &board->blinkSeconds, 0, 3600);
    reader->text(table, "platform", &board->platform);
    std::string side = "L";
    reader->text(table, "side", &side);
    if (side == "R" || side == "r" || side == "right") {
        board->side = 'R';
    } else if (side != "L" && side != "l" && side != "left") {
        reader->fault("side must be \"L\" or \"R\"");
    }
    reader->text(table, "line_jp", &board->lineJp);
    reader->text(table, "line_en", &board->lineEn);
    std::string lineColor;
    reader->text(table, "line_color", &lineColor);
    if (!lineColor.empty() && !parseHexColor(lineColor, &board->lineColor)) {
        reader->fault("line_color must be \"#RRGGBB\"");
    }
    reader->text(table, "via_jp", &board->viaJp);
    reader->text(table, "via_en", &board->viaEn);
    readBoardLanguages(reader, table, board);
    reader->integer(table, "approach_seconds", &board->approachSeconds, 0, 3600);
    reader->text(table, "approach_label", &board->approachLabel);
    reader->text(table, "approach_message", &board->approachMessage);
}

// [station]: the languages of the boards, their timing and the server's own
// texts.
void readStationSection(Reader* reader, const toml::table& root, StationConfig* config) {
    const toml::node* node = root.get("station");
    if (node == nullptr) {
        return;
    }
    reader->where = "[station] ";
    const toml::table* station = node->as_table();
    if (station == nullptr) {
        reader->fault("must be a table");
        return;
    }
    const std::set<std::string> keys = {"languages",   "japanese_ms",    "english_ms",
                                        "language_ms", "first_train",    "end_of_service",
                                        "delay",       "not_in_service", "cancelled"};
    for (const auto& [key, value] : *station) {
        if (keys.count(std::string(key.str())) == 0) {
            reader->warn("unknown key " + std::string(key.str()));
        }
    }
    BoardConfig languages;
    languages.languages.clear();
    readBoardLanguages(reader, *station, &languages);
    config->languages = languages.languages;
    reader->integer(*station, "japanese_ms", &config->japaneseMs, 0, 60000);
    reader->integer(*station, "english_ms", &config->englishMs, 0, 60000);
    reader->integer(*station, "language_ms", &config->languageMs, 500, 60000);
    reader->text(*station, "end_of_service", &config->endOfService);
    reader->text(*station, "first_train", &config->firstTrain);
    reader->text(*station, "delay", &config->delay);
    reader->text(*station, "not_in_service", &config->notInService);
    reader->text(*station, "cancelled", &config->cancelled);
}

// A board as the station's settings make it before its own are read.
BoardConfig boardDefaults(const StationConfig& config) {
    BoardConfig board;
    if (!config.languages.empty()) {
        board.languages = config.languages;
    }
    return board;
}

std::string resolvePath(const std::string& folder, const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    return folder + "/" + path;
}

// One address list of [server], read like the operator's allow_from.
void readServerAddressList(const toml::table& server, const char* key, std::vector<AddressRange>* ranges,
                           std::vector<std::string>* addressProblems) {
    const toml::node* node = server.get(key);
    if (node == nullptr) {
        return;
    }
    std::vector<std::string> texts;
    const toml::array* list = node->as_array();
    bool good = list != nullptr;
    for (size_t i = 0; good && i < list->size(); ++i) {
        const auto* text = list->get(i)->as_string();
        good = text != nullptr;
        if (good) {
            texts.push_back(text->get());
        }
    }
    std::vector<std::string> problems;
    if (!good) {
        problems.push_back("must be a list of addresses or subnets in double quotes");
    }
    readAddressList(texts, ranges, &problems);
    for (const std::string& problem : problems) {
        addressProblems->push_back("[server] " + std::string(key) + ": " + problem);
    }
}

// The address lists (the board API's allow-list, the trusted proxies) and
// the connection caps of [server]. A wrong list is noted apart from the other faults: "check" refuses it,
// while "serve" logs it and keeps the boards served.
void readServerAddresses(Reader* reader, const toml::table& server, StationConfig* config) {
    reader->integer(server, "most_connections", &config->mostConnections, 16, 1000000);
    reader->integer(server, "most_connections_per_address", &config->mostConnectionsPerAddress, 1, 1000000);
    readServerAddressList(server, "boards_from", &config->boardsFrom, &config->addressProblems);
    readServerAddressList(server, "trusted_proxies", &config->trustedProxies, &config->addressProblems);
}

// Each board's own address, when it is bound to one.
void checkBoardAddresses(StationConfig* config) {
    for (const BoardConfig& board : config->boards) {
        AddressRange range;
        if (!board.address.empty() && (!readAddressRange(board.address, &range) || range.bits < 32 ||
                                       (!range.v4 && range.bits < 128))) {
            config->addressProblems.push_back("board " + std::to_string(board.number) + ": address \"" +
                                              board.address + "\" is not one address");
        }
    }
}

}  // namespace

uint8_t nearestPaletteColor(const std::string& rgbHex) {
    int64_t value = 0;
    if (!parseHexColor(rgbHex, &value) || (!rgbHex.empty() && rgbHex[0] == '#')) {
        return 0;
    }
    const int32_t r = static_cast<int32_t>(value >> 16 & 0xFF);
    const int32_t g = static_cast<int32_t>(value >> 8 & 0xFF);
    const int32_t b = static_cast<int32_t>(value & 0xFF);
    uint8_t best = 1;
    int64_t bestDistance = -1;
    for (uint8_t code = 1; code < 8; ++code) {
        const int32_t dr = r - static_cast<int32_t>(PALETTE[code] >> 16 & 0xFF);
        const int32_t dg = g - static_cast<int32_t>(PALETTE[code] >> 8 & 0xFF);
        const int32_t db = b - static_cast<int32_t>(PALETTE[code] & 0xFF);
        const int64_t distance =
            static_cast<int64_t>(dr) * dr + static_cast<int64_t>(dg) * dg + static_cast<int64_t>(db) * db;
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = code;
        }
    }
    return best;
}

bool readStationConfig(const std::string& text, const std::string& folder, StationConfig* config,
                       std::vector<std::string>* problems) {
    *config = StationConfig{};
    config->folder = folder;
    toml::table root;
    if (!parseSettingsText(text, &root, problems)) {
        return false;
    }
    Reader reader{problems, true, ""};
    std::string store = "timetable.db";
    std::string sounds = "sounds";
    for (const auto& [key, node] : root) {
        // [operator] belongs to the operator's page (operatorconfig.cpp),
        // [[realtime]] to the live feeds (realtime/realtimeconfig.cpp).
        if (key.str() != "server" && key.str() != "board" && key.str() != "operator" &&
            key.str() != "realtime" && key.str() != "station") {
            reader.warn("unknown section " + std::string(key.str()));
        }
    }
    if (const toml::node* serverNode = root.get("server")) {
        reader.where = "[server] ";
        const toml::table* server = serverNode->as_table();
        if (server == nullptr) {
            reader.fault("must be a table");
        } else {
            for (const auto& [key, node] : *server) {
                if (SERVER_KEYS.count(std::string(key.str())) == 0) {
                    reader.warn("unknown key " + std::string(key.str()));
                }
            }
            reader.text(*server, "listen", &config->listen);
            reader.integer(*server, "port", &config->port, 0, 65535);
            reader.text(*server, "store", &store);
            reader.text(*server, "sounds", &sounds);
            std::string dayStart;
            reader.text(*server, "day_start", &dayStart);
            readServerAddresses(&reader, *server, config);
            if (!dayStart.empty() && !parseClockOfDay(dayStart, &config->dayStartSeconds)) {
                reader.fault("day_start must be \"H:MM\"");
            }
        }
    }
    readStationSection(&reader, root, config);
    config->store = resolvePath(folder, store);
    config->sounds = resolvePath(folder, sounds);
    std::set<int32_t> numbers;
    if (const toml::node* boardsNode = root.get("board")) {
        const toml::array* boards = boardsNode->as_array();
        if (boards == nullptr) {
            reader.where = "";
            reader.fault("boards are written as [[board]] sections");
        } else {
            for (size_t i = 0; i < boards->size(); ++i) {
                reader.where = "[[board]] " + std::to_string(i + 1) + ": ";
                const toml::table* table = boards->get(i)->as_table();
                if (table == nullptr) {
                    reader.fault("must be a table");
                    continue;
                }
                BoardConfig board = boardDefaults(*config);
                readBoard(&reader, *table, &board);
                if (board.number != 0 && !numbers.insert(board.number).second) {
                    reader.fault("number " + std::to_string(board.number) + " is used by another board");
                }
                config->boards.push_back(std::move(board));
            }
        }
    }
    if (config->boards.empty()) {
        reader.where = "";
        reader.fault("no [[board]] section");
    }
    checkBoardAddresses(config);
    return reader.ok;
}

bool loadStationConfig(const std::string& path, StationConfig* config, std::vector<std::string>* problems) {
    std::string text;
    if (!readSettingsFile(path, &text, problems)) {
        return false;
    }
    const bool ok = readStationConfig(text, folderOf(path), config, problems);
    config->path = path;
    return ok;
}

bool readSettingsFile(const std::string& path, std::string* text, std::vector<std::string>* problems) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        problems->push_back(path + ": cannot open");
        return false;
    }
    std::stringstream whole;
    whole << file.rdbuf();
    *text = whole.str();
    return true;
}

bool parseSettingsText(const std::string& text, toml::table* root, std::vector<std::string>* problems) {
    try {
        *root = toml::parse(text);
    } catch (const toml::parse_error& error) {
        std::ostringstream message;
        message << "line " << error.source().begin.line << ": " << error.description();
        problems->push_back(message.str());
        return false;
    }
    return true;
}
