// The end-to-end fixture: a temporary folder of emulated devices, a run of
// the built varnolt against them, and the emulator's call log.
#pragma once

#include <cstdio>
#include <set>

#include "images.hpp"
#include "messages.hpp"
#include "process.hpp"
#include "wine_target.hpp"

// The library's platform file name, as the load error names it.
inline std::string libraryName() { return wineTarget() != nullptr ? "FTD2XX.dll" : "libftd2xx.so"; }

class EndToEnd : public testing::Test, protected ImageFolder {
  protected:
    EndToEnd() : ImageFolder("varnolt-e2e") {}
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        logPath_ = dir_ + "/calls.log";
        if (const WineTarget* wine = wineTarget()) {
            // The Windows loader looks for FTD2XX.dll beside the program first.
            exe_ = dir_ + "/varnolt.exe";
            std::filesystem::copy_file(wine->exe, exe_);
            std::filesystem::copy_file(wine->dll, dir_ + "/FTD2XX.dll");
        }
    }

    // Takes the library out of the program's reach.
    void hideLibrary() {
        if (wineTarget() != nullptr) {
            std::filesystem::remove(dir_ + "/FTD2XX.dll");
            return;
        }
        libraryPath_ = dir_;  // holds no libftd2xx.so
        // A copy of the tool, so that its RUNPATH ($ORIGIN/../lib/varnolt)
        // finds no default library either.
        std::filesystem::create_directory(dir_ + "/bin");
        exe_ = dir_ + "/bin/varnolt";
        std::filesystem::copy_file(VARNOLT_EXE, exe_);
    }

    // Runs varnolt; `signalToSend` goes to it once `signalWhen` holds.
    ProcessResult run(std::vector<std::string> args, const std::string& faults = "",
                      int signalToSend = 0, const std::function<bool()>& signalWhen = nullptr) {
        const WineTarget* wine = wineTarget();
        // Under Wine the device list is written as on Windows: drive paths,
        // ';' between them.  The log keeps its Unix path, which Wine resolves
        // on drive Z: as well.
        std::string list;
        for (const auto& device : devices_) {
            list += list.empty() ? "" : wine != nullptr ? ";" : ":";
            list += wine != nullptr ? windowsPath(device) : device;
        }
        std::map<std::string, std::string> environment = {{"FT232R_EMULATOR_DEVICES", list},
                                                          {"FT232R_EMULATOR_FAULT", faults},
                                                          {"FT232R_EMULATOR_LOG", logPath_}};
        if (wine != nullptr) {
            args.insert(args.begin(), {wine->loader, exe_});
        } else {
            args.insert(args.begin(), exe_);
            environment["LD_LIBRARY_PATH"] = libraryPath_;
        }
        ProcessResult result = runProcess(args, environment, signalToSend, signalWhen, workingDir_);
        if (wine != nullptr) {
            // Text mode: the tool writes "\n", the C runtime "\r\n".  The
            // cases compare the text with "\n" line ends.
            EXPECT_TRUE(crlfToLf(result.out)) << "stdout not CRLF: " << result.out;
            EXPECT_TRUE(crlfToLf(result.err)) << "stderr not CRLF: " << result.err;
        }
        return result;
    }

    // Runs varnolt and checks its whole output and exit status.
    ProcessResult expectRun(const std::vector<std::string>& args, const std::string& out,
                            const std::string& err, int status, const std::string& faults = "") {
        ProcessResult result = run(args, faults);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.status, status);
        return result;
    }

    // A case of its own: no devices and no log of the runs before.
    void reset() {
        devices_.clear();
        std::remove(logPath_.c_str());
    }
    template <typename Bytes>
    std::string onlyDevice(const Bytes& bytes) {
        reset();
        return addDevice(bytes);
    }

    // What the devices saw, in order: each line's first word (list, open,
    // read, write, close) and whether it failed, a run of the same one
    // counted once, and so a run of pairs each written then read back.
    std::vector<std::string> calls() const {
        std::vector<std::string> seen;
        const std::string failed = " failed";
        for (const std::string& line : readLines(logPath_)) {
            const bool failure =
                line.size() > failed.size() && line.substr(line.size() - failed.size()) == failed;
            const std::string what = line.substr(0, line.find(' ')) + (failure ? failed : "");
            if (!seen.empty() && seen.back() == what) continue;
            seen.push_back(what);
            const std::size_t n = seen.size();
            if (n >= 4 && seen[n - 4] == "write" && seen[n - 3] == "read" &&
                seen[n - 2] == "write" && seen[n - 1] == "read") {
                seen.resize(n - 2);
            }
        }
        return seen;
    }
    int writes() const { return countTransfers(logPath_).writes; }
    bool logExists() const { return std::filesystem::exists(logPath_); }

    std::string logPath_;
    std::string libraryPath_ = EMULATOR_DIR;
    std::string workingDir_;         // the program's current folder, when set
    std::string exe_ = VARNOLT_EXE;  // under Wine: varnolt.exe beside the emulator's FTD2XX.dll
};

// Cases that only the Linux build runs: the image tool (a Linux program), the
// emulator's transfer counts and the long sweep of cut writes.  Every case of
// EndToEnd itself also runs the Windows build under Wine (tests/windows).
class LinuxEndToEnd : public EndToEnd {};

// A run that reads the image and closes; one that also writes, each pair
// read back as it is written.
inline const std::vector<std::string> kReadRun = {"list", "open", "read", "close"};
inline const std::vector<std::string> kWriteRun = {"list",  "open", "read",
                                                   "write", "read", "close"};

// The offsets at which two images differ.
inline std::set<std::size_t> changedBytes(const ft232r::Image& a, const ft232r::Image& b) {
    std::set<std::size_t> changed;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) changed.insert(i);
    }
    return changed;
}
