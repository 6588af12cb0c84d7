// varnolt-station as a whole, with the real libftdi1 and libusb, against
// FT232R chips that ft232r-usb emulates at the kernel's USB interface,
// behind hubs, each with a factory area of its own; the ledger an SQLite
// file.  Each run is a fresh bus over the image files, as a replug is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ft232r_eeprom.hpp"
#include "images.hpp"
#include "postgres.hpp"
#include "process.hpp"

namespace {

// A chip: its serial number, and the factory area its identity comes from
// (`factory`: the same number, the same area; 0: one of its own; -1:
// erased, no identity).
struct Chip {
    std::string serial;
    int factory = 0;
};

class Station : public testing::Test, protected ImageFolder {
  protected:
    Station() : ImageFolder("varnolt-station") {}
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        static const std::string skip = [this] {
            const ProcessResult probe = runProcess({FT232R_USB, add({"PROBE"}), "--", "true"}, {});
            return probe.status == 77 ? probe.err : std::string();
        }();
        if (!skip.empty()) GTEST_SKIP() << skip;
    }

    // An image file for `chip`, with a factory area of its own (256 bytes).
    std::string add(const Chip& chip) {
        const ft232r::Image user = ft232r::makeImage(exampleFields(chip.serial));
        std::vector<std::uint8_t> bytes(user.begin(), user.end());
        const int seed = chip.factory != 0 ? 1000 + chip.factory : static_cast<int>(++made_);
        for (unsigned i = 0; i < ft232r::kFactoryBytes; ++i) {
            bytes.push_back(chip.factory < 0 ? 0xFF : static_cast<std::uint8_t>(i * 7 + seed * 31));
        }
        const std::string path =
            dir_ + "/chip" + std::to_string(made_) + "-" + std::to_string(files_++) + ".bin";
        writeFile(path, bytes);
        return path;
    }

    // varnolt-station `args` with the chips at `places` (file@place,...)
    // and per-place faults ("1-1.2=clone"); its standard output's lines.
    ProcessResult station(const std::vector<std::string>& chips,
                          const std::vector<std::string>& args,
                          const std::vector<std::string>& faults = {},
                          const std::vector<std::string>& more = {}) {
        std::vector<std::string> command = {FT232R_USB, "--log", dir_ + "/usb.log"};
        for (const std::string& fault : faults)
            command.insert(command.end(), {"--fault-at", fault});
        command.insert(command.end(), more.begin(), more.end());
        command.insert(command.end(), chips.begin(), chips.end());
        command.insert(command.end(), {"--", STATION, "--ledger", ledger_, "--station", "bench",
                                       "--wait", "1", "--json"});
        command.insert(command.end(), args.begin(), args.end());
        return runProcess(command, {{"LD_LIBRARY_PATH", ""}});
    }

    // The serial number an image file holds now.
    static std::string serialOf(const std::string& file) {
        ft232r::Fields fields;
        EXPECT_NE(ft232r::decode(imageOf(file), fields), ft232r::DecodeResult::Broken) << file;
        return fields.serial;
    }

    // The ledger's numbers of `run`: serial -> state.
    std::map<std::string, std::string> numbers(const std::string& run = "R") {
        std::map<std::string, std::string> states;
        const ProcessResult listed = runProcess({STATION, "--ledger", ledger_, "numbers", run}, {});
        std::istringstream lines(listed.out);
        for (std::string serial, state, rest;
             lines >> serial >> state && std::getline(lines, rest);) {
            states[serial] = state;
        }
        return states;
    }

    std::string ledger_ = dir_ + "/ledger.sqlite";
    unsigned made_ = 0, files_ = 0;
};

const std::vector<std::string> kRun = {"program", "R", "--prefix", "VN",
                                       "--width", "6", "--first",  "1"};

