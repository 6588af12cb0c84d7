// The ledger of a production station: production runs, the serial numbers
// each run hands out to chips, and a record of every device the station
// touched.  It lives in a real database, SQLite (a file, several processes
// of one host) or PostgreSQL (a server, several stations), so that a number
// is never handed out twice and never lost, whatever crashes or races.
//
// Serialization as production programmers do it (field facts, "Production
// lines"): reserve a number for a chip, program, verify, commit; a failed
// device gives its number back by releasing it, and the released number is
// void for good.  Every number is accounted for: an auditor reading the
// `numbers` table finds each number of a run from its first to its counter
// reserved by a named chip, committed, or released with a reason.
//
// Schema, version 1 (the same tables in both dialects; SQLite tables are
// STRICT, blobs are PostgreSQL bytea), and which constraint holds each
// invariant:
//
//   meta (key PRIMARY KEY, value)
//     Holds schema_version.  A ledger whose version is newer than this
//     program's is refused when opened; an older one is migrated.
//   runs (id, name UNIQUE, kind 'counter'|'list', prefix, width, first,
//         last, next, last_taken, created_at)
//     `next` is the counter: the next position to hand out; `last_taken`
//     the position taken last (NULL before the first).  List runs number
//     their lines 1..N.
//     - CHECK: a counter run's prefix + width fits 15 characters and `last`
//       has at most `width` digits, so every serial has exactly
//       prefix + width characters; list runs carry no prefix/width.
//     - CHECK: first <= next <= last + 1 (a run past `last` takes nothing),
//       and last_taken = next - 1 (or NULL when next = first).
//     - Trigger runs_counter: a run's parameters never change; its counter
//       moves one number at a time, and only past a number that is in the
//       numbers table.
//     - Foreign key (id, last_taken) -> numbers (run_id, position),
//       DEFERRABLE INITIALLY DEFERRED: a transaction that takes a number
//       must have inserted it by its commit.  With the trigger: no gap.
//   run_serials (run_id, position, serial UNIQUE)  the lines of list runs
//     - CHECK: 1..15 printable ASCII characters without space; UNIQUE on the
//       serial across the whole ledger (two lists never share a serial).
//   numbers (run_id, position, serial UNIQUE, chip, station, state,
//            reserved_at, committed_at, released_at, reason)
//     - PRIMARY KEY (run_id, position): a position is taken once.
//     - UNIQUE (serial), released rows included: a serial goes to at most
//       one chip across the whole ledger, and a released one never again.
//     - Partial UNIQUE INDEX numbers_live_chip (run_id, chip) WHERE state
//       <> 'released': a chip holds at most one live number of a run.
//     - CHECK: 1..15 characters; state is one of the three, and the times
//       and reason match it ('' when not yet: reserved has neither,
//       committed its time, released its time and a reason).
//     - Trigger numbers_reserve: a row is inserted reserved, at the position
//       just taken from its run's counter, with that position's serial.
//     - Trigger numbers_transition: only reserved -> committed and
//       reserved -> released; run, position, serial, chip, station and
//       reserved_at never change.  The commit sets the committing chip, so a
//       commit by a chip other than the holder is refused by this trigger.
//   records (id, run_id, time, station, port, chip, old_serial BLOB,
//            new_serial BLOB, cbus, image_before, image_after, result, error)
//     - CHECK: images of 0 or 256 bytes, cbus of 0 or 14 characters, result
//       one of the four, an error for failed/refused.  The serials are the
//       bytes as read from a device, which need not be text.
//   Triggers refuse UPDATE and DELETE of records and run_serials, DELETE of
//   runs and numbers (and TRUNCATE of all four, on PostgreSQL): the ledger
//   is append-only.
//
// Transactions: a read-then-write runs in one transaction that takes the
// write lock first (SQLite: BEGIN IMMEDIATE with a busy_timeout;
// PostgreSQL: the run's row locked FOR UPDATE), so two processes taking a
// number at once are serialized by the database.  A transaction cut by a
// crash or a dropped connection leaves nothing behind.  SQLite enforces
// foreign keys only on connections that turn them on (every Ledger does).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace station {

// A production run: where its serial numbers come from.
struct RunDefinition {
    std::string name;  // the run's name, unique in the ledger
    // Counter runs: prefix + the number in decimal, zero-padded to `width`,
    // from `first` to `last` inclusive.  `last` must fit in `width` digits
    // and prefix + width in 15 characters: every serial has the same length.
    std::string prefix;
    unsigned width = 6;
    std::uint64_t first = 1, last = 0;
    // List runs (when non-empty): these serial numbers, handed out in this
    // order; prefix/width/first/last unused.  The station parses the list
    // file: a line end left in an entry is refused, naming the line.
    std::vector<std::string> serials;
};

// State of one number of a run.
enum class NumberState { Reserved, Committed, Released };
struct NumberRow {
    std::string serial;
    NumberState state = NumberState::Reserved;
    std::string chip, station;
    // UTC ISO 8601 ("2024-05-01T12:34:56.789Z"); "" when not (yet) so.
    std::string reservedAt, committedAt, releasedAt;
    std::string reason;  // why it was released
};

