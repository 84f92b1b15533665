// The operator database: a SQLite file of its own beside the timetable store
// (an import replaces the store, never this), holding what the operator has
// set, the history of every change, users and API token hashes. It runs in
// WAL mode with full synchronous commits, and every change is one
// transaction together with its history line, so a change that was
// acknowledged survives the server being killed at any moment. SQLiteCpp
// holds the connection and statements; a failure of the file is a false
// answer here, never an exception past these functions.
#include <SQLiteCpp/SQLiteCpp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>

#include "server/station/station.h"

struct OperatorDb {
    explicit OperatorDb(const std::string& file)
        : db(file, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX, 5000) {}
    SQLite::Database db;  // the file, waiting up to 5 s for another writer
    std::mutex lock;      // one call at a time on the connection
    std::string path;     // the file as opened
    dev_t device = 0;     // which file it was, to notice it removed or replaced
    ino_t inode = 0;      // with device: the file's identity when opened
};

namespace {

const char* const SCHEMA =
    "CREATE TABLE IF NOT EXISTS users(name TEXT PRIMARY KEY, hash TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tokens(name TEXT PRIMARY KEY, hash TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS notices(id INTEGER PRIMARY KEY, boards TEXT NOT NULL, text_jp TEXT NOT NULL,"
    " text_en TEXT NOT NULL, scrolling INTEGER NOT NULL, color INTEGER NOT NULL, start_at INTEGER NOT NULL,"
    " end_at INTEGER NOT NULL, ended INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS board_controls(board INTEGER PRIMARY KEY, approach INTEGER NOT NULL,"
    " melody_key TEXT NOT NULL, melody_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS history(id INTEGER PRIMARY KEY, at INTEGER NOT NULL, who TEXT NOT NULL,"
    " what TEXT NOT NULL);";

// A delay or cancellation of a trip on a service day; run_start names one
// run of a trip run by frequency (seconds from the service day's start),
// RUN_EVERY every run of the trip that day.
const char* const TRAIN_CHANGES_COLUMNS =
    "(trip_id TEXT NOT NULL, service_date INTEGER NOT NULL, run_start INTEGER NOT NULL,"
    " board INTEGER NOT NULL, minutes INTEGER NOT NULL, cancelled INTEGER NOT NULL,"
    " PRIMARY KEY(trip_id, service_date, run_start))";

// A statement with its parameters bound in order.
template <typename... Values>
SQLite::Statement prepared(OperatorDb* db, const char* sql, const Values&... values) {
    SQLite::Statement statement(db->db, sql);
    int index = 1;
    (statement.bind(index++, values), ...);
    return statement;
}

// Runs a statement that returns no rows; the number of rows it changed.
template <typename... Values>
int run(OperatorDb* db, const char* sql, const Values&... values) {
    return prepared(db, sql, values...).exec();
}

// Runs one call on the database under its lock; a failure of the file
// gives `failed`.
template <typename Result, typename Call>
Result guarded(OperatorDb* db, Result failed, const Call& call) {
    std::lock_guard<std::mutex> hold(db->lock);
    try {
        return call();
    } catch (const std::exception&) {
        return failed;
    }
}

// Runs one change and its history line as a single transaction.
template <typename Change>
bool transaction(OperatorDb* db, int64_t at, const std::string& who, const std::string& what, Change change) {
    return guarded(db, false, [&] {
        SQLite::Transaction transaction(db->db, SQLite::TransactionBehavior::IMMEDIATE);
        if (!change()) {
            return false;  // rolled back as the transaction ends
        }
        run(db, "INSERT INTO history(at, who, what) VALUES(?, ?, ?)", at, who, what);
        transaction.commit();
        return true;
    });
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

// A notice's fields, bound in the order both the insert and the update
// name them, then `more`.
template <typename... More>
int runNotice(OperatorDb* db, const char* sql, const NoticeRecord& notice, const More&... more) {
    return run(db, sql, boardList(notice.boards), notice.notice.textJp, notice.notice.textEn,
               int64_t{notice.notice.scrolling ? 1 : 0}, int64_t{notice.notice.color}, notice.start,
               notice.end, int64_t{notice.ended ? 1 : 0}, more...);
}

bool trainChangesHaveRuns(OperatorDb* db) {
    return db->db
               .execAndGet("SELECT COUNT(*) FROM pragma_table_info('train_changes') WHERE name = 'run_start'")
               .getInt() > 0;
}

// A database written before changes could name one run of a frequency trip
// keys train_changes by trip and day alone. The table is rebuilt with the
// run's column in one transaction, each old row becoming a change of every
// run of its trip that day, which is what it meant; should any step fail,
// the old table stays as it was.
void addRunsToTrainChanges(OperatorDb* db) {
    if (trainChangesHaveRuns(db)) {
        return;
    }
    SQLite::Transaction transaction(db->db, SQLite::TransactionBehavior::IMMEDIATE);
    if (trainChangesHaveRuns(db)) {
        return;  // another process got there first
    }
    db->db.exec(std::string("CREATE TABLE train_changes_runs") + TRAIN_CHANGES_COLUMNS);
    const int copied = db->db.exec(
        "INSERT INTO train_changes_runs(trip_id, service_date, run_start, board, minutes, cancelled)"
        " SELECT trip_id, service_date, -1, board, minutes, cancelled FROM train_changes");
    if (copied != db->db.execAndGet("SELECT COUNT(*) FROM train_changes").getInt()) {
        throw std::runtime_error("train_changes could not be copied whole");
    }
    db->db.exec("DROP TABLE train_changes");
    db->db.exec("ALTER TABLE train_changes_runs RENAME TO train_changes");
    transaction.commit();
}

}  // namespace

OperatorDb* operatorDbOpen(const std::string& path, std::string* error) {
    // Password hashes and token hashes are in it: only the server's user
    // may read it (SQLite gives its -wal and -shm files the same mode).
    const int made = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (made >= 0) {
        close(made);
    }
    OperatorDbPtr db;
    try {
        db.reset(new OperatorDb(path));
        db->path = path;
        struct stat file;
        if (stat(path.c_str(), &file) == 0) {
            db->device = file.st_dev;
            db->inode = file.st_ino;
        }
        db->db.exec("PRAGMA journal_mode=WAL");
        db->db.exec("PRAGMA synchronous=FULL");
        db->db.exec(SCHEMA);
        db->db.exec(std::string("CREATE TABLE IF NOT EXISTS train_changes") + TRAIN_CHANGES_COLUMNS);
        try {
            addRunsToTrainChanges(db.get());
        } catch (const std::exception&) {
            // A read-only file still serves what it holds (changes are
            // refused until it can be written), its rows read as they were.
            if (operatorDbFault(db.get()).empty()) {
                throw;
            }
        }
    } catch (const std::exception& failure) {
        *error = path + ": " + failure.what();
        return nullptr;
    }
    return db.release();
}

void operatorDbClose(OperatorDb* db) {
    delete db;
}

void OperatorDbCloser::operator()(OperatorDb* db) const {
    operatorDbClose(db);
}

bool operatorDbLoad(OperatorDb* db, OperatorState* state) {
    *state = OperatorState{};
    return guarded(db, false, [&] {
        SQLite::Statement notices(
            db->db,
            "SELECT id, boards, text_jp, text_en, scrolling, color, start_at, end_at, ended FROM notices"
            " WHERE ended = 0 ORDER BY id");
        while (notices.executeStep()) {
            NoticeRecord record;
            record.id = notices.getColumn(0).getInt64();
            record.boards = parseBoardList(notices.getColumn(1).getString());
            record.notice.textJp = notices.getColumn(2).getString();
            record.notice.textEn = notices.getColumn(3).getString();
            record.notice.scrolling = notices.getColumn(4).getInt() != 0;
            record.notice.color = static_cast<uint8_t>(notices.getColumn(5).getInt() & 7);
            record.start = notices.getColumn(6).getInt64();
            record.end = notices.getColumn(7).getInt64();
            record.ended = notices.getColumn(8).getInt() != 0;
            state->notices.push_back(record);
        }
        // A table not yet given its runs (a read-only file) holds changes of
        // every run.
        SQLite::Statement changes(
            db->db, std::string("SELECT trip_id, service_date, board, minutes, cancelled, ") +
                        (trainChangesHaveRuns(db) ? "run_start" : "-1") + " FROM train_changes");
        while (changes.executeStep()) {
            ChangeRecord record;
            record.change.tripId = changes.getColumn(0).getString();
            record.change.serviceDay = serviceDayFromNumber(changes.getColumn(1).getInt());
            record.board = changes.getColumn(2).getInt();
            record.change.delayMinutes = changes.getColumn(3).getInt();
            record.change.cancelled = changes.getColumn(4).getInt() != 0;
            record.change.runStart = changes.getColumn(5).getInt();
            state->changes.push_back(record);
        }
        SQLite::Statement controls(db->db,
                                   "SELECT board, approach, melody_key, melody_at FROM board_controls");
        while (controls.executeStep()) {
            BoardControl control;
            control.board = controls.getColumn(0).getInt();
            control.approach = controls.getColumn(1).getInt();
            control.melodyKey = controls.getColumn(2).getString();
            control.melodyAt = controls.getColumn(3).getInt64();
            state->controls.push_back(control);
        }
        return true;
    });
}

bool operatorDbSaveNotice(OperatorDb* db, NoticeRecord* notice, int64_t at, const std::string& who,
                          const std::string& what) {
    const int64_t before = notice->id;
    const bool ok = transaction(db, at, who, what, [&] {
        if (notice->id == 0) {
            runNotice(
                db,
                "INSERT INTO notices(boards, text_jp, text_en, scrolling, color, start_at, end_at, ended)"
                " VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                *notice);
            notice->id = db->db.getLastInsertRowid();
            return true;
        }
        return runNotice(db,
                         "UPDATE notices SET boards = ?, text_jp = ?, text_en = ?, scrolling = ?, color = ?,"
                         " start_at = ?, end_at = ?, ended = ? WHERE id = ?",
                         *notice, notice->id) == 1;
    });
    if (!ok && before == 0) {
        notice->id = 0;  // the insert was rolled back
    }
    return ok;
}

bool operatorDbSaveChange(OperatorDb* db, const ChangeRecord& change, bool clear, int64_t at,
                          const std::string& who, const std::string& what) {
    const TrainChange& train = change.change;
    // The table keeps the day as the YYYYMMDD number it always has.
    const int32_t serviceDate = serviceDayNumber(train.serviceDay);
    return transaction(db, at, who, what, [&] {
        // A change of every run replaces those of single runs.
        if (train.runStart == RUN_EVERY) {
            run(db, "DELETE FROM train_changes WHERE trip_id = ? AND service_date = ?", train.tripId,
                serviceDate);
        }
        // Clearing one run while a change of every run stays: the run is
        // kept as timetabled, the other runs as they were.
        const bool everyRunChanged =
            train.runStart != RUN_EVERY &&
            prepared(db,
                     "SELECT 1 FROM train_changes WHERE trip_id = ? AND service_date = ? AND run_start = ?",
                     train.tripId, serviceDate, RUN_EVERY)
                .executeStep();
        if (clear && !everyRunChanged) {
            run(db, "DELETE FROM train_changes WHERE trip_id = ? AND service_date = ? AND run_start = ?",
                train.tripId, serviceDate, train.runStart);
        } else {
            run(db,
                "INSERT OR REPLACE INTO train_changes(trip_id, service_date, run_start, board, minutes,"
                " cancelled) VALUES(?, ?, ?, ?, ?, ?)",
                train.tripId, serviceDate, train.runStart, change.board, clear ? 0 : train.delayMinutes,
                int64_t{!clear && train.cancelled ? 1 : 0});
        }
        return true;
    });
}

bool operatorDbSaveControl(OperatorDb* db, const BoardControl& control, int64_t at, const std::string& who,
                           const std::string& what) {
    return transaction(db, at, who, what, [&] {
        run(db,
            "INSERT OR REPLACE INTO board_controls(board, approach, melody_key, melody_at) VALUES(?, ?, ?, "
            "?)",
            control.board, control.approach, control.melodyKey, control.melodyAt);
        return true;
    });
}

int32_t operatorDbDropChangesBefore(OperatorDb* db, ServiceDay day, int64_t at) {
    return guarded(db, int32_t{-1}, [&] {
        SQLite::Transaction transaction(db->db, SQLite::TransactionBehavior::IMMEDIATE);
        const int32_t dropped =
            run(db, "DELETE FROM train_changes WHERE service_date < ?", serviceDayNumber(day));
        if (dropped > 0) {
            run(db, "INSERT INTO history(at, who, what) VALUES(?, ?, ?)", at, std::string("server"),
                "dropped " + std::to_string(dropped) + " delays or cancellations of service days before " +
                    formatServiceDay(day));
        }
        transaction.commit();
        return dropped;
    });
}

std::vector<HistoryRecord> operatorDbHistory(OperatorDb* db, int32_t limit) {
    return guarded(db, std::vector<HistoryRecord>(), [&] {
        std::vector<HistoryRecord> history;
        SQLite::Statement query =
            prepared(db, "SELECT id, at, who, what FROM history ORDER BY id DESC LIMIT ?", limit);
        while (query.executeStep()) {
            history.push_back({query.getColumn(0).getInt64(), query.getColumn(1).getInt64(),
                               query.getColumn(2).getString(), query.getColumn(3).getString()});
        }
        return history;
    });
}

// The first column of the first row of a query by one text, or nothing.
std::string lookUp(OperatorDb* db, const char* sql, const std::string& value) {
    return guarded(db, std::string(), [&] {
        SQLite::Statement query = prepared(db, sql, value);
        return query.executeStep() ? query.getColumn(0).getString() : std::string();
    });
}

bool operatorDbSetUser(OperatorDb* db, const std::string& name, const std::string& passwordHash) {
    return guarded(db, false, [&] {
        return run(db, "INSERT OR REPLACE INTO users(name, hash) VALUES(?, ?)", name, passwordHash) == 1;
    });
}

bool operatorDbRemoveUser(OperatorDb* db, const std::string& name) {
    return guarded(db, false, [&] { return run(db, "DELETE FROM users WHERE name = ?", name) > 0; });
}

bool operatorDbNote(OperatorDb* db, int64_t at, const std::string& who, const std::string& what) {
    return guarded(db, false, [&] {
        return run(db, "INSERT INTO history(at, who, what) VALUES(?, ?, ?)", at, who, what) == 1;
    });
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
    return lookUp(db, "SELECT hash FROM users WHERE name = ?", name);
}

bool operatorDbAddToken(OperatorDb* db, const std::string& name, const std::string& hash) {
    return guarded(db, false, [&] {
        return run(db, "INSERT OR REPLACE INTO tokens(name, hash) VALUES(?, ?)", name, hash) == 1;
    });
}

bool operatorDbRevokeToken(OperatorDb* db, const std::string& name) {
    return guarded(db, false, [&] { return run(db, "DELETE FROM tokens WHERE name = ?", name) == 1; });
}

std::string operatorDbTokenName(OperatorDb* db, const std::string& hash) {
    return lookUp(db, "SELECT name FROM tokens WHERE hash = ?", hash);
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
    const OperatorDbPtr db(operatorDbOpen(config.database, error));
    if (db == nullptr) {
        return false;
    }
    const bool ok = operatorDbLoad(db.get(), state);
    if (!ok) {
        *error = config.database + ": cannot be read";
    }
    return ok;
}