// How many lines of the station's output say `state` ("programmed") of `port`.
int said(const ProcessResult& run, const std::string& port, const std::string& state) {
    const std::string what = "\"port\":\"" + port + "\",\"state\":\"" + state + "\"";
    int count = 0;
    for (std::size_t at = 0; (at = run.out.find(what, at)) != std::string::npos; ++at) ++count;
    return count;
}

// Eight chips behind two hubs in one run, four of them failing in four
// ways: the others finish; the failed ones keep their numbers, and a second
// run, with the faults gone, finishes them with those numbers.
TEST_F(Station, EightChipsBehindTwoHubsSomeFailing) {
    std::vector<std::string> chips, files;
    const std::vector<std::string> places = {"1-1.1", "1-1.2", "1-1.3", "1-1.4",
                                             "1-2.1", "1-2.2", "1-2.3", "1-2.4"};
    for (const std::string& place : places) {
        files.push_back(add({"OLD" + place}));
        chips.push_back(files.back() + "@" + place);
    }
    const std::vector<std::string> faults = {"1-1.2=writes=5", "1-1.3=clone", "1-1.4=and-writes",
                                             "1-2.1=unplug=reset"};
    const ProcessResult first = station(chips, kRun, faults);
    EXPECT_EQ(first.status, 1) << first.err;
    for (std::size_t i = 0; i < places.size(); ++i) {
        const bool failing = i >= 1 && i <= 4;
        EXPECT_EQ(said(first, places[i], failing ? "failed" : "programmed"), 1) << places[i];
    }
    std::map<std::string, std::string> states = numbers();
    ASSERT_EQ(states.size(), 8u);
    EXPECT_EQ(std::count_if(states.begin(), states.end(),
                            [](const auto& n) { return n.second == "reserved"; }),
              4);
    const ProcessResult second = station(chips, kRun);
    EXPECT_EQ(second.status, 0) << second.err << second.out;
    std::set<std::string> serials;
    for (std::size_t i = 0; i < places.size(); ++i) {
        const bool failing = i >= 1 && i <= 4;
        EXPECT_EQ(said(second, places[i], failing ? "programmed" : "kept"), 1) << places[i];
        serials.insert(serialOf(files[i]));
    }
    // Eight numbers, consecutive, each on one chip, all committed.
    states = numbers();
    EXPECT_EQ(serials, (std::set<std::string>{"VN000001", "VN000002", "VN000003", "VN000004",
                                              "VN000005", "VN000006", "VN000007", "VN000008"}));
    for (const auto& [serial, state] : states) EXPECT_EQ(state, "committed") << serial;
    // Sixteen records (RFC 4180 CSV, CRLF), the first run's before-images
    // whole (256 bytes: a backup that varnolt-eeprom write restores).
    const ProcessResult csv = runProcess({STATION, "--ledger", ledger_, "export", "R"}, {});
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = csv.out.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        lines.push_back(csv.out.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 17u) << csv.out;
    EXPECT_EQ(lines[0],
              "run,time,station,port,chip,old_serial,new_serial,cbus,result,error,"
              "image_before,image_after");
    EXPECT_NE(lines[1].find(",bench,1-1."), std::string::npos);
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(",[0-9a-f]{512}(,|$)"))) << lines[1];
}

