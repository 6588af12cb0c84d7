// Tests of the station's ledger on real databases: an SQLite file, and a
// PostgreSQL server this program starts once (as an unprivileged user when
// run as root: the server refuses root).  The same test bodies run on both.
// What must hold is checked through the Ledger and, for the invariants the
// database itself keeps, through plain SQL on a connection of the test's own.

#include "ledger.hpp"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "postgres.hpp"

namespace station {
namespace {

namespace fs = std::filesystem;
using S = LedgerStatus;

// A libpq connection of the test's own.
struct PgConn {
    PGconn* conn;
    explicit PgConn(const std::string& conninfo) : conn(PQconnectdb(conninfo.c_str())) {}
    ~PgConn() { PQfinish(conn); }
    // The first value the statements give, or "error: " and why.
    std::string run(const std::string& sql) {
        PGresult* r = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(r);
        std::string out = status == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            out = std::string("error: ") + PQresultErrorMessage(r);
        }
        PQclear(r);
        return out;
    }
};

RunDefinition counter(const std::string& prefix, unsigned width, std::uint64_t first,
                      std::uint64_t last, const std::string& name = "new") {
    return RunDefinition{name, prefix, width, first, last, {}};
}
RunDefinition list(std::vector<std::string> serials, const std::string& name = "new") {
    return RunDefinition{name, "", 6, 1, 0, std::move(serials)};
}

// The serial `chip` gets in `run`, "" with a test failure when refused.
std::string take(Ledger& ledger, const std::string& run, const std::string& chip) {
    NumberRow row;
    std::string error;
    const LedgerStatus status = ledger.reserve(run, chip, "station-1", row, error);
    EXPECT_EQ(status, S::Ok) << chip << ": " << error;
    return status == S::Ok ? row.serial : "";
}

class LedgerFixture : public ::testing::Test {
  protected:
    void prepare(const std::string& backend) {
        backend_ = backend;
        if (backend == "postgres" && !postgres().skipReason.empty()) {
            GTEST_SKIP() << postgres().skipReason;
        }
        where_ = newLedgerLocation();
        open();
    }
    void TearDown() override {
        ledger_.reset();
        std::error_code ec;
        for (const std::string& folder : folders_) fs::remove_all(folder, ec);
    }
    // A place for a ledger no test has used: an SQLite path in a folder not
    // made yet, or a PostgreSQL database of its own.
    std::string newLedgerLocation() {
        static int count = 0;
        const std::string name = "t" + std::to_string(++count);
        if (backend_ == "postgres") {
            EXPECT_EQ(PgConn(postgres().conninfo("postgres")).run("CREATE DATABASE " + name), "");
            return postgres().conninfo(name);
        }
        char folder[] = "/tmp/ledger-test-XXXXXX";
        folders_.push_back(mkdtemp(folder));
        return folders_.back() + "/line/" + name + ".db";
    }
    void open() {
        std::string error;
        ledger_ = openLedger(where_, error);
        ASSERT_TRUE(ledger_) << error;
    }
    // Runs `sql` in one transaction, as any SQL client could: the
    // database's refusal, "" when it accepted.
    std::string rawSql(const std::string& sql) {
        if (backend_ == "postgres") {
            const std::string result = PgConn(where_).run("BEGIN; " + sql + "; COMMIT");
            return result.rfind("error: ", 0) == 0 ? result : "";
        }
        sqlite3* db = nullptr;
        sqlite3_open_v2(where_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db, 10000);
        char* message = nullptr;
        std::string refusal;
        if (sqlite3_exec(db,
                         ("PRAGMA foreign_keys = ON; BEGIN IMMEDIATE; " + sql + "; COMMIT").c_str(),
                         nullptr, nullptr, &message) != SQLITE_OK) {
            refusal = std::string("error: ") + (message ? message : "?");
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        sqlite3_free(message);
        sqlite3_close(db);
        return refusal;
    }
    std::vector<NumberRow> numbers(const std::string& run) {
        std::vector<NumberRow> rows;
        std::string error;
        EXPECT_EQ(ledger_->numbers(run, rows, error), S::Ok) << error;
        return rows;
    }

    std::string backend_, where_;
    std::vector<std::string> folders_;
    std::unique_ptr<Ledger> ledger_;
};

class LedgerTest : public LedgerFixture, public ::testing::WithParamInterface<std::string> {
  protected:
    void SetUp() override { prepare(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Backends, LedgerTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

struct OrderCase {
    const char* name;
    RunDefinition run;
    std::vector<std::string> serials;  // every one the run has, in order
};
// clang-format off
const OrderCase kOrders[] = {
    {"PaddedToWidth", counter("VN", 6, 1, 3), {"VN000001", "VN000002", "VN000003"}},
    {"FirstInDecimal", counter("B", 4, 998, 1000), {"B0998", "B0999", "B1000"}},
    {"NoPrefixFromZero", counter("", 1, 0, 2), {"0", "1", "2"}},
    {"FifteenCharacters", counter("ABCDEFGHI", 6, 42, 43), {"ABCDEFGHI000042", "ABCDEFGHI000043"}},
    {"ListInItsOrder", list({"K-7", "A1", "zz"}), {"K-7", "A1", "zz"}},
};
// clang-format on

TEST_P(LedgerTest, NumbersComeInOrderUntilTheRunIsExhausted) {
    for (const OrderCase& c : kOrders) {
        SCOPED_TRACE(c.name);
        RunDefinition run = c.run;
        run.name = c.name;
        std::string error;
        ASSERT_EQ(ledger_->openRun(run, error), S::Ok) << error;
        EXPECT_EQ(error, "") << "an error left behind by a success";
        for (std::size_t i = 0; i < c.serials.size(); ++i) {
            EXPECT_EQ(take(*ledger_, run.name, "chip-" + std::to_string(i)), c.serials[i]);
        }
        NumberRow row;
        EXPECT_EQ(ledger_->reserve(run.name, "late", "station-1", row, error), S::Exhausted);
        EXPECT_EQ(numbers(run.name).size(), c.serials.size()) << "an exhausted run took a number";
        EXPECT_EQ(ledger_->openRun(run, error), S::Ok) << "reopened: " << error;
    }
}

enum class Op { Reserve, Commit, Release };
struct Step {
    const char* what;
    Op op;
    const char* chip;
    const char* serial;  // the one given (commit, release) or expected (reserve)
    LedgerStatus status;
    NumberState state = NumberState::Reserved;  // what reserve returns
};
// clang-format off
const Step kLifecycle[] = {
    {"a takes the first",                 Op::Reserve, "a", "L001", S::Ok},
    {"a again: the same number",          Op::Reserve, "a", "L001", S::Ok},
    {"b takes the next",                  Op::Reserve, "b", "L002", S::Ok},
    {"b cannot commit a's number",        Op::Commit,  "b", "L001", S::Conflict},
    {"a commits",                         Op::Commit,  "a", "L001", S::Ok},
    {"a commits again: already done",     Op::Commit,  "a", "L001", S::Ok},
    {"a again: its committed number",     Op::Reserve, "a", "L001", S::Ok, NumberState::Committed},
    {"a committed number stays",          Op::Release, "",  "L001", S::Conflict},
    {"b's number released",               Op::Release, "",  "L002", S::Ok},
    {"released again: already done",      Op::Release, "",  "L002", S::Ok},
    {"a released number is void",         Op::Commit,  "b", "L002", S::Conflict},
    {"b takes a new number",              Op::Reserve, "b", "L003", S::Ok},
    {"L002 is never handed out again",    Op::Reserve, "c", "L004", S::Ok},
    {"a serial the run never handed out", Op::Commit,  "c", "L009", S::Invalid},
};
// clang-format on

TEST_P(LedgerTest, ReserveCommitReleaseFollowTheRules) {
    std::string error;
    ASSERT_EQ(ledger_->openRun(counter("L", 3, 1, 9, "L"), error), S::Ok) << error;
    for (const Step& step : kLifecycle) {
        NumberRow row;
        LedgerStatus status = S::Ok;
        if (step.op == Op::Reserve) {
            status = ledger_->reserve("L", step.chip, "station-1", row, error);
            EXPECT_EQ(row.serial, step.serial) << step.what;
            EXPECT_EQ(row.state, step.state) << step.what;
        } else if (step.op == Op::Commit) {
            status = ledger_->commit("L", step.serial, step.chip, error);
        } else {
            status = ledger_->release("L", step.serial, "verify failed", error);
        }
        EXPECT_EQ(status, step.status) << step.what << ": " << error;
    }
    std::vector<std::string> rows;
    for (const NumberRow& n : numbers("L")) {
        rows.push_back(n.serial + " " + n.chip + " " + std::to_string(static_cast<int>(n.state)) +
                       (n.reason.empty() ? "" : " " + n.reason));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"L001 a 1", "L002 b 2 verify failed", "L003 b 0",
                                              "L004 c 0"}));
    std::optional<NumberRow> found;
    EXPECT_EQ(ledger_->find("L", "L005", found, error), S::Ok);
    EXPECT_FALSE(found);
    NumberRow row;
    EXPECT_EQ(ledger_->reserve("nope", "a", "station-1", row, error), S::Invalid);
}

struct RefusedRun {
    const char* name;
    RunDefinition run;
    LedgerStatus status;
    const char* says;
};
// clang-format off
const RefusedRun kRefusedRuns[] = {
    {"PrefixAndWidthOver15", counter("ABCDEFGHIJ", 6, 1, 9), S::Invalid, "serials of 16 characters"},
    {"LastWiderThanWidth", counter("W", 3, 1, 1000), S::Invalid, "last 1000 has more digits than width 3"},
    {"FirstPastLast", counter("F", 3, 5, 4), S::Invalid, "first 5 is past last 4"},
    {"NoDigits", counter("N", 0, 1, 1), S::Invalid, "width 0"},
    {"PrefixWithSpace", counter("A B", 3, 1, 9), S::Invalid, "prefix 'A B'"},
    {"ListDuplicate", list({"S1", "S2", "S1"}), S::Invalid, "list line 3 repeats 'S1' of line 1"},
    {"ListLineEndLeft", list({"S1", "S2\r"}), S::Invalid, "list line 2: 'S2\\x0d'"},
    {"ListEntryTooLong", list({"ABCDEFGHIJKLMNOP"}), S::Invalid, "list line 1: 'ABCDEFGHIJKLMNOP' has 16"},
    {"ListEmptyEntry", list({"S1", ""}), S::Invalid, "list line 2: empty serial"},
    {"BaseWithOtherWidth", counter("D", 4, 1, 9, "base"), S::Invalid, "its width is 3, not 4"},
    {"BaseAsList", list({"D001"}, "base"), S::Invalid, "it is a counter run, not a list run"},
    {"SharesWithBase", counter("D", 3, 9, 20), S::Conflict, "'D009', which is run 'base''s"},
    {"SharesThroughItsPrefix", counter("D0", 2, 5, 20), S::Conflict, "'D005', which is run 'base''s"},
    {"ListSharesWithBase", list({"X1", "D004"}), S::Conflict, "'D004', which is run 'base''s"},
};
// clang-format on

TEST_P(LedgerTest, OpenRunRefusesBadRunsBeforeTakingAnything) {
    std::string error;
    ASSERT_EQ(ledger_->openRun(counter("D", 3, 1, 9, "base"), error), S::Ok) << error;
    for (const RefusedRun& c : kRefusedRuns) {
        EXPECT_EQ(ledger_->openRun(c.run, error), c.status) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        NumberRow row;
        if (c.run.name == "new") {
            EXPECT_EQ(ledger_->reserve("new", "a", "station-1", row, error), S::Invalid) << c.name;
        }
    }
    EXPECT_TRUE(numbers("base").empty());
}

TEST_P(LedgerTest, ASchemaNewerThanTheProgramIsRefused) {
    ledger_.reset();
    ASSERT_EQ(rawSql("UPDATE meta SET value = '2' WHERE key = 'schema_version'"), "");
    std::string error;
    EXPECT_FALSE(openLedger(where_, error));
    EXPECT_NE(error.find("schema version 2, newer than this program's (1)"), std::string::npos)
        << error;
}

// Takes the next number of a run by hand, as the ledger does.
#define TAKE(run) "UPDATE runs SET next = next + 1, last_taken = next WHERE name = '" run "'; "
#define INSERT_NUMBER(run, position, serial, chip)                                              \
    "INSERT INTO numbers (run_id, position, serial, chip, station, state, reserved_at) SELECT " \
    "id, " position ", '" serial "', '" chip                                                    \
    "', 's', 'reserved', 'x' FROM runs WHERE name = '" run "'"
struct DirectSql {
    const char* name;
    const char* sql;
    std::vector<std::string> says;  // in the refusal, in any case
};
// clang-format off
const DirectSql kDirectSql[] = {
    // A run overlapping 'base', inserted past openRun's check of overlaps.
    {"DuplicateSerial", "INSERT INTO runs (name, kind, prefix, width, first, last, next, created_at) VALUES ('twin', 'counter', 'D', 3, 1, 9, 1, 'x'); " TAKE("twin") INSERT_NUMBER("twin", "1", "D001", "c9"), {"unique", "serial"}},
    {"SecondLiveNumberForAChip", TAKE("base") INSERT_NUMBER("base", "3", "D003", "c1"), {"unique", "chip"}},
    {"CounterSkipsANumber", TAKE("base") TAKE("base") INSERT_NUMBER("base", "4", "D004", "c3"), {"runs: a run keeps its parameters"}},
    {"CounterWithoutItsNumber", TAKE("base") "SELECT 1", {"foreign key"}},
    {"NumberOffTheCounter", TAKE("base") INSERT_NUMBER("base", "4", "D004", "c3"), {"numbers: a new number is reserved"}},
    {"SerialNotOfItsPosition", TAKE("base") INSERT_NUMBER("base", "3", "D007", "c3"), {"numbers: a new number is reserved"}},
    {"CommittedBackToReserved", "UPDATE numbers SET state = 'reserved', committed_at = '' WHERE serial = 'D002'", {"numbers: only reserved"}},
    {"CommittedReleased", "UPDATE numbers SET state = 'released', committed_at = '', released_at = 'x', reason = 'r' WHERE serial = 'D002'", {"numbers: only reserved"}},
    {"ChipChanged", "UPDATE numbers SET chip = 'c7' WHERE serial = 'D001'", {"numbers: only reserved"}},
    {"ReleasedWithoutReason", "UPDATE numbers SET state = 'released', released_at = 'x' WHERE serial = 'D001'", {"check"}},
    {"NumberDeleted", "DELETE FROM numbers WHERE serial = 'D001'", {"numbers: append-only"}},
    {"RecordChanged", "UPDATE records SET result = 'kept'", {"records: append-only"}},
    {"RecordDeleted", "DELETE FROM records", {"records: append-only"}},
    {"RunNarrowed", "UPDATE runs SET last = 8 WHERE name = 'base'", {"runs: a run keeps its parameters"}},
    {"RunTooWide", "INSERT INTO runs (name, kind, prefix, width, first, last, next, created_at) VALUES ('wide', 'counter', 'ABCDEFGHIJ', 6, 1, 9, 1, 'x')", {"check"}},
};
// clang-format on

// The invariants live in the database: plain SQL that would break one is
// refused, and the ledger goes on as if it had never been tried.
TEST_P(LedgerTest, TheDatabaseRefusesDirectSqlBreakingAnInvariant) {
    std::string error;
    ASSERT_EQ(ledger_->openRun(counter("D", 3, 1, 9, "base"), error), S::Ok) << error;
    EXPECT_EQ(take(*ledger_, "base", "c1"), "D001");
    EXPECT_EQ(take(*ledger_, "base", "c2"), "D002");
    EXPECT_EQ(ledger_->commit("base", "D002", "c2", error), S::Ok) << error;
    DeviceRecord record{"base", "", "station-1", "/dev/ttyUSB0", "c2", "A50285BI", "D002",
                        "",     {}, {},          "programmed",   ""};
    EXPECT_EQ(ledger_->addRecord(record, error), S::Ok) << error;
    for (const DirectSql& c : kDirectSql) {
        std::string refusal = rawSql(c.sql);
        std::transform(refusal.begin(), refusal.end(), refusal.begin(), ::tolower);
        EXPECT_FALSE(refusal.empty()) << c.name << " was accepted";
        for (const std::string& part : c.says) {
            EXPECT_NE(refusal.find(part), std::string::npos) << c.name << ": " << refusal;
        }
    }
    EXPECT_EQ(numbers("base").size(), 2u);
    EXPECT_EQ(take(*ledger_, "base", "c3"), "D003");
}

// Reads RFC 4180 text strictly: CRLF after every record, quotes doubled in
// quoted fields, no CR or LF outside quotes.  Empty when it is not so.
std::vector<std::vector<std::string>> readCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string& field = rows.back().back();
        if (text[i] == '"' && field.empty()) {
            for (++i; i < text.size() && (text[i] != '"' || text[i + 1] == '"'); ++i) {
                field += text[i];
                if (text[i] == '"') ++i;
            }
        } else if (text[i] == ',') {
            rows.back().emplace_back();
        } else if (text.compare(i, 2, "\r\n") == 0) {
            rows.emplace_back(1);
            ++i;
        } else if (text[i] == '\r' || text[i] == '\n') {
            return {};
        } else {
            field += text[i];
        }
    }
    if (rows.back() != std::vector<std::string>(1)) return {};  // no CRLF at the end
    rows.pop_back();
    return rows;
}

TEST_P(LedgerTest, RecordsComeBackAsTheyWereAndExportIntact) {
    std::string error;
    ASSERT_EQ(ledger_->openRun(counter("R", 3, 1, 9, "r"), error), S::Ok) << error;
    std::vector<std::uint8_t> image(256), reversed(256);
    for (int i = 0; i < 256; ++i) image[i] = reversed[255 - i] = static_cast<std::uint8_t>(i);
    // clang-format off
    const std::vector<DeviceRecord> written = {
        {"r", "2024-05-01T12:00:00Z", "line 1, bench \"2\"", "/dev/ttyUSB0", "FT:1234ABCD", "A50285BI", "R001", "0a 0a 03 02 01", image, reversed, "programmed", ""},
        {"r", "2024-05-01T12:00:01.5Z", "line\n1", "usb 1-1.4", "FT:0000", std::string("\x01\xe9\xff\0z", 5), "", "", {}, {}, "failed", "read \"R002\",\r\nwanted \"R003\"\n"},
        {"r", "2024-05-01T12:00:02Z", "line 1", "", "", "=1+1", "=1+1", "", {}, image, "refused", "clone\rserial\x1f"},
    };
    // clang-format on
    for (const DeviceRecord& record : written) {
        EXPECT_EQ(ledger_->addRecord(record, error), S::Ok) << error;
    }
    std::vector<DeviceRecord> read;
    ASSERT_EQ(ledger_->records("r", read, error), S::Ok) << error;
    ASSERT_EQ(read.size(), written.size());
    const std::vector<std::vector<std::string>> csv = readCsv(recordsCsv(read));
    ASSERT_EQ(csv.size(), 1 + written.size()) << recordsCsv(read);
    EXPECT_EQ(csv[0][5], "old_serial");
    for (std::size_t i = 0; i < written.size(); ++i) {
        const DeviceRecord& w = written[i];
        const DeviceRecord& r = read[i];
        EXPECT_EQ(std::tie(r.run, r.time, r.station, r.port, r.chip, r.oldSerial, r.newSerial,
                           r.cbus, r.imageBefore, r.imageAfter, r.result, r.error),
                  std::tie(w.run, w.time, w.station, w.port, w.chip, w.oldSerial, w.newSerial,
                           w.cbus, w.imageBefore, w.imageAfter, w.result, w.error));
        EXPECT_EQ(csv[i + 1], (std::vector<std::string>{w.run, w.time, w.station, w.port, w.chip,
                                                        w.oldSerial, w.newSerial, w.cbus, w.result,
                                                        w.error, csv[i + 1][10], csv[i + 1][11]}));
        EXPECT_EQ(csv[i + 1][10].size(), 2 * w.imageBefore.size());
    }
    EXPECT_EQ(csv[1][10].substr(0, 8) + csv[1][11].substr(0, 8), "00010203fffefdfc");
}

struct RecordRefusal {
    const char* name;
    std::function<void(DeviceRecord&)> change;
    const char* says;
};
// clang-format off
const RecordRefusal kRecordRefusals[] = {
    {"UnknownRun", [](DeviceRecord& r) { r.run = "nope"; }, "no run 'nope'"},
    {"UnknownResult", [](DeviceRecord& r) { r.result = "ok"; }, "result 'ok'"},
    {"FailedWithoutError", [](DeviceRecord& r) { r.result = "failed"; }, "a failed device needs its error"},
    {"HalfAnImage", [](DeviceRecord& r) { r.imageAfter.assign(128, 0); }, "128 bytes, not 256"},
    {"CbusWithCommas", [](DeviceRecord& r) { r.cbus = "0a,0a,03,02,01"; }, "cbus '0a,0a,03,02,01'"},
    {"LocalTime", [](DeviceRecord& r) { r.time = "2024-05-01 12:00:00"; }, "not UTC ISO 8601"},
    {"NulInStation", [](DeviceRecord& r) { r.station = std::string("a\0b", 3); }, "station 'a\\x00b'"},
    {"PortNotUtf8", [](DeviceRecord& r) { r.port = "\xff"; }, "port '\\xff'"},
};
// clang-format on

TEST_P(LedgerTest, MalformedRecordsAreRefusedAndNothingIsStored) {
    std::string error;
    ASSERT_EQ(ledger_->openRun(counter("R", 3, 1, 9, "r"), error), S::Ok) << error;
    for (const RecordRefusal& c : kRecordRefusals) {
        DeviceRecord record{"r", "", "station-1", "p", "c", "", "", "", {}, {}, "programmed", ""};
        c.change(record);
        EXPECT_EQ(ledger_->addRecord(record, error), S::Invalid) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    }
    std::vector<DeviceRecord> read;
    EXPECT_EQ(ledger_->records("r", read, error), S::Ok) << error;
    EXPECT_TRUE(read.empty());
}

// One process of the test below: its own Ledger, shared by two threads that
// each reserve and commit for eight chips, which process `process ^ 1` takes
// at the same time.  False, and why on stderr, when a call is refused.
bool takeNumbersAtOnce(const std::string& where, const RunDefinition& run, int process) {
    std::string error;
    std::unique_ptr<Ledger> ledger = openLedger(where, error);
    if (!ledger || ledger->openRun(run, error) != S::Ok) {
        std::fprintf(stderr, "process %d: %s\n", process, error.c_str());
        return false;
    }
    std::atomic<bool> ok{true};
    const auto work = [&](int thread) {
        for (int i = 0; i < 8; ++i) {
            const std::string chip = "chip-" + std::to_string(process / 2 * 16 + thread * 8 + i);
            NumberRow row;
            std::string why;
            if (ledger->reserve(run.name, chip, "station-" + std::to_string(process), row, why) !=
                    S::Ok ||
                ledger->commit(run.name, row.serial, chip, why) != S::Ok) {
                std::fprintf(stderr, "%s: %s\n", chip.c_str(), why.c_str());
                ok = false;
            }
        }
    };
    std::thread first(work, 0), second(work, 1);
    first.join();
    second.join();
    return ok;
}

// 4 processes x 2 threads x 8 chips on a new ledger (its schema and run
// created by whichever process comes first), each chip taken by two
// processes at once: the 32 chips hold every number of 501..532, none
// skipped, none twice.
TEST_P(LedgerTest, ProcessesAndThreadsAtOnceTakeEveryNumberOnce) {
    ledger_.reset();  // no connection of this process may live on in a child
    where_ = newLedgerLocation();
    const RunDefinition run = counter("P", 6, 501, 999, "p");
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int process = 0; process < 4; ++process) {
        const pid_t pid = fork();
        if (pid == 0) {
            char start;
            close(go[1]);
            const bool ok = read(go[0], &start, 1) == 0 && takeNumbersAtOnce(where_, run, process);
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(go[1]);  // every child starts now
    for (const pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a child failed: see above";
    }
    open();
    std::vector<std::string> serials, expected;
    std::set<std::string> chips;
    for (const NumberRow& row : numbers("p")) {
        serials.push_back(row.serial);
        chips.insert(row.chip);
        EXPECT_EQ(row.state, NumberState::Committed) << row.serial;
    }
    for (int n = 501; n <= 532; ++n) expected.push_back("P000" + std::to_string(n));
    EXPECT_EQ(serials, expected);
    EXPECT_EQ(chips.size(), 32u);
}

class PostgresLedgerTest : public LedgerFixture {
  protected:
    void SetUp() override { prepare("postgres"); }
};

// The server goes away while a reservation has taken the counter and waits
// at its insert: the cut transaction leaves nothing, calls are Unavailable
// while the server is down, and the same Ledger goes on, without a gap, once
// it is back.  Killed, not shut down: a fast shutdown ends the lock holder's
// session first, and the reservation could then finish, now and then, before
// its own session ended.
TEST_F(PostgresLedgerTest, ServerStoppedMidReservationLeavesNoGap) {
    struct Restart {
        ~Restart() {
            if (!postgres().running) postgres().start();
        }
    } restart;
    std::string error;
    ASSERT_EQ(ledger_->openRun(counter("M", 3, 1, 99, "m"), error), S::Ok) << error;
    EXPECT_EQ(take(*ledger_, "m", "a"), "M001");
    // Another client holds the numbers table: reads go on, inserts wait.
    PgConn holder(where_), watcher(where_);
    ASSERT_EQ(holder.run("BEGIN; LOCK TABLE numbers IN EXCLUSIVE MODE"), "");
    LedgerStatus cut = S::Ok;
    std::string cutError;
    std::thread reservation([&] {
        NumberRow row;
        cut = ledger_->reserve("m", "b", "station-1", row, cutError);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (watcher.run("SELECT count(*) FROM pg_locks WHERE NOT granted "
                       "AND relation = 'numbers'::regclass") != "1" &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(postgres().stop("immediate")) << postgres().log();
    reservation.join();
    EXPECT_EQ(cut, S::Unavailable) << cutError;
    NumberRow row;
    EXPECT_EQ(ledger_->reserve("m", "c", "station-1", row, error), S::Unavailable) << error;
    EXPECT_EQ(ledger_->commit("m", "M001", "a", error), S::Unavailable) << error;
    ASSERT_TRUE(postgres().start()) << postgres().log();
    EXPECT_EQ(take(*ledger_, "m", "b"), "M002");
    EXPECT_EQ(take(*ledger_, "m", "c"), "M003");
    EXPECT_EQ(numbers("m").size(), 3u);
}

TEST(ExportTest, JsonEscapesControlBytesAndBytesThatAreNotUtf8) {
    DeviceRecord record{"r\xc3\xa9", "t", "s",          "p", "c",      "\xe9\x01",
                        "a\"b\\c",   "",  {0x00, 0xff}, {},  "failed", "line\r\nend\x7f"};
    EXPECT_EQ(recordsJson({}), "[]\n");
    EXPECT_EQ(recordsJson({record}),
              "[\n  {\"run\": \"r\xc3\xa9\", \"time\": \"t\", \"station\": \"s\", \"port\": \"p\", "
              "\"chip\": \"c\", \"old_serial\": \"\\u00e9\\u0001\", \"new_serial\": "
              "\"a\\\"b\\\\c\", \"cbus\": \"\", \"result\": \"failed\", \"error\": "
              "\"line\\u000d\\u000aend\\u007f\", \"image_before\": \"00ff\", \"image_after\": "
              "\"\"}\n]\n");
}

}  // namespace
}  // namespace station
