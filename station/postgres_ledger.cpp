// The PostgreSQL backend, through libpq: one ledger for several stations.
// A lost connection is Unavailable, and re-established on the next call.

#include <libpq-fe.h>

#include "ledger_db.hpp"

namespace station::detail {
namespace {

using S = LedgerStatus;

// Type OIDs of the parameters (pg_type).
constexpr Oid kByteaOid = 17, kInt8Oid = 20, kTextOid = 25;
// Serializes schema and run creation among processes: "varnolt" in ASCII.
constexpr std::int64_t kLedgerLockKey = 0x7661726e6f6c74;

// `sql` with its `?` (outside quotes) as $1, $2...
std::string numbered(const std::string& sql) {
    std::string out;
    int n = 0;
    bool quoted = false;
    for (const char c : sql) {
        quoted ^= c == '\'';
        if (c == '?' && !quoted) {
            out += "$" + std::to_string(++n);
        } else {
            out += c;
        }
    }
    return out;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

class PostgresDb final : public Db {
  public:
    explicit PostgresDb(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PostgresDb() override { PQfinish(conn_); }

    LedgerStatus connect(std::string& error);
    LedgerStatus begin(bool write, std::string& error) override;
    LedgerStatus exec(const std::string& sql, const std::vector<Param>& params,
                      std::vector<Row>* rows, std::string& error) override;
    void rollback() override {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) PQclear(PQexec(conn_, "ROLLBACK"));
    }
    LedgerStatus lockLedger(std::string& error) override {
        return exec("SELECT pg_advisory_xact_lock(?)", {integer(kLedgerLockKey)}, nullptr, error);
    }
    const char* forUpdate() const override { return " FOR UPDATE"; }
    const char* hasMetaSql() const override {
        return "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() "
               "AND tablename = 'meta'";
    }
    std::vector<std::string> schemaV1() const override;

  private:
    LedgerStatus failure(const PGresult* result, std::string& error) const;

    std::string conninfo_;
    PGconn* conn_ = nullptr;
};

LedgerStatus PostgresDb::connect(std::string& error) {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) return S::Ok;
    if (conn_) {
        PQreset(conn_);
    } else {
        // connect_timeout first: one in the connection string comes later
        // and wins (libpq keeps the last value of a repeated keyword).
        const char* const keys[] = {"connect_timeout", "dbname", nullptr};
        const char* const values[] = {"10", conninfo_.c_str(), nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        // Notices (a trigger's NOTICE, "already exists, skipping") are not
        // the station's terminal's business.
        if (conn_)
            PQsetNoticeProcessor(
                conn_, [](void*, const char*) {}, nullptr);
    }
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) return S::Ok;
    error =
        "PostgreSQL: cannot connect: " + trimmed(conn_ ? PQerrorMessage(conn_) : "out of memory");
    return S::Unavailable;
}

LedgerStatus PostgresDb::begin(bool, std::string& error) {
    // A connection found lost at BEGIN (a server restarted since the last
    // call) is re-established and BEGIN sent again: nothing of this call
    // has been done yet.
    for (int attempt = 0;; ++attempt) {
        LedgerStatus s = connect(error);
        if (s != S::Ok) return s;
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) rollback();
        s = exec("BEGIN", {}, nullptr, error);
        if (s != S::Unavailable || attempt == 1 || PQstatus(conn_) == CONNECTION_OK) return s;
    }
}

LedgerStatus PostgresDb::exec(const std::string& sql, const std::vector<Param>& params,
                              std::vector<Row>* rows, std::string& error) {
    if (rows) rows->clear();
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
        error = "PostgreSQL: the connection was lost";
        return S::Unavailable;
    }
    std::vector<std::string> numbers;
    numbers.reserve(params.size());  // its strings' addresses are passed on
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    std::vector<Oid> types;
    for (const Param& p : params) {
        // Text as text (checked free of NUL), blobs in binary with their length.
        const bool binary = p.kind == Param::Kind::Blob;
        if (p.kind == Param::Kind::Int) numbers.push_back(std::to_string(p.number));
        values.push_back(p.kind == Param::Kind::Int ? numbers.back().c_str() : p.bytes.c_str());
        lengths.push_back(binary ? static_cast<int>(p.bytes.size()) : 0);
        formats.push_back(binary ? 1 : 0);
        types.push_back(binary ? kByteaOid : p.kind == Param::Kind::Int ? kInt8Oid : kTextOid);
    }
    PGresult* result = PQexecParams(conn_, numbered(sql).c_str(), static_cast<int>(params.size()),
                                    types.data(), values.data(), lengths.data(), formats.data(), 0);
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const LedgerStatus s = failure(result, error);
        PQclear(result);
        return s;
    }
    for (int r = 0; rows && r < PQntuples(result); ++r) {
        Row& row = rows->emplace_back();
        for (int c = 0; c < PQnfields(result); ++c) {
            const char* value = PQgetvalue(result, r, c);
            if (PQgetisnull(result, r, c)) {
                row.emplace_back();
            } else if (PQftype(result, c) == kByteaOid) {
                std::size_t size = 0;
                unsigned char* bytes =
                    PQunescapeBytea(reinterpret_cast<const unsigned char*>(value), &size);
                row.emplace_back(std::string(reinterpret_cast<const char*>(bytes), size));
                PQfreemem(bytes);
            } else {
                row.emplace_back(
                    std::string(value, static_cast<std::size_t>(PQgetlength(result, r, c))));
            }
        }
    }
    PQclear(result);
    return S::Ok;
}

