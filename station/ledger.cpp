// The ledger's logic, written once over the database layer (ledger_db.hpp):
// checks of what the station passes, the transactions of each call, and
// clear errors.  The invariants themselves are the schema's (ledger.hpp):
// the statements here are built so that the database refuses what breaks
// them, and a refusal is then explained from the row as it stands.

#include "ledger.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string_view>

#include "ledger_db.hpp"

namespace station {

namespace detail {

std::string appendOnlyMessage(const std::string& table, const char* what) {
    return table + ": append-only, rows are never " + what;
}

std::size_t utf8Sequence(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned lead = byte(i);
    if (lead < 0x80) return 1;
    // RFC 3629's table: the second byte's range excludes overlong forms,
    // surrogates and code points past U+10FFFF.
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace detail

const char* statusName(LedgerStatus status) {
    static const char* const kNames[] = {"Ok",          "Exhausted", "Conflict",
                                         "Unavailable", "Invalid",   "Failed"};
    const auto at = static_cast<std::size_t>(status);
    return at < std::size(kNames) ? kNames[at] : "?";
}

namespace {

using detail::integer;
using detail::Row;
using detail::text;
using S = LedgerStatus;

constexpr int kSchemaVersion = 1;
// The FT232R serial string holds at most 15 characters
// (device/update_request.hpp).
constexpr std::size_t kSerialMax = 15;

// `s` in quotes for a message, bytes that are not printable as \xHH (a
// line end left in a list entry must show).
std::string shown(const std::string& s) {
    std::string out = "'";
    for (const unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out + "'";
}

// Text kept as text must be UTF-8 (PostgreSQL refuses anything else) and
// free of NUL (libpq passes C strings: a NUL would cut the value silently).
bool checkText(const char* field, const std::string& value, bool required, std::string& error) {
    if (required && value.empty()) {
        error = std::string(field) + " is empty";
        return false;
    }
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t n = value[i] == '\0' ? 0 : detail::utf8Sequence(value, i);
        if (n == 0) {
            error = std::string(field) + " " + shown(value) + " is not UTF-8 text without NUL";
            return false;
        }
        i += n;
    }
    return true;
}

// Serials and prefixes: printable ASCII without space (a space or a line
// end in a list entry is a slip of the file, not a serial).
bool printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}
bool allDigits(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string serialProblem(const std::string& serial) {
    if (serial.empty()) return "empty serial";
    if (serial.size() > kSerialMax) {
        return shown(serial) + " has " + std::to_string(serial.size()) +
               " characters, more than the " + std::to_string(kSerialMax) + " of an FT232R serial";
    }
    if (!printable(serial)) return shown(serial) + " is not printable ASCII without spaces";
    return "";
}

bool validRun(const RunDefinition& run, std::string& error) {
    if (!checkText("run name", run.name, true, error)) return false;
    if (!run.serials.empty()) {
        std::map<std::string, std::size_t> seen;
        for (std::size_t i = 0; i < run.serials.size(); ++i) {
            const std::string line = "list line " + std::to_string(i + 1);
            if (const std::string why = serialProblem(run.serials[i]); !why.empty()) {
                error = line + ": " + why;
                return false;
            }
            const auto [at, fresh] = seen.emplace(run.serials[i], i + 1);
            if (!fresh) {
                error = line + " repeats " + shown(run.serials[i]) + " of line " +
                        std::to_string(at->second);
                return false;
            }
        }
        return true;
    }
    const std::string last = std::to_string(run.last);
    if (!printable(run.prefix)) {
        error = "prefix " + shown(run.prefix) + " is not printable ASCII without spaces";
    } else if (run.width < 1 || run.prefix.size() + run.width > kSerialMax) {
        error = "prefix " + shown(run.prefix) + " and width " + std::to_string(run.width) +
                " make serials of " + std::to_string(run.prefix.size() + run.width) +
                " characters: an FT232R serial has 1 to " + std::to_string(kSerialMax);
    } else if (run.first > run.last) {
        error = "first " + std::to_string(run.first) + " is past last " + last;
    } else if (last.size() > run.width) {
        error = "last " + last + " has more digits than width " + std::to_string(run.width);
    } else {
        return true;
    }
    return false;
}

std::string counterSerial(const RunDefinition& run, std::uint64_t n) {
    const std::string digits = std::to_string(n);
    return run.prefix +
           std::string(run.width - std::min<std::size_t>(run.width, digits.size()), '0') + digits;
}

bool counterHolds(const RunDefinition& run, const std::string& serial) {
    if (serial.size() != run.prefix.size() + run.width || serial.rfind(run.prefix, 0) != 0) {
        return false;
    }
    const std::string digits = serial.substr(run.prefix.size());
    if (!allDigits(digits)) return false;
    const std::uint64_t n = std::stoull(digits);
    return run.first <= n && n <= run.last;
}

// The first serial both runs would hand out, "" when none.
std::string sharedSerial(const RunDefinition& a, const RunDefinition& b) {
    if (!a.serials.empty() || !b.serials.empty()) {
        const RunDefinition& list = a.serials.empty() ? b : a;
        const RunDefinition& other = a.serials.empty() ? a : b;
        const std::set<std::string> theirs(other.serials.begin(), other.serials.end());
        for (const std::string& serial : list.serials) {
            if (other.serials.empty() ? counterHolds(other, serial) : theirs.count(serial) > 0) {
                return serial;
            }
        }
        return "";
    }
    // Two counters: equal serials need equal lengths and the shorter prefix
    // starting the longer; the rest of the longer prefix, all digits, then
    // leads the shorter run's number.
    if (a.prefix.size() + a.width != b.prefix.size() + b.width) return "";
    const RunDefinition& shorter = a.prefix.size() <= b.prefix.size() ? a : b;
    const RunDefinition& longer = a.prefix.size() <= b.prefix.size() ? b : a;
    const std::string lead = longer.prefix.substr(shorter.prefix.size());
    if (longer.prefix.rfind(shorter.prefix, 0) != 0 || !allDigits(lead)) return "";
    std::uint64_t base = lead.empty() ? 0 : std::stoull(lead);
    for (unsigned i = 0; i < longer.width; ++i) base *= 10;  // below 10^15
    const std::uint64_t low = std::max(shorter.first, base + longer.first);
    const std::uint64_t high = std::min(shorter.last, base + longer.last);
    return low <= high ? counterSerial(shorter, low) : "";
}

// How the stored run differs from the one asked for, "" when it does not.
std::string difference(const RunDefinition& stored, const RunDefinition& wanted) {
    const auto kind = [](const RunDefinition& r) {
        return r.serials.empty() ? "a counter" : "a list";
    };
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    if (stored.serials.empty() != wanted.serials.empty()) {
        return std::string("it is ") + kind(stored) + " run, not " + kind(wanted) + " run";
    }
    if (!stored.serials.empty()) {
        if (stored.serials.size() != wanted.serials.size()) {
            return "its list has " + n(stored.serials.size()) + " lines, not " +
                   n(wanted.serials.size());
        }
        for (std::size_t i = 0; i < stored.serials.size(); ++i) {
            if (stored.serials[i] != wanted.serials[i]) {
                return "its list line " + n(i + 1) + " is " + shown(stored.serials[i]) + ", not " +
                       shown(wanted.serials[i]);
            }
        }
        return "";
    }
    if (stored.prefix != wanted.prefix) {
        return "its prefix is " + shown(stored.prefix) + ", not " + shown(wanted.prefix);
    }
    if (stored.width != wanted.width) {
        return "its width is " + n(stored.width) + ", not " + n(wanted.width);
    }
    if (stored.first != wanted.first) {
        return "its first number is " + n(stored.first) + ", not " + n(wanted.first);
    }
    if (stored.last != wanted.last) {
        return "its last number is " + n(stored.last) + ", not " + n(wanted.last);
    }
    return "";
}

std::int64_t toInt(const std::optional<std::string>& value) {
    return value ? std::stoll(*value) : 0;
}
std::string str(const std::optional<std::string>& value) { return value.value_or(""); }

const char* const kNumberColumns =
    "serial, state, chip, station, reserved_at, committed_at, released_at, reason";
NumberRow numberRow(const Row& row) {
    const std::string state = str(row[1]);
    return {str(row[0]),
            state == "committed"  ? NumberState::Committed
            : state == "released" ? NumberState::Released
                                  : NumberState::Reserved,
            str(row[2]),
            str(row[3]),
            str(row[4]),
            str(row[5]),
            str(row[6]),
            str(row[7])};
}

// A run as stored: its row id and its parameters.
struct StoredRun {
    std::int64_t id = 0;
    bool list = false;
    RunDefinition definition;  // `serials` loaded only when asked for
};

class SqlLedger final : public Ledger {
  public:
    explicit SqlLedger(std::unique_ptr<detail::Db> db) : db_(std::move(db)) {}

    LedgerStatus prepareSchema(std::string& error);
    LedgerStatus openRun(const RunDefinition& run, std::string& error) override;
    LedgerStatus reserve(const std::string& run, const std::string& chip,
                         const std::string& station, NumberRow& out, std::string& error) override;
    LedgerStatus find(const std::string& run, const std::string& serial,
                      std::optional<NumberRow>& out, std::string& error) override;
    LedgerStatus findChip(const std::string& run, const std::string& chip,
                          std::optional<NumberRow>& out, std::string& error) override;
    LedgerStatus commit(const std::string& run, const std::string& serial, const std::string& chip,
                        std::string& error) override;
    LedgerStatus release(const std::string& run, const std::string& serial,
                         const std::string& reason, std::string& error) override;
    LedgerStatus addRecord(const DeviceRecord& record, std::string& error) override;
    LedgerStatus records(const std::string& run, std::vector<DeviceRecord>& out,
                         std::string& error) override;
    LedgerStatus numbers(const std::string& run, std::vector<NumberRow>& out,
                         std::string& error) override;

  private:
    // Runs `body` in a transaction, committed when it returns Ok, else
    // rolled back.
    template <class Body>
    LedgerStatus transaction(bool write, std::string& error, Body body) {
        LedgerStatus status = db_->begin(write, error);
        if (status != S::Ok) return status;
        status = body();
        if (status == S::Ok) status = db_->exec("COMMIT", {}, nullptr, error);
        if (status != S::Ok) db_->rollback();
        return status;
    }
    LedgerStatus exec(const std::string& sql, const std::vector<detail::Param>& params,
                      std::vector<Row>* rows, std::string& error) {
        return db_->exec(sql, params, rows, error);
    }
    // The rows `select` gives in a read transaction; its parameters are the
    // id of the run named `run`, then `more`.
    LedgerStatus selectInRun(const std::string& run, const std::string& select,
                             const std::vector<detail::Param>& more, std::vector<Row>& rows,
                             std::string& error);
    // The run named `name` (`lock`: its row locked until the transaction
    // ends); Invalid when there is none.  List serials only with `withList`.
    LedgerStatus loadRun(const std::string& name, bool lock, bool withList, StoredRun& run,
                         std::string& error);
    LedgerStatus transition(const std::string& run, const std::string& serial,
                            const std::string& sql, const std::vector<detail::Param>& values,
                            std::string& error);
    LedgerStatus findRow(const std::string& run, const std::string& serial,
                         std::optional<NumberRow>& out, std::string& error) {
        return findWhere(run, "serial", "serial = ?", serial, out, error);
    }
    // The number of `run` whose `condition` (one parameter) holds for `value`.
    LedgerStatus findWhere(const std::string& run, const char* what, const char* condition,
                           const std::string& value, std::optional<NumberRow>& out,
                           std::string& error);
    // After the database refused to move `serial` to `wanted`: Ok when it
    // is there already (a repeated call), else Conflict saying why.
    LedgerStatus explainRefusal(const std::string& run, const std::string& serial,
                                const std::string& chip, NumberState wanted, std::string& error);

    std::mutex mutex_;
    std::unique_ptr<detail::Db> db_;
};

LedgerStatus SqlLedger::prepareSchema(std::string& error) {
    return transaction(true, error, [&] {
        std::vector<Row> rows;
        LedgerStatus s = db_->lockLedger(error);
        if (s == S::Ok) s = exec(db_->hasMetaSql(), {}, &rows, error);
        if (s != S::Ok) return s;
        if (toInt(rows.at(0).at(0)) == 0) {
            for (const std::string& sql : db_->schemaV1()) {
                if ((s = exec(sql, {}, nullptr, error)) != S::Ok) return s;
            }
            return exec("INSERT INTO meta (key, value) VALUES ('schema_version', ?)",
                        {text(std::to_string(kSchemaVersion))}, nullptr, error);
        }
        s = exec("SELECT value FROM meta WHERE key = 'schema_version'", {}, &rows, error);
        if (s != S::Ok) return s;
        const std::string version = rows.empty() ? "" : str(rows[0][0]);
        if (version.empty() || version.size() > 9 || !allDigits(version)) {
            error = "the database has a meta table without a schema_version this program knows (" +
                    shown(version) + "): not a varnolt-station ledger";
            return S::Failed;
        }
        if (std::stoi(version) > kSchemaVersion) {
            error = "the ledger has schema version " + version + ", newer than this program's (" +
                    std::to_string(kSchemaVersion) + "): use a newer varnolt-station";
            return S::Failed;
        }
        // An older version is migrated here, one version at a time inside
        // this transaction; version 1 is the first, so there is none yet.
        return S::Ok;
    });
}

LedgerStatus SqlLedger::loadRun(const std::string& name, bool lock, bool withList, StoredRun& run,
                                std::string& error) {
    std::vector<Row> rows;
    LedgerStatus s = exec(std::string("SELECT id, kind, prefix, width, first, last FROM runs "
                                      "WHERE name = ?") +
                              (lock ? db_->forUpdate() : ""),
                          {text(name)}, &rows, error);
    if (s != S::Ok) return s;
    if (rows.empty()) {
        error = "no run " + shown(name) + " in the ledger (openRun creates it)";
        return S::Invalid;
    }
    const Row& row = rows[0];
    run.id = toInt(row[0]);
    run.list = str(row[1]) == "list";
    run.definition = RunDefinition{name,
                                   str(row[2]),
                                   static_cast<unsigned>(toInt(row[3])),
                                   static_cast<std::uint64_t>(toInt(row[4])),
                                   static_cast<std::uint64_t>(toInt(row[5])),
                                   {}};
    if (!run.list || !withList) return S::Ok;
    s = exec("SELECT serial FROM run_serials WHERE run_id = ? ORDER BY position", {integer(run.id)},
             &rows, error);
    for (const Row& line : rows) run.definition.serials.push_back(str(line[0]));
    return s;
}

LedgerStatus SqlLedger::openRun(const RunDefinition& run, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    if (!validRun(run, error)) return S::Invalid;
    return transaction(true, error, [&] {
        // Run creation serialized among processes: the overlap check below
        // reads every run, and no other run may appear meanwhile.
        LedgerStatus s = db_->lockLedger(error);
        if (s != S::Ok) return s;
        StoredRun stored;
        s = loadRun(run.name, false, true, stored, error);
        if (s == S::Ok) {
            const std::string why = difference(stored.definition, run);
            if (why.empty()) return S::Ok;
            error = "run " + shown(run.name) + " is already in the ledger, and " + why;
            return S::Invalid;
        }
        if (s != S::Invalid) return s;
        error.clear();  // not there yet: created below
        std::vector<Row> rows;
        if ((s = exec("SELECT name FROM runs ORDER BY id", {}, &rows, error)) != S::Ok) return s;
        for (const Row& other : rows) {
            if ((s = loadRun(str(other[0]), false, true, stored, error)) != S::Ok) return s;
            if (const std::string serial = sharedSerial(run, stored.definition); !serial.empty()) {
                error = "run " + shown(run.name) + " would hand out " + shown(serial) +
                        ", which is run " + shown(stored.definition.name) + "'s";
                return S::Conflict;
            }
        }
        const bool list = !run.serials.empty();
        const std::int64_t first = list ? 1 : static_cast<std::int64_t>(run.first);
        s = exec(
            "INSERT INTO runs (name, kind, prefix, width, first, last, next, created_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
            {text(run.name), text(list ? "list" : "counter"), text(list ? "" : run.prefix),
             integer(list ? 0 : run.width), integer(first),
             integer(list ? static_cast<std::int64_t>(run.serials.size())
                          : static_cast<std::int64_t>(run.last)),
             integer(first), text(utcNow())},
            &rows, error);
        const std::int64_t id = s == S::Ok ? toInt(rows.at(0).at(0)) : 0;
        for (std::size_t i = 0; s == S::Ok && i < run.serials.size(); ++i) {
            s = exec("INSERT INTO run_serials (run_id, position, serial) VALUES (?, ?, ?)",
                     {integer(id), integer(static_cast<std::int64_t>(i + 1)), text(run.serials[i])},
                     nullptr, error);
        }
        return s;
    });
}

LedgerStatus SqlLedger::reserve(const std::string& run, const std::string& chip,
                                const std::string& station, NumberRow& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    if (!checkText("run", run, true, error) || !checkText("chip", chip, true, error) ||
        !checkText("station", station, true, error)) {
        return S::Invalid;
    }
    return transaction(true, error, [&] {
        // The run's row locked first (PostgreSQL; SQLite's write lock holds
        // the whole file): two calls for one chip cannot both find it
        // without a number and each take one.
        StoredRun stored;
        LedgerStatus s = loadRun(run, true, false, stored, error);
        std::vector<Row> rows;
        if (s == S::Ok) {
            s = exec(std::string("SELECT ") + kNumberColumns +
                         " FROM numbers WHERE run_id = ? AND chip = ? AND state <> 'released'",
                     {integer(stored.id), text(chip)}, &rows, error);
        }
        if (s != S::Ok) return s;
        if (!rows.empty()) {
            out = numberRow(rows[0]);
            return S::Ok;
        }
        // The counter under its row lock, in one transaction with the
        // insert below (field facts, "numbers without gaps"): a rollback
        // gives the number back, so none is ever skipped.
        s = exec(
            "UPDATE runs SET next = next + 1, last_taken = next WHERE id = ? AND next <= last "
            "RETURNING last_taken",
            {integer(stored.id)}, &rows, error);
        if (s != S::Ok) return s;
        const bool list = stored.list;
        if (rows.empty()) {
            error = "run " + shown(run) + " has no number left: " +
                    (list ? "every serial of its list"
                          : "every number from " + std::to_string(stored.definition.first) +
                                " to " + std::to_string(stored.definition.last)) +
                    " is taken";
            return S::Exhausted;
        }
        const std::int64_t position = toInt(rows[0][0]);
        std::string serial = counterSerial(stored.definition, static_cast<std::uint64_t>(position));
        if (list) {
            s = exec("SELECT serial FROM run_serials WHERE run_id = ? AND position = ?",
                     {integer(stored.id), integer(position)}, &rows, error);
            if (s != S::Ok) return s;
            serial = rows.empty() ? "" : str(rows[0][0]);
        }
        out = NumberRow{serial, NumberState::Reserved, chip, station, utcNow(), "", "", ""};
        s = exec(
            "INSERT INTO numbers (run_id, position, serial, chip, station, state, reserved_at) "
            "VALUES (?, ?, ?, ?, ?, 'reserved', ?)",
            {integer(stored.id), integer(position), text(serial), text(chip), text(station),
             text(out.reservedAt)},
            nullptr, error);
        if (s == S::Conflict) error = "taking " + shown(serial) + ": " + error;
        return s;
    });
}

LedgerStatus SqlLedger::findWhere(const std::string& run, const char* what, const char* condition,
                                  const std::string& value, std::optional<NumberRow>& out,
                                  std::string& error) {
    out.reset();
    if (!checkText("run", run, true, error) || !checkText(what, value, true, error)) {
        return S::Invalid;
    }
    std::vector<Row> rows;
    const LedgerStatus s = selectInRun(
        run,
        std::string("SELECT ") + kNumberColumns + " FROM numbers WHERE run_id = ? AND " + condition,
        {text(value)}, rows, error);
    if (s == S::Ok && !rows.empty()) out = numberRow(rows[0]);
    return s;
}

LedgerStatus SqlLedger::selectInRun(const std::string& run, const std::string& select,
                                    const std::vector<detail::Param>& more, std::vector<Row>& rows,
                                    std::string& error) {
    rows.clear();
    return transaction(false, error, [&] {
        StoredRun stored;
        const LedgerStatus s = loadRun(run, false, false, stored, error);
        if (s != S::Ok) return s;
        std::vector<detail::Param> params{integer(stored.id)};
        params.insert(params.end(), more.begin(), more.end());
        return exec(select, params, &rows, error);
    });
}

LedgerStatus SqlLedger::findChip(const std::string& run, const std::string& chip,
                                 std::optional<NumberRow>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    return findWhere(run, "chip", "chip = ? AND state <> 'released'", chip, out, error);
}

LedgerStatus SqlLedger::find(const std::string& run, const std::string& serial,
                             std::optional<NumberRow>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    return findRow(run, serial, out, error);
}

LedgerStatus SqlLedger::explainRefusal(const std::string& run, const std::string& serial,
                                       const std::string& chip, NumberState wanted,
                                       std::string& error) {
    const std::string refusal = error;
    std::optional<NumberRow> row;
    if (findRow(run, serial, row, error) != S::Ok || !row) {
        error = refusal;
        return S::Conflict;
    }
    const bool released = wanted == NumberState::Released;
    if (row->state == wanted && (released || row->chip == chip)) {
        error.clear();
        return S::Ok;
    }
    error = shown(serial) + " is ";
    if (row->state == NumberState::Reserved) {
        error += "reserved for chip " + shown(row->chip) + ", not " + shown(chip);
    } else if (row->state == NumberState::Committed) {
        error += "committed to chip " + shown(row->chip) +
                 (released ? ": a committed number cannot be released" : ", not " + shown(chip));
    } else {
        error += "released (" + row->reason + "): it is void";
    }
    error += " [" + refusal + "]";
    return S::Conflict;
}

// Moves `serial` of `run` to committed or released with one UPDATE; the
// database refuses what the transition rules forbid.
LedgerStatus SqlLedger::transition(const std::string& run, const std::string& serial,
                                   const std::string& sql, const std::vector<detail::Param>& values,
                                   std::string& error) {
    if (!checkText("run", run, true, error) || !checkText("serial", serial, true, error)) {
        return S::Invalid;
    }
    return transaction(true, error, [&] {
        StoredRun stored;
        LedgerStatus s = loadRun(run, false, false, stored, error);
        if (s != S::Ok) return s;
        std::vector<detail::Param> params = values;
        params.push_back(integer(stored.id));
        params.push_back(text(serial));
        std::vector<Row> rows;
        s = exec(sql + " WHERE run_id = ? AND serial = ? RETURNING serial", params, &rows, error);
        if (s == S::Ok && rows.empty()) {
            error = "run " + shown(run) + " never handed out " + shown(serial);
            return S::Invalid;
        }
        return s;
    });
}

LedgerStatus SqlLedger::commit(const std::string& run, const std::string& serial,
                               const std::string& chip, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    if (!checkText("chip", chip, true, error)) return S::Invalid;
    // The chip is set too: the trigger keeps it unchanged, so the database
    // itself refuses a commit by a chip that does not hold the number (and
    // any row that is not reserved).
    const LedgerStatus s = transition(
        run, serial, "UPDATE numbers SET state = 'committed', committed_at = ?, chip = ?",
        {text(utcNow()), text(chip)}, error);
    return s == S::Conflict ? explainRefusal(run, serial, chip, NumberState::Committed, error) : s;
}

LedgerStatus SqlLedger::release(const std::string& run, const std::string& serial,
                                const std::string& reason, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    if (!checkText("reason", reason, true, error)) return S::Invalid;
    const LedgerStatus s = transition(
        run, serial, "UPDATE numbers SET state = 'released', released_at = ?, reason = ?",
        {text(utcNow()), text(reason)}, error);
    return s == S::Conflict ? explainRefusal(run, serial, "", NumberState::Released, error) : s;
}

// "2024-05-01T12:34:56Z", with 1 to 9 digits of a second's fraction or none.
bool isoUtc(const std::string& time) {
    static const std::string kShape = "dddd-dd-ddTdd:dd:dd";
    if (time.size() <= kShape.size() || time.back() != 'Z') return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] == 'd' ? !allDigits(time.substr(i, 1)) : time[i] != kShape[i]) return false;
    }
    const std::string fraction = time.substr(kShape.size(), time.size() - kShape.size() - 1);
    return fraction.empty() || (fraction.size() >= 2 && fraction.size() <= 10 &&
                                fraction[0] == '.' && allDigits(fraction.substr(1)));
}

bool validRecord(const DeviceRecord& r, std::string& error) {
    static const std::set<std::string> kResults = {"programmed", "kept", "failed", "refused"};
    if (!checkText("run", r.run, true, error) || !checkText("station", r.station, false, error) ||
        !checkText("port", r.port, false, error) || !checkText("chip", r.chip, false, error) ||
        !checkText("error", r.error, false, error)) {
        return false;
    }
    const bool cbusWellFormed = r.cbus.size() == 14 && [&] {
        for (std::size_t i = 0; i < 14; ++i) {
            const bool space = i % 3 == 2;
            if (space ? r.cbus[i] != ' ' : !std::isxdigit(static_cast<unsigned char>(r.cbus[i]))) {
                return false;
            }
        }
        return true;
    }();
    if (!r.time.empty() && !isoUtc(r.time)) {
        error = "time " + shown(r.time) + " is not UTC ISO 8601 (2024-05-01T12:34:56Z)";
    } else if (!r.cbus.empty() && !cbusWellFormed) {
        error = "cbus " + shown(r.cbus) + " is not five hex bytes (\"0a 0a 03 02 01\")";
    } else if ((!r.imageBefore.empty() && r.imageBefore.size() != 256) ||
               (!r.imageAfter.empty() && r.imageAfter.size() != 256)) {
        error = "an image has " +
                std::to_string(r.imageBefore.size() != 256 && !r.imageBefore.empty()
                                   ? r.imageBefore.size()
                                   : r.imageAfter.size()) +
                " bytes, not 256 (user and factory area)";
    } else if (kResults.count(r.result) == 0) {
        error = "result " + shown(r.result) + " is not programmed, kept, failed or refused";
    } else if ((r.result == "failed" || r.result == "refused") && r.error.empty()) {
        error = "a " + r.result + " device needs its error";
    } else {
        return true;
    }
    return false;
}

LedgerStatus SqlLedger::addRecord(const DeviceRecord& record, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    if (!validRecord(record, error)) return S::Invalid;
    const auto bytes = [](const std::vector<std::uint8_t>& image) {
        return detail::blob(std::string(image.begin(), image.end()));
    };
    return transaction(true, error, [&] {
        std::vector<Row> rows;
        const LedgerStatus s = exec(
            "INSERT INTO records (run_id, time, station, port, chip, old_serial, new_serial, cbus, "
            "image_before, image_after, result, error) "
            "SELECT id, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? FROM runs WHERE name = ? RETURNING id",
            {text(record.time.empty() ? utcNow() : record.time), text(record.station),
             text(record.port), text(record.chip), detail::blob(record.oldSerial),
             detail::blob(record.newSerial), text(record.cbus), bytes(record.imageBefore),
             bytes(record.imageAfter), text(record.result), text(record.error), text(record.run)},
            &rows, error);
        if (s == S::Ok && rows.empty()) {
            error = "no run " + shown(record.run) + " in the ledger (openRun creates it)";
            return S::Invalid;
        }
        return s;
    });
}

LedgerStatus SqlLedger::records(const std::string& run, std::vector<DeviceRecord>& out,
                                std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    out.clear();
    if (!checkText("run", run, true, error)) return S::Invalid;
    std::vector<Row> rows;
    const LedgerStatus s =
        selectInRun(run,
                    "SELECT time, station, port, chip, old_serial, new_serial, cbus, image_before, "
                    "image_after, result, error FROM records WHERE run_id = ? ORDER BY id",
                    {}, rows, error);
    const auto image = [](const std::optional<std::string>& v) {
        return std::vector<std::uint8_t>(v->begin(), v->end());
    };
    for (const Row& r : rows) {
        out.push_back({run, str(r[0]), str(r[1]), str(r[2]), str(r[3]), str(r[4]), str(r[5]),
                       str(r[6]), image(r[7]), image(r[8]), str(r[9]), str(r[10])});
    }
    return s;
}

LedgerStatus SqlLedger::numbers(const std::string& run, std::vector<NumberRow>& out,
                                std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error.clear();
    out.clear();
    if (!checkText("run", run, true, error)) return S::Invalid;
    std::vector<Row> rows;
    const LedgerStatus s = selectInRun(run,
                                       std::string("SELECT ") + kNumberColumns +
                                           " FROM numbers WHERE run_id = ? ORDER BY position",
                                       {}, rows, error);
    for (const Row& r : rows) out.push_back(numberRow(r));
    return s;
}

}  // namespace

std::unique_ptr<Ledger> openLedger(const std::string& where, std::string& error,
                                   LedgerStatus* status) {
    error.clear();
    LedgerStatus s = S::Ok;
    std::unique_ptr<detail::Db> db;
    const auto startsWith = [&](const char* prefix) { return where.rfind(prefix, 0) == 0; };
    if (where.empty()) {
        s = S::Invalid;
        error = "no ledger given: an SQLite file path or a PostgreSQL connection string";
    } else if (startsWith("postgresql://") || startsWith("postgres://") || startsWith("host=") ||
               startsWith("dbname=")) {
        db = detail::openPostgresDb(where, s, error);
    } else {
        db = detail::openSqliteDb(where, s, error);
    }
    std::unique_ptr<SqlLedger> ledger;
    if (db) {
        ledger = std::make_unique<SqlLedger>(std::move(db));
        s = ledger->prepareSchema(error);
        if (s != S::Ok) ledger.reset();
    }
    if (status) *status = s;
    return ledger;
}

// UTC ISO 8601 with milliseconds.
std::string utcNow() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", static_cast<int>(ms % 1000));
    return stamp;
}

}  // namespace station