// One device's attempt, as the station records it.
struct DeviceRecord {
    std::string run;
    std::string time;  // UTC ISO 8601, set by the ledger when empty
    std::string station, port, chip;
    std::string oldSerial, newSerial;  // any bytes, as read from or written to the device
    std::string cbus;                  // "0a 0a 03 02 01" or ""
    // 256 bytes each when known (user + factory area), may be empty.
    std::vector<std::uint8_t> imageBefore, imageAfter;
    std::string result;  // "programmed", "kept", "failed", "refused"
    std::string error;   // why, for failed/refused (required there)
};

enum class LedgerStatus {
    Ok,
    Exhausted,    // no number left in the run: nothing was taken
    Conflict,     // a constraint refused it: the error says which
    Unavailable,  // the database cannot be reached or is busy: try again later
    Invalid,      // bad parameters (unknown run or serial, malformed field)
    Failed,       // the database refused for another reason (disk full, damaged
                  // file, no permission): retrying will not help
};
const char* statusName(LedgerStatus status);

// Every call takes the object's lock: one Ledger may be shared by the
// threads of a process, and several processes (or stations) may each open
// their own on the same database.  Text fields must be UTF-8 without NUL
// bytes (Invalid otherwise).
//
// On PostgreSQL a call that finds the connection lost reconnects first; when
// the server cannot be reached it returns Unavailable and the next call
// tries again.  reserve, commit and release may be repeated after an
// Unavailable: a chip gets back the number it holds, a second commit or
// release of the same number is Ok.  addRecord may then store the record
// twice (it cannot know whether the first one reached the server).
class Ledger {
  public:
    virtual ~Ledger() = default;
    // Creates the run, or checks that the stored run has exactly these
    // parameters (a mismatch is Invalid, saying which differs).  A new run
    // that would share a serial with another run is a Conflict naming both.
    virtual LedgerStatus openRun(const RunDefinition& run, std::string& error) = 0;
    // The chip's number in `run`: the number it already holds (reserved or
    // committed: returned with its state, nothing taken), or else the next
    // number of the run, taken and reserved for this chip by `station` in
    // one transaction.  Gapless: numbers are taken in order, never skipped,
    // even with several processes at once.
    virtual LedgerStatus reserve(const std::string& run, const std::string& chip,
                                 const std::string& station, NumberRow& out,
                                 std::string& error) = 0;
    // The row of `serial` in `run`, if any (nullopt when the run never
    // handed it out).
    virtual LedgerStatus find(const std::string& run, const std::string& serial,
                              std::optional<NumberRow>& out, std::string& error) = 0;
    // The live (reserved or committed) number `chip` holds in `run`, if
    // any: nothing is taken.
    virtual LedgerStatus findChip(const std::string& run, const std::string& chip,
                                  std::optional<NumberRow>& out, std::string& error) = 0;
    // reserved -> committed, only for the chip that holds the reservation.
    virtual LedgerStatus commit(const std::string& run, const std::string& serial,
                                const std::string& chip, std::string& error) = 0;
    // reserved -> released with a reason: the number is void for good (never
    // handed out again) and the chip may take a new number.  A committed
    // number cannot be released.
    virtual LedgerStatus release(const std::string& run, const std::string& serial,
                                 const std::string& reason, std::string& error) = 0;
    virtual LedgerStatus addRecord(const DeviceRecord& record, std::string& error) = 0;
    // The run's records in the order they were added.
    virtual LedgerStatus records(const std::string& run, std::vector<DeviceRecord>& out,
                                 std::string& error) = 0;
    // The run's numbers in the order they were taken.
    virtual LedgerStatus numbers(const std::string& run, std::vector<NumberRow>& out,
                                 std::string& error) = 0;
};

// "postgresql://..." or "postgres://..." (or a libpq key=value string
// starting with "host=" / "dbname=") opens PostgreSQL; anything else is an
// SQLite file path (its folder is created when missing).  The schema is
// created or checked.  nullptr and `error` set when it cannot be opened;
// `status`, when given, tells a server out of reach (Unavailable) from the
// rest.
std::unique_ptr<Ledger> openLedger(const std::string& where, std::string& error,
                                   LedgerStatus* status = nullptr);

// Export of a run's records.  CSV as RFC 4180 says: a header line; fields
// with commas, quotes, CR or LF in double quotes, quotes doubled; CRLF line
// ends; images as hex.  JSON: one array of objects, strings escaped
// (control bytes as \u00XX; a byte that is not part of valid UTF-8 as
// \u00XX, the code unit the FT232R itself makes of it), images as hex.
std::string recordsCsv(const std::vector<DeviceRecord>& records);
std::string recordsJson(const std::vector<DeviceRecord>& records);

// A JSON string of `value`, escaped as recordsJson escapes (quotes
// included).
std::string jsonString(const std::string& value);
// Now, UTC, as the ledger stamps its rows: "2024-05-01T12:34:56.789Z".
std::string utcNow();

}  // namespace station