// What handed out duplicate serial numbers before, each a row of runs with
// the chips then attached: no number goes to two chips, none is lost, and
// a chip done once is never numbered again.  Chips are named A, B, C by
// their factory areas.
TEST_F(Station, NoNumberTwice) {
    struct Step {
        std::vector<std::pair<char, std::string>> chips;  // chip, place
        std::vector<std::string> faults;
        std::vector<std::string> args;  // after the run's name
        int status;
        std::vector<std::string> says;  // place=state, in the output
    };
    const std::vector<std::string> counter = {"--prefix", "VN", "--width", "6", "--first", "1"};
    const std::vector<std::string> commas = {"--prefix", "VN", "--width", "6",
                                             "--first",  "1",  "--cbus",  "0a, 0a, 03, 02, 01"};
    const std::string list = dir_ + "/serials.txt";
    writeFile(list, std::string("SN-A1\r\nSN-B2\r\n\r\nSN-C3"));
    const struct {
        const char* what;
        std::vector<Step> steps;
        std::map<char, std::string> holds;  // chip -> serial at the end
    } cases[] = {
        // clang-format off
        // A cut mid-write keeps A's number; another chip at that port gets
        // the next; A, plugged in again, finishes its own.
        {"a cut write, then another chip at that port", {
            {{{'A', "1-1"}}, {"1-1=writes=5"}, counter, 1, {"1-1=failed"}},
            {{{'B', "1-1"}}, {}, counter, 0, {"1-1=programmed"}},
            {{{'A', "1-2"}}, {}, counter, 0, {"1-2=programmed"}}},
         {{'A', "VN000001"}, {'B', "VN000002"}}},
        // A board already done is kept after another board failed at its port.
        {"a board done, another failing at its port, the first again", {
            {{{'A', "1-1"}}, {}, counter, 0, {"1-1=programmed"}},
            {{{'B', "1-1"}}, {"1-1=clone"}, counter, 1, {"1-1=failed"}},
            {{{'A', "1-1"}}, {}, counter, 0, {"1-1=kept"}}},
         {{'A', "VN000001"}, {'B', "OLDB"}}},
        // CBUS as varnolt -r prints it, with commas: taken; the board is kept.
        {"CBUS with commas", {
            {{{'A', "1-1"}}, {}, commas, 0, {"1-1=programmed"}},
            {{{'A', "1-1"}}, {}, commas, 0, {"1-1=kept"}}},
         {{'A', "VN000001"}}},
        // A list saved with CRLF line ends and no last line end.
        {"a CRLF list", {
            {{{'A', "1-1"}}, {}, {"--serials", list}, 0, {"1-1=programmed"}},
            {{{'A', "1-2"}, {'B', "1-1"}}, {}, {"--serials", list}, 0, {"1-2=kept", "1-1=programmed"}},
            {{{'A', "1-2"}, {'B', "1-1"}, {'C', "1-3"}}, {}, {"--serials", list}, 0, {"1-1=kept", "1-2=kept", "1-3=programmed"}}},
         {{'A', "SN-A1"}, {'B', "SN-B2"}, {'C', "SN-C3"}}},
        // Leading zeros are digits, never octal.
        {"a counter of 010", {{{{'A', "1-1"}}, {}, {"--prefix", "VN", "--width", "6", "--first", "010"}, 0, {"1-1=programmed"}}},
         {{'A', "VN000010"}}},
        // A prefix and width over 15 characters take no number.
        {"prefix and width over 15", {{{{'A', "1-1"}}, {}, {"--prefix", "VN-2026-12-", "--width", "6", "--first", "1"}, 2, {}}},
         {{'A', "OLDA"}}},
        // A chip whose factory area is erased cannot be told from others.
        {"no identity", {{{{'E', "1-1"}}, {}, counter, 1, {"1-1=refused"}}},
         {{'E', "OLDE"}}},
        // Two chips sharing a factory area (clones): neither gets a number.
        {"clones of one factory area", {{{{'A', "1-1"}, {'a', "1-2"}}, {}, counter, 1, {"1-1=refused", "1-2=refused"}}},
         {{'A', "OLDA"}, {'a', "OLDA"}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(ledger_);
        std::map<char, std::string> files;
        // A and a share one factory area; B and C have their own, E none.
        for (const auto& [chip, factory] :
             std::map<char, int>{{'A', 1}, {'a', 1}, {'B', 2}, {'C', 3}, {'E', -1}}) {
            files[chip] = add({std::string("OLD") + char(std::toupper(chip)), factory});
        }
        for (const Step& step : c.steps) {
            std::vector<std::string> chips;
            for (const auto& [chip, place] : step.chips) chips.push_back(files[chip] + "@" + place);
            std::vector<std::string> args = {"program", "R"};
            args.insert(args.end(), step.args.begin(), step.args.end());
            const ProcessResult run = station(chips, args, step.faults);
            EXPECT_EQ(run.status, step.status) << run.err << run.out;
            for (const std::string& say : step.says) {
                const std::size_t equals = say.find('=');
                EXPECT_EQ(said(run, say.substr(0, equals), say.substr(equals + 1)), 1) << say;
            }
        }
        for (const auto& [chip, serial] : c.holds) EXPECT_EQ(serialOf(files[chip]), serial) << chip;
    }
}

// Two stations at once on one ledger file, four chips each (two processes,
// as two hubs' worth on one host): eight consecutive numbers, one a chip.
TEST_F(Station, TwoStationsOnOneLedgerFile) {
    std::vector<std::string> files, lines;
    for (const int station : {0, 1}) {
        std::string line =
            std::string(FT232R_USB) + " --log " + dir_ + "/usb" + std::to_string(station) + ".log";
        for (int port = 1; port <= 4; ++port) {
            files.push_back(add({"OLD" + std::to_string(files.size())}));
            line += " " + files.back() + "@1-" + std::to_string(port);
        }
        line += std::string(" -- ") + STATION + " --ledger " + ledger_ + " --station s" +
                std::to_string(station) + " --json --wait 1";
        for (const std::string& arg : kRun) line += " " + arg;
        lines.push_back(line + " >" + dir_ + "/out" + std::to_string(station));
    }
    const ProcessResult both =
        runProcess({"sh", "-c", lines[0] + " & " + lines[1] + "; s=$?; wait $! || s=1; exit $s"},
                   {{"LD_LIBRARY_PATH", ""}});
    EXPECT_EQ(both.status, 0) << both.err;
    std::set<std::string> serials;
    for (const std::string& file : files) serials.insert(serialOf(file));
    EXPECT_EQ(serials.size(), 8u);
    EXPECT_EQ(*serials.begin(), "VN000001");
    EXPECT_EQ(*serials.rbegin(), "VN000008");
    EXPECT_EQ(numbers().size(), 8u);
}

// A station killed (SIGKILL: nothing can hold it) in the middle of its
// writes, then started again: the ledger is consistent, every chip gets
// one number, none is lost or given twice.
TEST_F(Station, KilledMidRunThenStartedAgain) {
    std::vector<std::string> chips, files;
    for (int port = 1; port <= 4; ++port) {
        files.push_back(add({"OLD" + std::to_string(port)}));
        chips.push_back(files.back() + "@1-" + std::to_string(port));
    }
    // Where the first chip's writes begin, from a run on copies of them.
    std::vector<std::string> copies;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::filesystem::copy_file(files[i], files[i] + ".copy");
        copies.push_back(files[i] + ".copy@1-" + std::to_string(i + 1));
    }
    const std::string kept = ledger_;
    ledger_ = dir_ + "/probe.sqlite";
    ASSERT_EQ(station(copies, kRun).status, 0);
    ledger_ = kept;
    int transfers = 0, firstWrite = 0;
    for (const std::string& line : readLines(dir_ + "/usb.log")) {
        if (line.rfind("1-1 ctrl ", 0) != 0) continue;
        ++transfers;
        if (firstWrite == 0 && line.rfind("1-1 ctrl 40 91", 0) == 0) firstWrite = transfers;
    }
    ASSERT_GT(firstWrite, 0);
    const ProcessResult killed =
        station(chips, kRun, {}, {"--fault", "signal=9@" + std::to_string(firstWrite + 2)});
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    const std::map<std::string, std::string> cut = numbers();
    EXPECT_GE(
        std::count_if(cut.begin(), cut.end(), [](const auto& n) { return n.second == "reserved"; }),
        1);
    const ProcessResult again = station(chips, kRun);
    EXPECT_EQ(again.status, 0) << again.err << again.out;
    std::set<std::string> serials;
    for (const std::string& file : files) serials.insert(serialOf(file));
    EXPECT_EQ(serials, (std::set<std::string>{"VN000001", "VN000002", "VN000003", "VN000004"}));
    const std::map<std::string, std::string> after = numbers();
    EXPECT_EQ(after.size(), 4u);
    for (const auto& [serial, state] : after) EXPECT_EQ(state, "committed") << serial;
}

// A line of several stations on one PostgreSQL ledger: two and then four
// station processes at once, each with eight chips behind two hubs, take
// consecutive numbers of one run, none twice and none skipped.
TEST_F(Station, SeveralStationsOnOnePostgresLedger) {
    if (!station::postgres().running) GTEST_SKIP() << station::postgres().skipReason;
    const std::string url = station::postgres().conninfo("postgres");
    for (const int stations : {2, 4}) {
        const std::string run = "line" + std::to_string(stations);
        std::vector<std::string> files, lines;
        for (int s = 0; s < stations; ++s) {
            std::string line = std::string(FT232R_USB);
            for (int chip = 0; chip < 8; ++chip) {
                files.push_back(add({"OLD" + std::to_string(files.size())}));
                line += " " + files.back() + "@1-" + std::to_string(1 + chip / 4) + "." +
                        std::to_string(1 + chip % 4);
            }
            lines.push_back(line + " -- " + STATION + " --ledger '" + url + "' --station s" +
                            std::to_string(s) + " --json --wait 1 program " + run + " --prefix L" +
                            std::to_string(stations) + " --width 6 --first 1 >/dev/null");
        }
        std::string all;
        for (const std::string& line : lines) all += line + " & ";
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult line = runProcess(
            {"sh", "-c", all + "s=0; for j in $(jobs -p); do wait $j || s=1; done; exit $s"},
            {{"LD_LIBRARY_PATH", ""}});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(line.status, 0) << line.err;
        std::set<std::string> serials;
        for (const std::string& file : files) serials.insert(serialOf(file));
        char first[16], last[16];
        std::snprintf(first, sizeof first, "L%d000001", stations);
        std::snprintf(last, sizeof last, "L%d%06zu", stations, files.size());
        EXPECT_EQ(serials.size(), files.size());
        EXPECT_EQ(*serials.begin(), first);
        EXPECT_EQ(*serials.rbegin(), last);
        const ProcessResult listed = runProcess({STATION, "--ledger", url, "numbers", run}, {});
        EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'),
                  static_cast<long>(files.size()));
        EXPECT_EQ(listed.out.find("reserved"), std::string::npos);
        std::printf(
            "%d stations x 8 chips on one PostgreSQL ledger: %zu numbers, %zu distinct, "
            "in %.2f s (%.0f devices per minute)\n",
            stations, files.size(), serials.size(), seconds, files.size() * 60 / seconds);
    }
}

