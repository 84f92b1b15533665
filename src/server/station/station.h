// The station's own settings and records, below the timetable: station.toml
// (its boards and the [operator] section: database, users, tokens, who may
// ask), the operator database that keeps what staff have set (notices,
// train changes, board controls, history, users and token hashes), and the
// service day both it and the timetable count days in. Nothing
// here needs the network, fonts or crypto, so "import" and "check" can link
// it alone.
#pragma once

// toml++'s declarations alone (it has no lighter public header): the whole
// parser stays in the sources that read a table.
#include <toml++/impl/forward_declarations.h>

#include <date/date.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Service days

// A service day of the timetable: the local date whose GTFS times count from
// its noon minus twelve hours. The databases, feeds and the JSON API write
// it as a YYYYMMDD number. Four bytes, as the number was: a board holds
// thousands of departures that each carry one.
struct ServiceDay {
    date::local_days date;  // the local date of the service day
};
inline bool operator==(ServiceDay a, ServiceDay b) {
    return a.date == b.date;
}
inline bool operator<(ServiceDay a, ServiceDay b) {
    return a.date < b.date;
}
inline ServiceDay operator+(ServiceDay day, date::days count) {
    return ServiceDay{day.date + count};
}
inline ServiceDay operator-(ServiceDay day, date::days count) {
    return ServiceDay{day.date - count};
}
// No day: what a live feed leaves out (its start date is optional) and what
// a train the feed added without one runs on. Written as the number 0.
constexpr ServiceDay NO_SERVICE_DAY{date::local_days{date::days{INT32_MIN}}};
// The day of a YYYYMMDD number, NO_SERVICE_DAY for 0; and back.
ServiceDay serviceDayFromNumber(int32_t yyyymmdd);
int32_t serviceDayNumber(ServiceDay day);
// "2026-12-06": a day as people read it.
std::string formatServiceDay(ServiceDay day);
// "YYYYMMDD", as GTFS writes a date; and read back (eight digits, a real
// date from 1900 on).
std::string formatGtfsDate(ServiceDay day);
bool parseGtfsDate(const std::string& text, ServiceDay* day);

// ---------------------------------------------------------------------------
// Who may ask: addresses and subnets

// One address or subnet of an allow-list.
struct AddressRange {
    bool v4 = false;         // an IPv4 range (IPv4-mapped IPv6 peers match it too)
    uint8_t bytes[16] = {};  // the address, 4 or 16 bytes used
    int32_t bits = 0;        // how many leading bits must agree
};

// "10.1.2.3", "10.1.2.0/24", "fd00::/8", "::ffff:10.1.2.3"; false for
// anything else.
bool readAddressRange(const std::string& text, AddressRange* range);
// Each text into ranges; false when any is no address or subnet (each
// named in problems, the good ones kept).
bool readAddressList(const std::vector<std::string>& texts, std::vector<AddressRange>* ranges,
                     std::vector<std::string>* problems);
bool addressInRange(const std::string& address, const AddressRange& range);
// Whether a peer's address is in the list; an empty list allows everyone.
bool addressAllowed(const std::string& address, const std::vector<AddressRange>& ranges);
// A peer's address as people write it: "::ffff:10.1.2.3" becomes
// "10.1.2.3", anything else stays as it is.
std::string plainAddress(const std::string& address);
// Who is behind a connection: when the peer is one of the trusted proxies,
// the rightmost address of the request's X-Forwarded-For (the one that
// proxy added); otherwise, or when the header is absent or that entry is
// no address, the peer itself. An empty list trusts no one.
std::string forwardedClient(const std::string& peer, const std::string& forwardedFor,
                            const std::vector<AddressRange>& trustedProxies);

// ---------------------------------------------------------------------------
// Station configuration (station.toml)

constexpr int32_t LANGUAGE_SLOTS = 6;

// The letter of each colour of the classic palette (1 green ... 7 pink) in
// a board's documents and on the operator's page; 0, no colour, has none.
constexpr char COLOR_LETTERS[8] = {0, 'G', 'O', 'R', 'Y', 'W', 'B', 'P'};

struct RouteColor {
    std::string routeId;
    uint8_t color;
};

