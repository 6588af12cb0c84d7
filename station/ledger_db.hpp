// What the ledger's logic (ledger.cpp) needs from a database: statements
// with `?` parameters, transactions, and the few places where SQLite and
// PostgreSQL differ.  The logic is written once over this; each backend
// (sqlite_ledger.cpp, postgres_ledger.cpp) holds its connection and its
// dialect of the schema.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger.hpp"

namespace station::detail {

// A value bound to a `?` of a statement.
struct Param {
    enum class Kind { Text, Int, Blob } kind = Kind::Text;
    std::string bytes;  // the text, or the blob's bytes
    std::int64_t number = 0;
};
inline Param text(std::string value) { return {Param::Kind::Text, std::move(value), 0}; }
inline Param integer(std::int64_t value) { return {Param::Kind::Int, {}, value}; }
inline Param blob(std::string bytes) { return {Param::Kind::Blob, std::move(bytes), 0}; }

// A result row: each column as text (integers in decimal, blobs as their
// raw bytes), nullopt for NULL.
using Row = std::vector<std::optional<std::string>>;

class Db {
  public:
    virtual ~Db() = default;
    // Starts a transaction; `write` takes the write lock now (SQLite's
    // BEGIN IMMEDIATE) for a read-then-write.  A lost connection is
    // re-established first: nothing of the call has been done yet.
    virtual LedgerStatus begin(bool write, std::string& error) = 0;
    // One statement; its rows in `rows` when given.
    virtual LedgerStatus exec(const std::string& sql, const std::vector<Param>& params,
                              std::vector<Row>* rows, std::string& error) = 0;
    virtual void rollback() = 0;
    // Serializes schema creation and run creation among processes, inside
    // the transaction (SQLite's write lock already does).
    virtual LedgerStatus lockLedger(std::string& error) = 0;
    // Appended to a SELECT of the run's row to lock it against other
    // transactions until the end of this one.
    virtual const char* forUpdate() const = 0;
    // A query giving one row with 1 when the meta table exists, else 0.
    virtual const char* hasMetaSql() const = 0;
    // The statements that create schema version 1.
    virtual std::vector<std::string> schemaV1() const = 0;
};

// nullptr with `error` (and `status`) set when it cannot be opened.
std::unique_ptr<Db> openSqliteDb(const std::string& path, LedgerStatus& status, std::string& error);
std::unique_ptr<Db> openPostgresDb(const std::string& conninfo, LedgerStatus& status,
                                   std::string& error);

// The messages of the schema's triggers, the same in both dialects.
inline constexpr const char* kRunsCounterMessage =
    "runs: a run keeps its parameters, and its counter moves one number at a time, only past "
    "a number in the numbers table";
inline constexpr const char* kNumbersReserveMessage =
    "numbers: a new number is reserved, at the position just taken from its run counter, with "
    "the serial of that position";
inline constexpr const char* kNumbersTransitionMessage =
    "numbers: only reserved -> committed or reserved -> released, with run, serial, chip and "
    "station unchanged";
// "<table>: append-only, rows are never changed" / "... deleted".
std::string appendOnlyMessage(const std::string& table, const char* what);

// The length of the valid UTF-8 sequence at s[i], 0 when there is none.
std::size_t utf8Sequence(std::string_view s, std::size_t i);

}  // namespace station::detail
