// A throwaway PostgreSQL server for a test program (field facts, "A
// throwaway PostgreSQL server for tests"): a cluster in a temporary folder,
// reached on a Unix socket there, started for the program when a test first
// asks for it (as user 65534 when run as root: the server refuses root) and
// stopped at its end.  Tests that need it skip, with the reason, where it
// cannot start.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace station {

// The throwaway server (field facts, "A throwaway PostgreSQL server for
// tests"): a cluster in a temporary folder, reached on a Unix socket there.
struct Postgres {
    std::string bin, base, asUser;
    std::string skipReason = "the server was not started";
    bool running = false;

    std::string conninfo(const std::string& db) const {
        return "host=" + base + " dbname=" + db + " user=ledger";
    }
    // Runs a server program as the server's user, its output in commands.log.
    bool run(const std::string& command) const {
        const std::string line = "cd " + base + " && " + asUser + bin + "/" + command + " >>" +
                                 base + "/commands.log 2>&1";
        return std::system(line.c_str()) == 0;
    }
    bool start() {
        return running = run("pg_ctl -D " + base + "/data -l " + base + "/server.log -o \"-k " +
                             base + " -c listen_addresses='' -c fsync=off\" -w start");
    }
    // "fast" ends each session's transaction first; "immediate" kills every
    // process where it stands, as a crash would, and the next start recovers.
    bool stop(const std::string& mode = "fast") {
        return !(running = !run("pg_ctl -D " + base + "/data -m " + mode + " -w stop"));
    }
    std::string log() const {
        std::ifstream in(base + "/commands.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};
// Finds the server's programs and starts it, or says why not.
inline void startPostgres(Postgres& pg) {
    std::error_code ec;
    int version = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::filesystem::path bin = entry.path() / "bin";
        if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "pg_ctl") &&
            std::atoi(entry.path().filename().c_str()) > version) {
            pg.bin = bin;
            version = std::atoi(entry.path().filename().c_str());
        }
    }
    if (pg.bin.empty()) {
        pg.skipReason = "no initdb/pg_ctl under /usr/lib/postgresql/*/bin (Debian: postgresql)";
        return;
    }
    char folder[] = "/tmp/ledger-pg-XXXXXX";  // every user can reach /tmp
    pg.base = mkdtemp(folder);
    if (geteuid() == 0) {
        // The server refuses root: nobody owns the folder and runs it.
        if (!std::filesystem::exists("/usr/bin/setpriv") || chown(folder, 65534, 65534) != 0) {
            pg.skipReason = "run as root, and cannot hand the server to user 65534 (setpriv)";
            return;
        }
        pg.asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    if (!pg.run("initdb -D " + pg.base +
                "/data -A trust -U ledger -E UTF8 --locale=C "
                "--no-sync") ||
        !pg.start()) {
        pg.skipReason = "the PostgreSQL server did not start (" + pg.asUser + "): " + pg.log();
        return;
    }
    pg.skipReason.clear();
}

// The program's server, whether started or not.
inline Postgres& postgresState() {
    static Postgres server;
    return server;
}

// The program's server, started on the first call.
inline Postgres& postgres() {
    static const bool started = (startPostgres(postgresState()), true);
    (void)started;
    return postgresState();
}

// Stops the server, if one was started, when the program's tests end.
class PostgresEnvironment : public ::testing::Environment {
  public:
    void TearDown() override {
        Postgres& pg = postgresState();
        if (pg.running) pg.stop();
        std::error_code ec;
        if (!pg.base.empty()) std::filesystem::remove_all(pg.base, ec);
    }
};
inline const auto* const kPostgresEnvironment =
    ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

}  // namespace station