struct BoardConfig {
    int32_t number = 0;
    std::string name;
    bool newStyle = false;
    std::string stopId;
    std::string station;
    std::string platformCode;
    std::vector<std::string> routes;
    int32_t directionId = -1;
    std::string melody;
    int32_t melodyLeadSeconds = 20;
    // classic
    int32_t rows = 3;
    int32_t width = 256;
    std::string labelJp;
    std::string labelEn;
    std::string captionTime = "発車時刻";
    std::string captionDest = "行先";
    // What a train's row says, in every language: "{destination}", "{route}"
    // (the route's short name, else its long name) and "{train}" (the
    // trip's trip_short_name, its type or number) are filled in.
    std::string trainTemplate = "{destination}";
    // A train that takes nobody on here (pickup_type 1, e.g. to the depot)
    // is listed as not in service instead of left out.
    bool showNotInService = false;
    std::vector<RouteColor> routeColors;
    int32_t blinkSeconds = 60;
    // new-style
    std::string platform;
    char side = 'L';
    std::string lineJp;
    std::string lineEn;
    int64_t lineColor = -1;  // 0xRRGGBB, -1 from the route
    std::string viaJp;
    std::string viaEn;
    std::string languages = "je";
    int32_t approachSeconds = 60;
    std::string approachLabel = "接近|Approaching";
    std::string approachMessage = "まもなく列車がまいります|A train is approaching";
    // The address the board polls from ("address"), empty when any; health
    // shows a poll from elsewhere as from an unexpected address.
    std::string address;
};

struct StationConfig {
    std::string path;    // the file it was read from
    std::string folder;  // relative paths count from here
    std::string listen = "127.0.0.1";
    int32_t port = 8020;
    std::string store;
    std::string sounds;
    int32_t dayStartSeconds = 4 * 3600;
    // [station]: the languages the boards show, their timing and the texts
    // the server writes itself ("|" between the languages' texts, in the
    // order j e k s t o).
    std::string languages;    // letters; each board's default, empty: "je"
    int32_t japaneseMs = -1;  // a classic board's Japanese phase; -1: the board's own
    int32_t englishMs = -1;   // a classic board's English phase; -1: the board's own
    int32_t languageMs = -1;  // a new-style sign's turn per language; -1: the sign's own
    std::string endOfService = "本日の列車は終了しました|Service has ended for today";
    std::string firstTrain = "始発 {time}|First train {time}";  // after the end of service
    std::string delay = "約{minutes}分遅れ|{minutes} min late";
    std::string notInService = "回送|Not in service";  // a board's train that takes nobody on
    // A cancelled train's notice; a part in [brackets] is left out when a
    // field in it has no text.
    std::string cancelled =
        "{time}発 {destination}行は運休です|The {time} train[ to {destination}] is cancelled";
    std::vector<BoardConfig> boards;
    // Addresses whose requests reach the board API ("boards_from"; empty:
    // any address).
    std::vector<AddressRange> boardsFrom;
    // Reverse proxies whose X-Forwarded-For is believed ("trusted_proxies";
    // empty: none): a login through one is throttled and written in the
    // history under the address the proxy forwarded for.
    std::vector<AddressRange> trustedProxies;
    int32_t mostConnections = 4096;          // open connections at once, in total
    int32_t mostConnectionsPerAddress = 64;  // from one address not in boards_from
    // Mistakes in the address lists: "check" refuses them; "serve" logs
    // them and keeps serving the boards.
    std::vector<std::string> addressProblems;
};

// Reads the text of station.toml. False when the file cannot serve (each
// reason in problems); warnings go to problems too but keep the result true.
bool readStationConfig(const std::string& text, const std::string& folder, StationConfig* config,
                       std::vector<std::string>* problems);
bool loadStationConfig(const std::string& path, StationConfig* config, std::vector<std::string>* problems);

// What every part that reads its own sections of station.toml shares: the
// file's whole text (false with "path: cannot open") and the text parsed
// (false with "line N: what is wrong").
bool readSettingsFile(const std::string& path, std::string* text, std::vector<std::string>* problems);
bool parseSettingsText(const std::string& text, toml::table* root, std::vector<std::string>* problems);

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path);

// The palette colour nearest to "RRGGBB" (0 when the text is no colour).
uint8_t nearestPaletteColor(const std::string& rgbHex);

// ---------------------------------------------------------------------------
// What staff set for a board's trains and texts

struct BoardNotice {
    std::string textJp;
    std::string textEn;
    bool scrolling = false;
    uint8_t color = 4;  // a classic colour code, yellow unless chosen
};

// A delay or cancellation of one train: a trip on a service day, and for a
// trip run by frequency (several runs a day under one trip_id) the run.
struct TrainChange {
    std::string tripId;                      // the trip (GTFS trip_id)
    ServiceDay serviceDay = NO_SERVICE_DAY;  // its service day
    int32_t delayMinutes = 0;                // minutes late; 0 with cancelled false: as timetabled
    bool cancelled = false;                  // the train does not run
    // The run's start, seconds from the service day's start, for one run of
    // a trip run by frequency; RUN_EVERY: every run of the trip that day
    // (an ordinary trip has one).
    int32_t runStart = -1;
};

constexpr int32_t RUN_EVERY = -1;

constexpr int32_t APPROACH_AUTO = 0;
constexpr int32_t APPROACH_ON = 1;
constexpr int32_t APPROACH_OFF = 2;

