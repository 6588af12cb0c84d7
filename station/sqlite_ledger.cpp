// The SQLite backend: the ledger in one file, shared by the processes of
// one host (field facts: "WAL does not work over a network filesystem":
// several stations need the PostgreSQL backend).

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <thread>

#include "ledger_db.hpp"

namespace station::detail {
namespace {

using S = LedgerStatus;

// A writer waits this long for another process's transaction (ours last
// milliseconds) before the call is Unavailable.
constexpr int kBusyTimeoutMs = 10000;

std::string trigger(const std::string& name, const std::string& event, const std::string& when,
                    const std::string& message) {
    return "CREATE TRIGGER " + name + " " + event + (when.empty() ? "" : " WHEN " + when) +
           " BEGIN SELECT RAISE(ABORT, '" + message + "'); END";
}

class SqliteDb final : public Db {
  public:
    SqliteDb(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteDb() override { sqlite3_close_v2(db_); }

    LedgerStatus begin(bool write, std::string& error) override {
        if (sqlite3_get_autocommit(db_) == 0) rollback();  // never left open, but never reused
        // BEGIN IMMEDIATE takes the write lock before the first read of a
        // read-then-write, waiting up to the busy timeout for it.
        return exec(write ? "BEGIN IMMEDIATE" : "BEGIN", {}, nullptr, error);
    }
    LedgerStatus exec(const std::string& sql, const std::vector<Param>& params,
                      std::vector<Row>* rows, std::string& error) override;
    void rollback() override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }
    LedgerStatus lockLedger(std::string&) override { return S::Ok; }
    const char* forUpdate() const override { return ""; }
    const char* hasMetaSql() const override {
        return "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'meta'";
    }
    std::vector<std::string> schemaV1() const override;

  private:
    LedgerStatus failure(int code, std::string& error) const {
        error = "SQLite " + path_ + ": " + sqlite3_errmsg(db_);
        switch (code & 0xFF) {
            case SQLITE_CONSTRAINT:
                return S::Conflict;
            case SQLITE_BUSY:
            case SQLITE_LOCKED:
                error += " (another process keeps it locked)";
                return S::Unavailable;
            case SQLITE_TOOBIG:
            case SQLITE_RANGE:
            case SQLITE_MISMATCH:
                return S::Invalid;
            default:
                return S::Failed;
        }
    }

    sqlite3* db_;
    std::string path_;
};

LedgerStatus SqliteDb::exec(const std::string& sql, const std::vector<Param>& params,
                            std::vector<Row>* rows, std::string& error) {
    if (rows) rows->clear();
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
    for (std::size_t i = 0; rc == SQLITE_OK && i < params.size(); ++i) {
        const Param& p = params[i];
        const int at = static_cast<int>(i + 1);
        const int size = static_cast<int>(p.bytes.size());
        if (p.kind == Param::Kind::Int) {
            rc = sqlite3_bind_int64(stmt, at, p.number);
        } else if (p.kind == Param::Kind::Text) {
            rc = sqlite3_bind_text(stmt, at, p.bytes.data(), size, SQLITE_TRANSIENT);
        } else {
            // A null pointer would bind NULL: an empty blob needs a real one.
            rc = sqlite3_bind_blob(stmt, at, size == 0 ? "" : p.bytes.data(), size,
                                   SQLITE_TRANSIENT);
        }
    }
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(stmt);
        if (rc != SQLITE_ROW || !rows) continue;
        Row& row = rows->emplace_back();
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            const int type = sqlite3_column_type(stmt, c);
            const void* data =
                type == SQLITE_BLOB ? sqlite3_column_blob(stmt, c) : sqlite3_column_text(stmt, c);
            const int size = sqlite3_column_bytes(stmt, c);
            if (type == SQLITE_NULL) {
                row.emplace_back();
            } else {
                row.emplace_back(size == 0 ? std::string()
                                           : std::string(static_cast<const char*>(data),
                                                         static_cast<std::size_t>(size)));
            }
        }
    }
    const LedgerStatus status = rc == SQLITE_DONE ? S::Ok : failure(rc, error);
    sqlite3_finalize(stmt);
    return status;
}

