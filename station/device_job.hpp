// One FT232R at one port through a run, as production programmers serialize
// (field facts): read it, know the chip by its factory area, take its
// number (the one it holds already, or the next, reserved before the first
// write), program it through the same plan, pair-by-pair check and
// read-back as varnolt, reset its port, confirm the new serial number
// through a fresh listing, and only then commit.  A chip whose write failed
// keeps its reservation: plugged in again, it finishes the same number.
// Each step is reported; the outcome is recorded in the ledger.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "eeprom_io.hpp"
#include "ft232r_eeprom.hpp"
#include "ledger.hpp"
#include "options.hpp"
#include "report.hpp"
#include "word_transport.hpp"

namespace station {

class DeviceJob {
  public:
    // The identities of the chips attached now, by port: a chip whose
    // identity another attached chip has is a clone of it.
    class Attached {
      public:
        // Notes `identity` at `port`; the other port that has it, or "".
        std::string claim(const std::string& port, const std::string& identity);
        void left(const std::string& port);

      private:
        std::mutex mutex_;
        std::map<std::string, std::string> identities_;
    };
    // What every job of a station run shares.
    struct Station {
        d2xx::DeviceBus& bus;
        Ledger& ledger;
        Report& report;
        const Options& options;
        // Set while the ledger cannot be reached: no new board is taken.
        std::atomic<bool>& ledgerDown;
        Attached& attached;
    };
    DeviceJob(const Station& station, std::string port) : s_(station), port_(std::move(port)) {}

    // Opens the device and reads its user and factory area and its chip
    // ID.  False when the job ended there (reported and recorded).
    bool read();
    // The chip's identity, once read: "" when it has none.
    const std::string& identity() const { return identity_; }
    // Ends the job before anything is taken: another chip at the station
    // has the same identity.
    void refuse(const std::string& why) { finish("refused", why); }
    // The rest, from the number on.  Closes the device on every path.
    void program();
    // read(), then program() unless another attached chip has this chip's
    // identity: one device plugged in while the station watches.
    void run();
    // programmed, kept, failed, refused or interrupted; "" before the end.
    const std::string& result() const { return result_; }

  private:
    // The number this chip is to hold, taken where it has none; false when
    // the job ended (refused, failed, interrupted).  `committed`: the chip
    // holds it committed already.
    bool number(std::string& serial, bool& committed);
    bool confirm(const std::string& serial);
    // `call(why)` on the ledger, again each second while the ledger cannot
    // be reached (said once, ledgerDown set meanwhile) until it answers or
    // a signal came.
    template <typename Call>
    LedgerStatus ledger(Call call, std::string& why);
    void finish(const std::string& result, const std::string& error = "");
    void report(const std::string& state, const std::string& error = "");

    Station s_;
    std::string port_;
    std::unique_ptr<d2xx::WordTransport> device_;
    std::vector<std::uint8_t> before_;  // user and factory area as read
    ft232r::Decoded decoded_;
    std::string identity_, serial_;
    std::vector<std::uint8_t> after_;  // as written and read back
    std::string result_;
};

}  // namespace station