LedgerStatus PostgresDb::failure(const PGresult* result, std::string& error) const {
    const auto field = [&](int code) -> std::string {
        const char* value = result ? PQresultErrorField(result, code) : nullptr;
        return value ? value : "";
    };
    const std::string state = field(PG_DIAG_SQLSTATE), detail = field(PG_DIAG_MESSAGE_DETAIL);
    const std::string primary = field(PG_DIAG_MESSAGE_PRIMARY);
    error = "PostgreSQL: " + (primary.empty() ? trimmed(PQerrorMessage(conn_)) : primary) +
            (detail.empty() ? "" : " (" + detail + ")");
    const std::string group = state.substr(0, 2);
    // Worth another try later: no SQLSTATE (the client saw the connection
    // close), 08 connection exception, 57 the server shutting down or
    // starting, 53 out of resources, 40 the transaction rolled back
    // (serialization failure, deadlock).
    if (PQstatus(conn_) == CONNECTION_BAD || state.empty() || group == "08" || group == "57" ||
        group == "53" || group == "40") {
        return S::Unavailable;
    }
    if (group == "23") return S::Conflict;  // integrity constraint violation
    if (group == "22") return S::Invalid;   // data exception
    return S::Failed;
}

std::vector<std::string> PostgresDb::schemaV1() const {
    const std::string refuse =
        "RAISE EXCEPTION USING ERRCODE = 'integrity_constraint_violation', MESSAGE = ";
    const auto refusing = [&](const std::string& message) {
        return "EXECUTE FUNCTION ledger_refuse('" + message + "')";
    };
    std::vector<std::string> sql = {
        "CREATE TABLE meta (key text PRIMARY KEY, value text NOT NULL)",
        R"(CREATE TABLE runs (
             id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
             name text NOT NULL UNIQUE CHECK (name <> ''),
             kind text NOT NULL CHECK (kind IN ('counter', 'list')),
             prefix text NOT NULL CHECK (prefix ~ '^[!-~]*$'),
             width integer NOT NULL,
             first bigint NOT NULL,
             last bigint NOT NULL,
             next bigint NOT NULL,
             last_taken bigint,
             created_at text NOT NULL,
             CHECK (0 <= first AND first <= last),
             CHECK (kind = 'list' AND prefix = '' AND width = 0 AND first = 1
                    OR kind = 'counter' AND width BETWEEN 1 AND 15
                       AND length(prefix) + width <= 15 AND length(last::text) <= width),
             CHECK (first <= next AND next <= last + 1),
             CHECK (CASE WHEN last_taken IS NULL THEN next = first
                         ELSE last_taken = next - 1 END)))",
        R"(CREATE TABLE run_serials (
             run_id bigint NOT NULL REFERENCES runs (id),
             position bigint NOT NULL CHECK (position >= 1),
             serial text NOT NULL UNIQUE CHECK (serial ~ '^[!-~]{1,15}$'),
             PRIMARY KEY (run_id, position)))",
        R"(CREATE TABLE numbers (
             run_id bigint NOT NULL REFERENCES runs (id),
             position bigint NOT NULL,
             serial text NOT NULL UNIQUE CHECK (length(serial) BETWEEN 1 AND 15),
             chip text NOT NULL CHECK (chip <> ''),
             station text NOT NULL CHECK (station <> ''),
             state text NOT NULL,
             reserved_at text NOT NULL CHECK (reserved_at <> ''),
             committed_at text NOT NULL DEFAULT '',
             released_at text NOT NULL DEFAULT '',
             reason text NOT NULL DEFAULT '',
             PRIMARY KEY (run_id, position),
             CHECK (state = 'reserved' AND committed_at = '' AND released_at = '' AND reason = ''
                 OR state = 'committed' AND committed_at <> '' AND released_at = '' AND reason = ''
                 OR state = 'released' AND committed_at = '' AND released_at <> ''
                    AND reason <> '')))",
        "CREATE UNIQUE INDEX numbers_live_chip ON numbers (run_id, chip) WHERE state <> 'released'",
        "ALTER TABLE runs ADD CONSTRAINT runs_last_taken_fkey FOREIGN KEY (id, last_taken) "
        "REFERENCES numbers (run_id, position) DEFERRABLE INITIALLY DEFERRED",
        R"(CREATE TABLE records (
             id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
             run_id bigint NOT NULL REFERENCES runs (id),
             time text NOT NULL CHECK (time <> ''),
             station text NOT NULL,
             port text NOT NULL,
             chip text NOT NULL,
             old_serial bytea NOT NULL,
             new_serial bytea NOT NULL,
             cbus text NOT NULL CHECK (length(cbus) IN (0, 14)),
             image_before bytea NOT NULL CHECK (octet_length(image_before) IN (0, 256)),
             image_after bytea NOT NULL CHECK (octet_length(image_after) IN (0, 256)),
             result text NOT NULL CHECK (result IN ('programmed', 'kept', 'failed', 'refused')),
             error text NOT NULL CHECK (result IN ('programmed', 'kept') OR error <> '')))",
        "CREATE FUNCTION ledger_refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " + refuse +
            "TG_ARGV[0]; END $$",
        // A WHEN clause cannot hold a subquery: these two checks are functions.
        "CREATE FUNCTION runs_counter() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF (NEW.id, NEW.name, NEW.kind, NEW.prefix, NEW.width, NEW.first, NEW.last, "
        "NEW.created_at) IS DISTINCT FROM (OLD.id, OLD.name, OLD.kind, OLD.prefix, OLD.width, "
        "OLD.first, OLD.last, OLD.created_at) "
        "OR NEW.next IS DISTINCT FROM OLD.next + 1 OR NEW.last_taken IS DISTINCT FROM OLD.next "
        "OR OLD.last_taken IS NOT NULL AND NOT EXISTS (SELECT 1 FROM numbers "
        "WHERE run_id = OLD.id AND position = OLD.last_taken) THEN " +
            refuse + "'" + kRunsCounterMessage + "'; END IF; RETURN NEW; END $$",
        "CREATE TRIGGER runs_counter BEFORE UPDATE ON runs FOR EACH ROW "
        "EXECUTE FUNCTION runs_counter()",
        "CREATE FUNCTION numbers_reserve() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF NEW.state IS DISTINCT FROM 'reserved' "
        "OR NEW.position IS DISTINCT FROM (SELECT last_taken FROM runs WHERE id = NEW.run_id) "
        "OR NEW.serial IS DISTINCT FROM (SELECT CASE r.kind WHEN 'list' THEN (SELECT s.serial "
        "FROM run_serials s WHERE s.run_id = r.id AND s.position = NEW.position) "
        "ELSE r.prefix || lpad(NEW.position::text, r.width, '0') END "
        "FROM runs r WHERE r.id = NEW.run_id) THEN " +
            refuse + "'" + kNumbersReserveMessage + "'; END IF; RETURN NEW; END $$",
        "CREATE TRIGGER numbers_reserve BEFORE INSERT ON numbers FOR EACH ROW "
        "EXECUTE FUNCTION numbers_reserve()",
        "CREATE TRIGGER numbers_transition BEFORE UPDATE ON numbers FOR EACH ROW "
        "WHEN (OLD.state <> 'reserved' OR NEW.state NOT IN ('committed', 'released') "
        "OR (NEW.run_id, NEW.position, NEW.serial, NEW.chip, NEW.station, NEW.reserved_at) "
        "IS DISTINCT FROM (OLD.run_id, OLD.position, OLD.serial, OLD.chip, OLD.station, "
        "OLD.reserved_at)) " +
            refusing(kNumbersTransitionMessage),
    };
    for (const std::string table : {"runs", "run_serials", "numbers", "records"}) {
        const std::string deleted = refusing(appendOnlyMessage(table, "deleted"));
        sql.push_back("CREATE TRIGGER " + table + "_kept BEFORE DELETE ON " + table +
                      " FOR EACH ROW " + deleted);
        // TRUNCATE fires no row trigger.
        sql.push_back("CREATE TRIGGER " + table + "_not_truncated BEFORE TRUNCATE ON " + table +
                      " FOR EACH STATEMENT " + deleted);
    }
    for (const std::string table : {"run_serials", "records"}) {
        sql.push_back("CREATE TRIGGER " + table + "_fixed BEFORE UPDATE ON " + table +
                      " FOR EACH ROW " + refusing(appendOnlyMessage(table, "changed")));
    }
    return sql;
}

}  // namespace

std::unique_ptr<Db> openPostgresDb(const std::string& conninfo, LedgerStatus& status,
                                   std::string& error) {
    auto db = std::make_unique<PostgresDb>(conninfo);
    status = db->connect(error);
    if (status != S::Ok) return nullptr;
    return db;
}

}  // namespace station::detail