// The PostgreSQL server stopped once a station's first device is being
// written, and started again a moment later: the station says so, takes no
// new number meanwhile, and goes on; every chip ends with one number, each
// number committed, none lost.
TEST_F(Station, PostgresStoppedAndStartedMidRun) {
    if (!station::postgres().running) GTEST_SKIP() << station::postgres().skipReason;
    const std::string url = station::postgres().conninfo("postgres");
    std::vector<std::string> chips, files;
    for (int chip = 0; chip < 8; ++chip) {
        files.push_back(add({"OLD" + std::to_string(chip)}));
        chips.push_back(files.back() + "@1-" + std::to_string(1 + chip / 4) + "." +
                        std::to_string(1 + chip % 4));
    }
    ledger_ = url;
    std::thread server([this] {
        // The first EEPROM write of any chip, then the server goes away.
        for (int wait = 0; wait < 3000; ++wait) {
            const std::vector<std::string> log = readLines(dir_ + "/usb.log");
            if (std::any_of(log.begin(), log.end(), [](const std::string& line) {
                    return line.find(" ctrl 40 91 ") != std::string::npos;
                })) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        station::postgres().stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        station::postgres().start();
    });
    const ProcessResult run =
        station(chips, {"program", "gone", "--prefix", "PG", "--width", "6", "--first", "1"});
    server.join();
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("the ledger cannot be reached"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("the ledger answers again"), std::string::npos);
    std::set<std::string> serials;
    for (const std::string& file : files) serials.insert(serialOf(file));
    EXPECT_EQ(serials.size(), 8u);
    EXPECT_EQ(*serials.rbegin(), "PG000008");
    const std::map<std::string, std::string> states = numbers("gone");
    EXPECT_EQ(states.size(), 8u);
    for (const auto& [serial, state] : states) EXPECT_EQ(state, "committed") << serial;
}

// Watch mode with hands at the bench: ft232r-usb's control FIFO plugs chips
// in and out while the station runs; each step waits for what the station
// says, then acts.  Every chip is programmed as it comes, one plugged in
// again elsewhere is kept (never written twice), and a signal while a
// device is being written lets that device finish before the station ends.
TEST_F(Station, WatchModeTakesBoardsAsTheyArePluggedIn) {
    const std::string fifo = dir_ + "/control";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::map<char, std::string> files;
    for (const char chip : std::string("ABCD")) files[chip] = add({std::string("OLD") + chip});
    const struct {
        std::string waitFor;  // "PORT STATE" in the station's output
        std::vector<std::string> then;
    } steps[] = {
        {"1-1.1 programmed", {"plug " + files['B'] + "@1-1.2"}},
        {"1-1.2 programmed", {"unplug 1-1.1"}},
        {"1-1.1 waiting", {"plug " + files['C'] + "@1-1.1"}},
        {"1-1.1 programmed", {"unplug 1-1.2"}},
        {"1-1.2 waiting", {"plug " + files['B'] + "@1-2.1"}},
        {"1-2.1 kept", {"plug " + files['D'] + "@1-2.2"}},
        {"1-2.2 writing", {"signal 15"}},
    };
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        unsetenv("LD_LIBRARY_PATH");
        execl(FT232R_USB, FT232R_USB, "--bus-ms", "2", "--control", fifo.c_str(),
              (files['A'] + "@1-1.1").c_str(), "--", STATION, "--ledger", ledger_.c_str(),
              "--station", "bench", "--json", "--wait", "1", "program", "R", "--prefix", "VN",
              "--width", "6", "--first", "1", "--watch", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::FILE* said = fdopen(out[0], "r");
    std::string output;
    const int control = open(fifo.c_str(), O_WRONLY);
    for (const auto& step : steps) {
        const std::string port = step.waitFor.substr(0, step.waitFor.find(' '));
        const std::string want =
            "\"port\":\"" + port + "\",\"state\":\"" + step.waitFor.substr(port.size() + 1) + "\"";
        char line[4096];
        bool seen = false;
        while (!seen && std::fgets(line, sizeof line, said) != nullptr) {
            output += line;
            seen = std::strstr(line, want.c_str()) != nullptr;
        }
        ASSERT_TRUE(seen) << step.waitFor << " never came:\n" << output;
        for (const std::string& command : step.then) {
            const std::string text = command + "\n";
            ASSERT_EQ(write(control, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        }
    }
    char line[4096];
    while (std::fgets(line, sizeof line, said) != nullptr) output += line;
    std::fclose(said);
    close(control);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << output;
    // The device being written when the signal came was finished first.
    EXPECT_NE(output.find("\"port\":\"1-2.2\",\"state\":\"programmed\""), std::string::npos)
        << output;
    EXPECT_EQ(serialOf(files['A']), "VN000001");
    EXPECT_EQ(serialOf(files['B']), "VN000002");
    EXPECT_EQ(serialOf(files['C']), "VN000003");
    EXPECT_EQ(serialOf(files['D']), "VN000004");
    const std::map<std::string, std::string> states = numbers();
    EXPECT_EQ(states.size(), 4u);
    for (const auto& [serial, state] : states) EXPECT_EQ(state, "committed") << serial;
}

}  // namespace