std::vector<std::string> SqliteDb::schemaV1() const {
    std::vector<std::string> sql = {
        "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL) STRICT",
        R"(CREATE TABLE runs (
             id INTEGER PRIMARY KEY,
             name TEXT NOT NULL UNIQUE CHECK (name <> ''),
             kind TEXT NOT NULL CHECK (kind IN ('counter', 'list')),
             prefix TEXT NOT NULL CHECK (prefix NOT GLOB '*[^!-~]*'),
             width INTEGER NOT NULL,
             first INTEGER NOT NULL,
             last INTEGER NOT NULL,
             next INTEGER NOT NULL,
             last_taken INTEGER,
             created_at TEXT NOT NULL,
             CHECK (0 <= first AND first <= last),
             CHECK (kind = 'list' AND prefix = '' AND width = 0 AND first = 1
                    OR kind = 'counter' AND width BETWEEN 1 AND 15
                       AND length(prefix) + width <= 15 AND length(CAST(last AS TEXT)) <= width),
             CHECK (first <= next AND next <= last + 1),
             CHECK (CASE WHEN last_taken IS NULL THEN next = first ELSE last_taken = next - 1 END),
             FOREIGN KEY (id, last_taken) REFERENCES numbers (run_id, position)
               DEFERRABLE INITIALLY DEFERRED) STRICT)",
        R"(CREATE TABLE run_serials (
             run_id INTEGER NOT NULL REFERENCES runs (id),
             position INTEGER NOT NULL CHECK (position >= 1),
             serial TEXT NOT NULL UNIQUE
               CHECK (length(serial) BETWEEN 1 AND 15 AND serial NOT GLOB '*[^!-~]*'),
             PRIMARY KEY (run_id, position)) STRICT)",
        R"(CREATE TABLE numbers (
             run_id INTEGER NOT NULL REFERENCES runs (id),
             position INTEGER NOT NULL,
             serial TEXT NOT NULL UNIQUE CHECK (length(serial) BETWEEN 1 AND 15),
             chip TEXT NOT NULL CHECK (chip <> ''),
             station TEXT NOT NULL CHECK (station <> ''),
             state TEXT NOT NULL,
             reserved_at TEXT NOT NULL CHECK (reserved_at <> ''),
             committed_at TEXT NOT NULL DEFAULT '',
             released_at TEXT NOT NULL DEFAULT '',
             reason TEXT NOT NULL DEFAULT '',
             PRIMARY KEY (run_id, position),
             CHECK (state = 'reserved' AND committed_at = '' AND released_at = '' AND reason = ''
                 OR state = 'committed' AND committed_at <> '' AND released_at = '' AND reason = ''
                 OR state = 'released' AND committed_at = '' AND released_at <> ''
                    AND reason <> '')) STRICT)",
        "CREATE UNIQUE INDEX numbers_live_chip ON numbers (run_id, chip) WHERE state <> 'released'",
        R"(CREATE TABLE records (
             id INTEGER PRIMARY KEY,
             run_id INTEGER NOT NULL REFERENCES runs (id),
             time TEXT NOT NULL CHECK (time <> ''),
             station TEXT NOT NULL,
             port TEXT NOT NULL,
             chip TEXT NOT NULL,
             old_serial BLOB NOT NULL,
             new_serial BLOB NOT NULL,
             cbus TEXT NOT NULL CHECK (length(cbus) IN (0, 14)),
             image_before BLOB NOT NULL CHECK (length(image_before) IN (0, 256)),
             image_after BLOB NOT NULL CHECK (length(image_after) IN (0, 256)),
             result TEXT NOT NULL CHECK (result IN ('programmed', 'kept', 'failed', 'refused')),
             error TEXT NOT NULL CHECK (result IN ('programmed', 'kept') OR error <> '')) STRICT)",
        trigger("runs_counter", "BEFORE UPDATE ON runs",
                "NEW.id IS NOT OLD.id OR NEW.name IS NOT OLD.name OR NEW.kind IS NOT OLD.kind "
                "OR NEW.prefix IS NOT OLD.prefix OR NEW.width IS NOT OLD.width "
                "OR NEW.first IS NOT OLD.first OR NEW.last IS NOT OLD.last "
                "OR NEW.created_at IS NOT OLD.created_at "
                "OR NEW.next IS NOT OLD.next + 1 OR NEW.last_taken IS NOT OLD.next "
                "OR OLD.last_taken IS NOT NULL AND NOT EXISTS (SELECT 1 FROM numbers "
                "WHERE run_id = OLD.id AND position = OLD.last_taken)",
                kRunsCounterMessage),
        trigger("numbers_reserve", "BEFORE INSERT ON numbers",
                "NEW.state IS NOT 'reserved' "
                "OR NEW.position IS NOT (SELECT last_taken FROM runs WHERE id = NEW.run_id) "
                "OR NEW.serial IS NOT (SELECT CASE r.kind WHEN 'list' THEN (SELECT s.serial "
                "FROM run_serials s WHERE s.run_id = r.id AND s.position = NEW.position) "
                "ELSE r.prefix || printf('%0*d', r.width, NEW.position) END "
                "FROM runs r WHERE r.id = NEW.run_id)",
                kNumbersReserveMessage),
        trigger("numbers_transition", "BEFORE UPDATE ON numbers",
                "OLD.state IS NOT 'reserved' OR NEW.state NOT IN ('committed', 'released') "
                "OR NEW.run_id IS NOT OLD.run_id OR NEW.position IS NOT OLD.position "
                "OR NEW.serial IS NOT OLD.serial OR NEW.chip IS NOT OLD.chip "
                "OR NEW.station IS NOT OLD.station OR NEW.reserved_at IS NOT OLD.reserved_at",
                kNumbersTransitionMessage),
    };
    for (const std::string table : {"runs", "run_serials", "numbers", "records"}) {
        sql.push_back(trigger(table + "_kept", "BEFORE DELETE ON " + table, "",
                              appendOnlyMessage(table, "deleted")));
    }
    for (const std::string table : {"run_serials", "records"}) {
        sql.push_back(trigger(table + "_fixed", "BEFORE UPDATE ON " + table, "",
                              appendOnlyMessage(table, "changed")));
    }
    return sql;
}

}  // namespace

