// varnolt-station: a production station.  Every FT232R attached (or those
// at the ports given) is programmed at the same time, each with a serial
// number of a run that a ledger hands out once; see device_job.hpp for a
// device's way, ledger.hpp for the ledger, report.hpp for what is said.
//
// Exit status: 0 every device programmed or kept; 1 a device failed, was
// refused or interrupted, or none is attached; 2 a usage error or a run
// the ledger refuses; 3 the ledger cannot be opened or reached.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_job.hpp"
#include "ledger.hpp"
#include "options.hpp"
#include "report.hpp"
#include "signal_hold.hpp"
#include "text.hpp"
#include "watch.hpp"
#include "word_transport.hpp"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLedger = 3;

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "varnolt-station: %s\n", message.c_str());
    return status;
}

// Where the ledger is kept when no --ledger names it: the user's state
// folder (XDG_STATE_HOME, by default ~/.local/state), varnolt/ledger.sqlite.
std::string defaultLedger() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::string folder = state != nullptr && *state == '/' ? state
                               : home != nullptr ? std::string(home) + "/.local/state"
                                                 : ".";
    return folder + "/varnolt/ledger.sqlite";
}

std::string hostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// Runs `work` on each job, each in its own thread, and waits for all.
template <typename Work>
void eachAtOnce(std::vector<std::unique_ptr<station::DeviceJob>>& jobs, Work work) {
    std::vector<std::thread> threads;
    for (auto& job : jobs) threads.emplace_back([&job, &work] { work(*job); });
    for (std::thread& thread : threads) thread.join();
}

// The FT232R devices to program: every one attached, or those at the ports
// given (each must be attached).
bool portsToProgram(d2xx::DeviceBus& bus, const station::Options& options,
                    std::vector<std::string>& ports, std::string& error) {
    std::vector<std::string> attached;
    if (bus.ports(attached) != FT_OK) {
        error = "cannot list the USB devices";
        return false;
    }
    if (options.ports.empty()) ports = attached;
    for (const std::string& port : options.ports) {
        if (std::find(attached.begin(), attached.end(), port) == attached.end()) {
            error = "no FT232R at port " + printable(port);
            return false;
        }
        ports.push_back(port);
    }
    if (ports.empty()) error = "no FT232R device attached";
    return !ports.empty();
}

// Every device attached now, each in a thread of its own.  Every chip is
// read first, so that chips sharing one identity (clones of one factory
// area) are all refused: which one the ledger's number belongs to cannot be
// told.
int programAttached(const station::DeviceJob::Station& shared) {
    std::vector<std::string> ports;
    std::string error;
    if (!portsToProgram(shared.bus, shared.options, ports, error)) return fail(kExitFailed, error);
    std::vector<std::unique_ptr<station::DeviceJob>> jobs;
    for (const std::string& port : ports) {
        jobs.push_back(std::make_unique<station::DeviceJob>(shared, port));
    }
    eachAtOnce(jobs, [](station::DeviceJob& job) { job.read(); });
    std::map<std::string, std::vector<station::DeviceJob*>> byIdentity;
    for (auto& job : jobs) {
        if (job->result().empty()) byIdentity[job->identity()].push_back(job.get());
    }
    for (auto& [identity, sharing] : byIdentity) {
        if (sharing.size() < 2) continue;
        for (station::DeviceJob* job : sharing) {
            job->refuse("another chip attached has the same factory area (identity " + identity +
                        "): clones cannot be told apart, so neither gets a number");
        }
    }
    eachAtOnce(jobs, [](station::DeviceJob& job) {
        if (job.result().empty()) job.program();
    });
    bool allDone = true;
    for (const auto& job : jobs) {
        allDone = allDone && (job->result() == "programmed" || job->result() == "kept");
    }
    return allDone ? kExitOk : kExitFailed;
}

