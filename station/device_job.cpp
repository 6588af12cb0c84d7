#include "device_job.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "identity.hpp"
#include "signal_hold.hpp"
#include "text.hpp"

namespace station {
namespace {

// How often a reset device is looked for while it comes back.
constexpr std::chrono::milliseconds kListingInterval{100};

std::string cbusText(const std::array<std::uint8_t, 5>& cbus) {
    std::string text;
    for (const std::uint8_t code : cbus) text += (text.empty() ? "" : " ") + hexDigits(code, 2);
    return text;
}

}  // namespace

void DeviceJob::report(const std::string& state, const std::string& error) {
    s_.report.event({port_, state, identity_, decoded_.fields.serial, serial_, error});
}

void DeviceJob::finish(const std::string& result, const std::string& error) {
    device_.reset();  // given back: driver attached, latency timer restored
    result_ = result;
    report(result, error);
    if (result == "interrupted") return;  // nothing done, nothing to record
    DeviceRecord record;
    record.run = s_.options.run.name;
    record.station = s_.options.station;
    record.port = port_;
    record.chip = identity_;
    record.oldSerial = decoded_.readable() ? decoded_.fields.serial : "";
    record.newSerial = serial_;
    record.cbus = s_.options.cbus ? cbusText(*s_.options.cbus) : "";
    record.imageBefore = before_;
    record.imageAfter = after_;
    record.result = result;
    record.error = error;
    std::string why;
    if (ledger([&](std::string& w) { return s_.ledger.addRecord(record, w); }, why) !=
        LedgerStatus::Ok) {
        s_.report.say(port_ + ": the record of this device could not be kept: " + why);
    }
}

bool DeviceJob::read() {
    report("reading");
    if (s_.bus.openPort(port_, device_) != FT_OK) {
        finish("failed",
               "cannot open the device (another program holds it, or this user may "
               "not open it)");
        return false;
    }
    for (unsigned word = 0; word < ft232r::kEepromWords; ++word) {
        std::uint16_t value = 0;
        if (device_->readWord(word, value) != FT_OK) {
            before_.clear();
            finish("failed", "cannot read word 0x" + hexDigits(word, 2));
            return false;
        }
        before_.push_back(static_cast<std::uint8_t>(value & 0xFF));
        before_.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    ft232r::Image user{};
    std::copy_n(before_.begin(), user.size(), user.begin());
    decoded_ = ft232r::decodeImage(user);
    std::uint32_t chipId = 0;
    const bool idRead = device_->chipId(chipId) == FT_OK;
    const Identity identity =
        identify(idRead, chipId,
                 std::vector<std::uint8_t>(before_.begin() + ft232r::kImageBytes, before_.end()));
    identity_ = identity.key;
    if (!decoded_.readable()) {
        finish("refused", "its EEPROM is " + ft232r::structureFault(user) +
                              ": bring it back with varnolt-eeprom write first");
        return false;
    }
    if (identity_.empty()) {
        finish("refused", "the chip cannot be told from others: " + identity.why);
        return false;
    }
    return true;
}

std::string DeviceJob::Attached::claim(const std::string& port, const std::string& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [other, held] : identities_) {
        if (other != port && held == identity) return other;
    }
    identities_[port] = identity;
    return "";
}

void DeviceJob::Attached::left(const std::string& port) {
    std::lock_guard<std::mutex> lock(mutex_);
    identities_.erase(port);
}

template <typename Call>
LedgerStatus DeviceJob::ledger(Call call, std::string& why) {
    // How often a ledger that cannot be reached is asked again.
    constexpr std::chrono::seconds kAgain{1};
    bool waited = false;
    while (true) {
        const LedgerStatus status = call(why);
        if (status != LedgerStatus::Unavailable) {
            if (waited && s_.ledgerDown.exchange(false)) {
                s_.report.say("the ledger answers again: boards are taken again");
            }
            return status;
        }
        if (!s_.ledgerDown.exchange(true)) {
            s_.report.say("the ledger cannot be reached (" + why +
                          "): no new board is taken until it answers");
        }
        if (!waited) report("waiting", "the ledger cannot be reached");
        waited = true;
        if (SignalHold::interruptPending()) return status;
        std::this_thread::sleep_for(kAgain);
    }
}

void DeviceJob::run() {
    if (!read()) return;
    const std::string other = s_.attached.claim(port_, identity_);
    if (!other.empty()) {
        return refuse("the chip at " + other + " has the same factory area (identity " + identity_ +
                      "): clones cannot be told apart, so this one gets no number");
    }
    program();
}

bool DeviceJob::number(std::string& serial, bool& committed) {
    const std::string& run = s_.options.run.name;
    const std::string& current = decoded_.fields.serial;
    std::string why;
    std::optional<NumberRow> mine;
    if (ledger([&](std::string& w) { return s_.ledger.findChip(run, identity_, mine, w); }, why) !=
        LedgerStatus::Ok) {
        finish("failed", "the ledger: " + why);
        return false;
    }
    if (mine && mine->state == NumberState::Committed && mine->serial != current) {
        finish("refused", "this chip was given " + mine->serial + ", committed, but holds " +
                              printable(current) +
                              ": it was changed since, or it is a clone sharing that chip's "
                              "factory area; it gets no second number");
        return false;
    }
    if (mine) {
        serial = mine->serial;
        committed = mine->state == NumberState::Committed;
        return true;
    }
    // A serial number of this run that the ledger gives to another chip
    // (copied onto this one, or a batch's duplicate), or another serial.
    std::optional<NumberRow> holder;
    ledger([&](std::string& w) { return s_.ledger.find(run, current, holder, w); }, why);
    if (!s_.options.replaceOther && !current.empty()) {
        finish("refused", "it holds " + printable(current) +
                              (holder ? ", which the ledger gives to chip " + holder->chip
                                      : ", no number of this run") +
                              " (--other-serial refuse)");
        return false;
    }
    // Room for the longest serial number of the run, before one is taken.
    const RunDefinition& def = s_.options.run;
    std::string longest(def.prefix.size() + def.width, '0');
    for (const std::string& listed : def.serials) {
        if (listed.size() > longest.size()) longest = listed;
    }
    ft232r::Fields probe = d2xx::shownFields(decoded_.fields);
    probe.serial = longest;
    if (d2xx::planProgram(decoded_, probe).status == ft232r::Invalid::NoRoom) {
        finish("refused", "its string area has no room for a serial number of " +
                              std::to_string(longest.size()) + " characters");
        return false;
    }
    if (SignalHold::interruptPending()) {
        finish("interrupted");
        return false;
    }
    NumberRow taken;
    const LedgerStatus status = ledger(
        [&](std::string& w) {
            return s_.ledger.reserve(run, identity_, s_.options.station, taken, w);
        },
        why);
    if (status != LedgerStatus::Ok) {
        finish(status == LedgerStatus::Exhausted ? "refused" : "failed", "the ledger: " + why);
        return false;
    }
    serial = taken.serial;
    committed = taken.state == NumberState::Committed;
    return true;
}

void DeviceJob::program() {
    bool committed = false;
    if (!number(serial_, committed)) return;
    report("reserved");
    if (SignalHold::interruptPending()) return finish("interrupted");
    ft232r::Fields wanted = d2xx::shownFields(decoded_.fields);
    wanted.serial = serial_;
    if (s_.options.cbus) wanted.cbus = *s_.options.cbus;
    const ft232r::Change plan = d2xx::planProgram(decoded_, wanted);
    if (plan.status != ft232r::Invalid::None) {
        return finish("failed", "the change cannot be made on this chip's EEPROM");
    }
    report("writing");
    const d2xx::Programmed done = d2xx::programImage(*device_, plan);
    if (done.status != FT_OK) return finish("failed", d2xx::whereItStopped(done));
    after_ = before_;
    std::copy(plan.target.begin(), plan.target.end(), after_.begin());
    // The host sees the new serial number once the device enumerates again.
    if (!plan.words.empty()) device_->programmed();
    device_.reset();
    report("confirming");
    if (!confirm(serial_)) {
        return finish("failed", "it did not come back with the serial number " + serial_ +
                                    " (unplugged, or the host did not enumerate it again); "
                                    "plugged in again, it finishes that number");
    }
    std::string why;
    if (!committed && ledger(
                          [&](std::string& w) {
                              return s_.ledger.commit(s_.options.run.name, serial_, identity_, w);
                          },
                          why) != LedgerStatus::Ok) {
        return finish("failed", "programmed, but the ledger did not take the commit (" + why +
                                    "); run again to commit it");
    }
    finish(committed ? "kept" : "programmed");
}

bool DeviceJob::confirm(const std::string& serial) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(s_.options.waitMs);
    do {
        d2xx::DeviceEntry device;
        if (s_.bus.describe(port_, device) == FT_OK && device.stringsRead &&
            device.serial == serial) {
            return true;
        }
        std::this_thread::sleep_for(kListingInterval);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

}  // namespace station