std::unique_ptr<Db> openSqliteDb(const std::string& path, LedgerStatus& status,
                                 std::string& error) {
    status = S::Failed;
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            error = "SQLite " + path + ": cannot create its folder: " + ec.message();
            return nullptr;
        }
    }
    sqlite3* handle = nullptr;
    // NOMUTEX: the Ledger's own lock serializes the use of its connection.
    const int rc =
        sqlite3_open_v2(path.c_str(), &handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = "SQLite " + path + ": " + (handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        sqlite3_close_v2(handle);
        return nullptr;
    }
    auto db = std::make_unique<SqliteDb>(handle, path);
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    // Foreign keys are off unless each connection turns them on.  WAL lets
    // readers go on while one process writes.  synchronous=FULL: a commit
    // is on disk when it returns (WAL's NORMAL may lose the last ones to a
    // power cut, and a number the station believes reserved with them).
    const std::initializer_list<std::pair<const char*, const char*>> settings = {
        {"PRAGMA foreign_keys = ON", nullptr},
        {"PRAGMA journal_mode = WAL", "wal"},
        {"PRAGMA synchronous = FULL", nullptr},
        {"PRAGMA foreign_keys", "1"},
    };
    for (const auto& [pragma, expected] : settings) {
        // A new file switched to WAL by two processes at once: one gets
        // SQLITE_BUSY at once, without the busy timeout.  The switch is
        // kept in the file: retried until the other process has made it.
        std::vector<Row> rows;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        while ((status = db->exec(pragma, {}, &rows, error)) == S::Unavailable &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (status != S::Ok) return nullptr;
        if (expected && (rows.empty() || rows[0].empty() || rows[0][0] != expected)) {
            error = "SQLite " + path + ": " + pragma + " gives '" +
                    (rows.empty() || rows[0].empty() ? "" : rows[0][0].value_or("")) + "', not '" +
                    expected + "'";
            status = S::Failed;
            return nullptr;
        }
    }
    return db;
}

}  // namespace station::detail
