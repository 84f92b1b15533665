// The operator database: a SQLite file of its own beside the timetable store
// (an import replaces the store, never this), holding what the operator has
// set, the history of every change, users and API token hashes. It runs in
// WAL mode with full synchronous commits, and every change is one
// transaction together with its history line, so a change that was
// acknowledged survives the server being killed at any moment.
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "server/station/station.h"

struct OperatorDb {
    sqlite3* db = nullptr;
    std::mutex lock;
    std::string path;  // the file as opened
    dev_t device = 0;  // which file it was, to notice it removed or replaced
    ino_t inode = 0;
};

namespace {

const char* const SCHEMA =
    "CREATE TABLE IF NOT EXISTS users(name TEXT PRIMARY KEY, hash TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tokens(name TEXT PRIMARY KEY, hash TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS notices(id INTEGER PRIMARY KEY, boards TEXT NOT NULL, text_jp TEXT NOT NULL,"
    " text_en TEXT NOT NULL, scrolling INTEGER NOT NULL, color INTEGER NOT NULL, start_at INTEGER NOT NULL,"
    " end_at INTEGER NOT NULL, ended INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS train_changes(trip_id TEXT NOT NULL, service_date INTEGER NOT NULL,"
    " board INTEGER NOT NULL, minutes INTEGER NOT NULL, cancelled INTEGER NOT NULL,"
    " PRIMARY KEY(trip_id, service_date));"
    "CREATE TABLE IF NOT EXISTS board_controls(board INTEGER PRIMARY KEY, approach INTEGER NOT NULL,"
    " melody_key TEXT NOT NULL, melody_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS history(id INTEGER PRIMARY KEY, at INTEGER NOT NULL, who TEXT NOT NULL,"
    " what TEXT NOT NULL);";

// A prepared statement for the length of one call.
struct Statement {
    sqlite3_stmt* statement = nullptr;
    int next = 1;
    Statement(sqlite3* db, const char* sql) {
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    }
    ~Statement() {
        sqlite3_finalize(statement);
    }
    Statement& text(const std::string& value) {
        sqlite3_bind_text(statement, next++, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& integer(int64_t value) {
        sqlite3_bind_int64(statement, next++, value);
        return *this;
    }
    bool row() {
        return statement != nullptr && sqlite3_step(statement) == SQLITE_ROW;
    }
    bool run() {
        return statement != nullptr && sqlite3_step(statement) == SQLITE_DONE;
    }
    std::string column(int index) {
        const unsigned char* value = sqlite3_column_text(statement, index);
        return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
    }
    int64_t number(int index) {
        return sqlite3_column_int64(statement, index);
    }
};

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Runs one change and its history line as a single transaction.
template <typename Change>
bool transaction(OperatorDb* db, int64_t at, const std::string& who, const std::string& what, Change change) {
    std::lock_guard<std::mutex> hold(db->lock);
    if (!exec(db->db, "BEGIN IMMEDIATE")) {
        return false;
    }
    const bool ok = change() && Statement(db->db, "INSERT INTO history(at, who, what) VALUES(?, ?, ?)")
                                    .integer(at)
                                    .text(who)
                                    .text(what)
                                    .run();
    if (!ok || !exec(db->db, "COMMIT")) {
        exec(db->db, "ROLLBACK");
        return false;
    }
    return true;
}

std::string boardList(const std::vector<int32_t>& boards) {
    std::string text;
    for (int32_t board : boards) {
        text += (text.empty() ? "" : ",") + std::to_string(board);
    }
    return text;
}

std::vector<int32_t> parseBoardList(const std::string& text) {
    std::vector<int32_t> boards;
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        boards.push_back(std::atoi(text.substr(start, comma - start).c_str()));
        start = comma + 1;
    }
    return boards;
}

// A notice's fields, bound in the order both the insert and the update name them.
Statement& bindNotice(Statement* statement, const NoticeRecord& notice) {
    return statement->text(boardList(notice.boards))
        .text(notice.notice.textJp)
        .text(notice.notice.textEn)
        .integer(notice.notice.scrolling ? 1 : 0)
        .integer(notice.notice.color)
        .integer(notice.start)
        .integer(notice.end)
        .integer(notice.ended ? 1 : 0);
}

}  // namespace

OperatorDb* operatorDbOpen(const std::string& path, std::string* error) {
    // Password hashes and token hashes are in it: only the server's user
    // may read it (SQLite gives its -wal and -shm files the same mode).
    const int made = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (made >= 0) {
        close(made);
    }
    OperatorDb* db = new OperatorDb;
    db->path = path;
    struct stat file;
    if (stat(path.c_str(), &file) == 0) {
        db->device = file.st_dev;
        db->inode = file.st_ino;
    }
    if (sqlite3_open_v2(path.c_str(), &db->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = path + ": " + (db->db != nullptr ? sqlite3_errmsg(db->db) : "cannot open");
        sqlite3_close(db->db);
        delete db;
        return nullptr;
    }
    sqlite3_busy_timeout(db->db, 5000);
    if (!exec(db->db, "PRAGMA journal_mode=WAL") || !exec(db->db, "PRAGMA synchronous=FULL") ||
        !exec(db->db, SCHEMA)) {
        *error = path + ": " + sqlite3_errmsg(db->db);
        sqlite3_close(db->db);
        delete db;
        return nullptr;
    }
    return db;
}

void operatorDbClose(OperatorDb* db) {
    if (db != nullptr) {
        sqlite3_close(db->db);
        delete db;
    }
}

bool operatorDbLoad(OperatorDb* db, OperatorState* state) {
    std::lock_guard<std::mutex> hold(db->lock);
    *state = OperatorState{};
    Statement notices(
        db->db,
        "SELECT id, boards, text_jp, text_en, scrolling, color, start_at, end_at, ended FROM notices"
        " WHERE ended = 0 ORDER BY id");
    while (notices.row()) {
        NoticeRecord record;
        record.id = notices.number(0);
        record.boards = parseBoardList(notices.column(1));
        record.notice.textJp = notices.column(2);
        record.notice.textEn = notices.column(3);
        record.notice.scrolling = notices.number(4) != 0;
        record.notice.color = static_cast<uint8_t>(notices.number(5) & 7);
        record.start = notices.number(6);
        record.end = notices.number(7);
        record.ended = notices.number(8) != 0;
        state->notices.push_back(record);
    }
    Statement changes(db->db, "SELECT trip_id, service_date, board, minutes, cancelled FROM train_changes");
    while (changes.row()) {
        ChangeRecord record;
        record.change.tripId = changes.column(0);
        record.change.serviceDate = static_cast<int32_t>(changes.number(1));
        record.board = static_cast<int32_t>(changes.number(2));
        record.change.delayMinutes = static_cast<int32_t>(changes.number(3));
        record.change.cancelled = changes.number(4) != 0;
        state->changes.push_back(record);
    }
    Statement controls(db->db, "SELECT board, approach, melody_key, melody_at FROM board_controls");
    while (controls.row()) {
        BoardControl control;
        control.board = static_cast<int32_t>(controls.number(0));
        control.approach = static_cast<int32_t>(controls.number(1));
        control.melodyKey = controls.column(2);
        control.melodyAt = controls.number(3);
        state->controls.push_back(control);
    }
    return true;
}

bool operatorDbSaveNotice(OperatorDb* db, NoticeRecord* notice, int64_t at, const std::string& who,
                          const std::string& what) {
    return transaction(db, at, who, what, [&] {
        if (notice->id == 0) {
            Statement insert(db->db,
                             "INSERT INTO notices(boards, text_jp, text_en, scrolling, color, start_at,"
                             " end_at, ended) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
            const bool ok = bindNotice(&insert, *notice).run();
            notice->id = ok ? sqlite3_last_insert_rowid(db->db) : 0;
            return ok;
        }
        Statement update(db->db,
                         "UPDATE notices SET boards = ?, text_jp = ?, text_en = ?, scrolling = ?, color = ?,"
                         " start_at = ?, end_at = ?, ended = ? WHERE id = ?");
        return bindNotice(&update, *notice).integer(notice->id).run() && sqlite3_changes(db->db) == 1;
    });
}

bool operatorDbSaveChange(OperatorDb* db, const ChangeRecord& change, bool clear, int64_t at,
                          const std::string& who, const std::string& what) {
    return transaction(db, at, who, what, [&] {
        if (clear) {
            return Statement(db->db, "DELETE FROM train_changes WHERE trip_id = ? AND service_date = ?")
                .text(change.change.tripId)
                .integer(change.change.serviceDate)
                .run();
        }
        return Statement(
                   db->db,
                   "INSERT OR REPLACE INTO train_changes(trip_id, service_date, board, minutes, cancelled)"
                   " VALUES(?, ?, ?, ?, ?)")
            .text(change.change.tripId)
            .integer(change.change.serviceDate)
            .integer(change.board)
            .integer(change.change.delayMinutes)
            .integer(change.change.cancelled ? 1 : 0)
            .run();
    });
}

bool operatorDbSaveControl(OperatorDb* db, const BoardControl& control, int64_t at, const std::string& who,
                           const std::string& what) {
    return transaction(db, at, who, what, [&] {
        return Statement(db->db,
                         "INSERT OR REPLACE INTO board_controls(board, approach, melody_key, melody_at)"
                         " VALUES(?, ?, ?, ?)")
            .integer(control.board)
            .integer(control.approach)
            .text(control.melodyKey)
            .integer(control.melodyAt)
            .run();
    });
}

int32_t operatorDbDropChangesBefore(OperatorDb* db, int32_t serviceDate, int64_t at) {
    std::lock_guard<std::mutex> hold(db->lock);
    if (!exec(db->db, "BEGIN IMMEDIATE")) {
        return -1;
    }
    int32_t dropped = 0;
    bool ok =
        Statement(db->db, "DELETE FROM train_changes WHERE service_date < ?").integer(serviceDate).run();
    if (ok) {
        dropped = sqlite3_changes(db->db);
    }
    if (ok && dropped > 0) {
        ok = Statement(db->db, "INSERT INTO history(at, who, what) VALUES(?, ?, ?)")
                 .integer(at)
                 .text("server")
                 .text("dropped " + std::to_string(dropped) +
                       " delays or cancellations of service days before " + std::to_string(serviceDate))
                 .run();
    }
    if (!ok || !exec(db->db, "COMMIT")) {
        exec(db->db, "ROLLBACK");
        return -1;
    }
    return dropped;
}

std::vector<HistoryRecord> operatorDbHistory(OperatorDb* db, int32_t limit) {
    std::lock_guard<std::mutex> hold(db->lock);
    std::vector<HistoryRecord> history;
    Statement query(db->db, "SELECT id, at, who, what FROM history ORDER BY id DESC LIMIT ?");
    query.integer(limit);
    while (query.row()) {
        history.push_back({query.number(0), query.number(1), query.column(2), query.column(3)});
    }
    return history;
}

bool operatorDbSetUser(OperatorDb* db, const std::string& name, const std::string& passwordHash) {
    std::lock_guard<std::mutex> hold(db->lock);
    return Statement(db->db, "INSERT OR REPLACE INTO users(name, hash) VALUES(?, ?)")
        .text(name)
        .text(passwordHash)
        .run();
}

bool operatorDbRemoveUser(OperatorDb* db, const std::string& name) {
    std::lock_guard<std::mutex> hold(db->lock);
    return Statement(db->db, "DELETE FROM users WHERE name = ?").text(name).run() &&
           sqlite3_changes(db->db) > 0;
}

bool operatorDbNote(OperatorDb* db, int64_t at, const std::string& who, const std::string& what) {
    std::lock_guard<std::mutex> hold(db->lock);
    return Statement(db->db, "INSERT INTO history(at, who, what) VALUES(?, ?, ?)")
        .integer(at)
        .text(who)
        .text(what)
        .run();
}

std::string operatorDbFault(OperatorDb* db) {
    struct stat file;
    if (stat(db->path.c_str(), &file) != 0 || file.st_dev != db->device || file.st_ino != db->inode) {
        return db->path +
               " was removed or replaced while the server runs; changes are refused until "
               "the server is restarted";
    }
    // The mode counts too: the server may run as root, whom access() lets
    // write anything.
    if (access(db->path.c_str(), W_OK) != 0 || (file.st_mode & S_IWUSR) == 0) {
        return db->path + " is read-only; changes are refused";
    }
    return std::string();
}

std::string operatorDbUserHash(OperatorDb* db, const std::string& name) {
    std::lock_guard<std::mutex> hold(db->lock);
    Statement query(db->db, "SELECT hash FROM users WHERE name = ?");
    query.text(name);
    return query.row() ? query.column(0) : std::string();
}

bool operatorDbAddToken(OperatorDb* db, const std::string& name, const std::string& hash) {
    std::lock_guard<std::mutex> hold(db->lock);
    return Statement(db->db, "INSERT OR REPLACE INTO tokens(name, hash) VALUES(?, ?)")
        .text(name)
        .text(hash)
        .run();
}

bool operatorDbRevokeToken(OperatorDb* db, const std::string& name) {
    std::lock_guard<std::mutex> hold(db->lock);
    return Statement(db->db, "DELETE FROM tokens WHERE name = ?").text(name).run() &&
           sqlite3_changes(db->db) == 1;
}

std::string operatorDbTokenName(OperatorDb* db, const std::string& hash) {
    std::lock_guard<std::mutex> hold(db->lock);
    Statement query(db->db, "SELECT name FROM tokens WHERE hash = ?");
    query.text(hash);
    return query.row() ? query.column(0) : std::string();
}

bool operatorReadState(const StationConfig& station, OperatorState* state, std::string* error) {
    *state = OperatorState{};
    OperatorConfig config;
    std::vector<std::string> problems;
    if (!loadOperatorConfig(station.path, station, &config, &problems)) {
        *error = problems.empty() ? "[operator] cannot be read" : problems.front();
        return false;
    }
    if (access(config.database.c_str(), F_OK) != 0) {
        return true;  // nothing set yet
    }
    // Opened for writing, though nothing is written: a read-only connection
    // would leave its -wal and -shm files behind, owned by whoever ran it.
    OperatorDb* db = operatorDbOpen(config.database, error);
    if (db == nullptr) {
        return false;
    }
    const bool ok = operatorDbLoad(db, state);
    operatorDbClose(db);
    if (!ok) {
        *error = config.database + ": cannot be read";
    }
    return ok;
}