// Each device as it is plugged in (at the ports given, if any), until a
// signal: the devices being programmed then are finished first.  A port's
// job runs once per plugging-in; a chip plugged in again is read again,
// and one that holds its committed number is kept, never written twice.
int programAsPlugged(const station::DeviceJob::Station& shared) {
    station::Watch watch;
    std::string why;
    if (!watch.ok(why)) return fail(kExitFailed, "cannot watch the USB bus: " + why);
    shared.report.say("watching for FT232R devices; a signal (Ctrl-C) stops");
    struct Running {
        std::unique_ptr<station::DeviceJob> job;
        std::thread thread;
        bool done = false;
    };
    std::map<std::string, Running> running;
    std::mutex doneMutex;
    bool allDone = true;
    auto wanted = [&](const std::string& port) {
        const auto& ports = shared.options.ports;
        return ports.empty() || std::find(ports.begin(), ports.end(), port) != ports.end();
    };
    for (bool stopping = false; !stopping || !running.empty();) {
        stopping = stopping || SignalHold::interruptPending();
        for (const station::PortEvent& event : watch.take(100)) {
            if (!wanted(event.port)) continue;
            if (!event.arrived) {
                shared.attached.left(event.port);
                if (running.count(event.port) == 0) {
                    shared.report.event({event.port, "waiting", "", "", "", ""});
                }
                continue;
            }
            // A device being programmed that comes back after its own port
            // reset is that job's.
            if (stopping || running.count(event.port) != 0) continue;
            Running& slot = running[event.port];
            slot.job = std::make_unique<station::DeviceJob>(shared, event.port);
            slot.thread = std::thread([&slot, &doneMutex] {
                slot.job->run();
                std::lock_guard<std::mutex> lock(doneMutex);
                slot.done = true;
            });
        }
        std::lock_guard<std::mutex> lock(doneMutex);
        for (auto it = running.begin(); it != running.end();) {
            if (!it->second.done) {
                ++it;
                continue;
            }
            it->second.thread.join();
            const std::string& result = it->second.job->result();
            allDone = allDone && (result == "programmed" || result == "kept");
            it = running.erase(it);
        }
    }
    return allDone ? kExitOk : kExitFailed;
}

int program(station::Ledger& ledger, const station::Options& options) {
    std::string error;
    const station::LedgerStatus opened = ledger.openRun(options.run, error);
    if (opened != station::LedgerStatus::Ok) {
        return fail(opened == station::LedgerStatus::Unavailable ? kExitLedger : kExitUsage,
                    "run " + printable(options.run.name) + ": " + error);
    }
    station::Report report(stdout, !options.json && isatty(STDOUT_FILENO) == 1, options.station,
                           options.run.name);
    std::atomic<bool> ledgerDown{false};
    station::DeviceJob::Attached attached;
    const station::DeviceJob::Station shared{d2xx::deviceBus(), ledger,     report,
                                             options,           ledgerDown, attached};
    return options.watch ? programAsPlugged(shared) : programAttached(shared);
}

int release(station::Ledger& ledger, const station::Options& options) {
    std::string error;
    const station::LedgerStatus status =
        ledger.release(options.run.name, options.serial, options.reason, error);
    if (status != station::LedgerStatus::Ok) return fail(kExitFailed, error);
    std::printf("%s of run %s released: %s\n", printable(options.serial).c_str(),
                printable(options.run.name).c_str(), printable(options.reason).c_str());
    return kExitOk;
}

int exportRecords(station::Ledger& ledger, const station::Options& options) {
    std::vector<station::DeviceRecord> records;
    std::string error;
    if (ledger.records(options.run.name, records, error) != station::LedgerStatus::Ok) {
        return fail(kExitFailed, error);
    }
    const std::string text =
        options.csv ? station::recordsCsv(records) : station::recordsJson(records) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
}

// The run's numbers, one a line: serial, state, chip, station and times.
int listNumbers(station::Ledger& ledger, const station::Options& options) {
    std::vector<station::NumberRow> rows;
    std::string error;
    if (ledger.numbers(options.run.name, rows, error) != station::LedgerStatus::Ok) {
        return fail(kExitFailed, error);
    }
    static const char* const kStates[] = {"reserved", "committed", "released"};
    for (const station::NumberRow& row : rows) {
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.serial.c_str(),
                    kStates[static_cast<int>(row.state)], row.chip.c_str(),
                    printable(row.station).c_str(), row.reservedAt.c_str(),
                    (row.committedAt + row.releasedAt).c_str(), printable(row.reason).c_str());
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // Held from before any thread starts (libusb's, the devices'): a signal
    // waits until every device being written is finished and given back.
    const SignalHold hold;
    station::Options options;
    std::string error;
    if (!station::parseOptions(argc, argv, defaultLedger(), hostName(), options, error)) {
        return fail(kExitUsage, error);
    }
    station::LedgerStatus status = station::LedgerStatus::Ok;
    const std::unique_ptr<station::Ledger> ledger =
        station::openLedger(options.ledger, error, &status);
    if (!ledger) return fail(kExitLedger, "the ledger " + options.ledger + ": " + error);
    if (options.command == "program") return program(*ledger, options);
    if (options.command == "release") return release(*ledger, options);
    if (options.command == "export") return exportRecords(*ledger, options);
    return listNumbers(*ledger, options);
}