// ---------------------------------------------------------------------------
// Operator settings from station.toml ([operator] and its users and tokens)

struct ConfigUser {
    std::string name;
    std::string passwordHash;  // crypto_pwhash_str form
};

struct ConfigToken {
    std::string name;
    std::string token;
};

struct OperatorConfig {
    std::string database;  // the operator database file
    int32_t silentSeconds = 30;
    // Addresses and subnets that may reach the page and the JSON API
    // (empty: any); the board API has its own list (boards_from).
    std::vector<AddressRange> allowFrom;
    // Some allow_from entry was no address: then no address may reach the
    // page until it is put right (the boards are still served).
    bool allowFromBroken = false;
    int64_t sessionSeconds = 12 * 3600;  // a login lasts this long, however busy
    bool secureCookie = false;           // cookies only over HTTPS (behind a proxy)
    std::vector<ConfigUser> users;
    std::vector<ConfigToken> tokens;
};

// Reads the [operator] section of the station configuration file. The
// database defaults to "operator.db" beside the timetable store.
bool loadOperatorConfig(const std::string& configPath, const StationConfig& station, OperatorConfig* config,
                        std::vector<std::string>* problems);

// ---------------------------------------------------------------------------
// The operator database

struct OperatorDb;

OperatorDb* operatorDbOpen(const std::string& path, std::string* error);
void operatorDbClose(OperatorDb* db);
// An owner that closes the database when it goes.
struct OperatorDbCloser {
    void operator()(OperatorDb* db) const;
};
using OperatorDbPtr = std::unique_ptr<OperatorDb, OperatorDbCloser>;

struct NoticeRecord {
    int64_t id = 0;
    std::vector<int32_t> boards;  // empty: every board
    BoardNotice notice;
    int64_t start = 0;  // Unix seconds; 0: from now
    int64_t end = 0;    // Unix seconds; 0: until ended
    bool ended = false;
};

struct ChangeRecord {
    TrainChange change;
    int32_t board = 0;  // the board it was set from, for the history
};

struct BoardControl {
    int32_t board = 0;
    int32_t approach = APPROACH_AUTO;
    std::string melodyKey;
    int64_t melodyAt = 0;
};

struct HistoryRecord {
    int64_t id = 0;
    int64_t at = 0;  // server clock, Unix seconds
    std::string who;
    std::string what;
};

// Everything the operator has set, as read from the database.
struct OperatorState {
    std::vector<NoticeRecord> notices;
    std::vector<ChangeRecord> changes;
    std::vector<BoardControl> controls;
};

bool operatorDbLoad(OperatorDb* db, OperatorState* state);
// Each change below is written together with its history line in one
// committed transaction; true only once it is on disk.
bool operatorDbSaveNotice(OperatorDb* db, NoticeRecord* notice, int64_t at, const std::string& who,
                          const std::string& what);
bool operatorDbSaveChange(OperatorDb* db, const ChangeRecord& change, bool clear, int64_t at,
                          const std::string& who, const std::string& what);
bool operatorDbSaveControl(OperatorDb* db, const BoardControl& control, int64_t at, const std::string& who,
                           const std::string& what);
std::vector<HistoryRecord> operatorDbHistory(OperatorDb* db, int32_t limit);
// Drops delays and cancellations of service days before the given one
// (YYYYMMDD): their trains have left and no board can show them again. The
// history keeps what was set; one history line says what was dropped. The
// number dropped, or -1 when the database refused.
int32_t operatorDbDropChangesBefore(OperatorDb* db, ServiceDay day, int64_t at);

// Users and API tokens kept in the database (the configuration file may add
// more). Tokens are kept only as hashes.
bool operatorDbSetUser(OperatorDb* db, const std::string& name, const std::string& passwordHash);
std::string operatorDbUserHash(OperatorDb* db, const std::string& name);
// Removes a user; false when there was none.
bool operatorDbRemoveUser(OperatorDb* db, const std::string& name);
// A history line of its own (logins, failed logins).
bool operatorDbNote(OperatorDb* db, int64_t at, const std::string& who, const std::string& what);
// Why changes cannot be stored now (the file removed, replaced or
// read-only), empty when they can.
std::string operatorDbFault(OperatorDb* db);
bool operatorDbAddToken(OperatorDb* db, const std::string& name, const std::string& tokenHash);
// False when no token of that name was in force.
bool operatorDbRevokeToken(OperatorDb* db, const std::string& name);
// The name of the token in force with that hash, empty when none.
std::string operatorDbTokenName(OperatorDb* db, const std::string& tokenHash);

// What is set, read from the operator database named by the station's
// [operator] section (for "check"; nothing set when the database does not
// exist yet, and then none is made).
bool operatorReadState(const StationConfig& station, OperatorState* state, std::string* error);
