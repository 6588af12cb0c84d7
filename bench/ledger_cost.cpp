// ledger_cost FILE|URL [DEVICES]: what the ledger costs a station per
// device, on the database given: a reservation, its commit and a record
// with both 256-byte images, DEVICES times (default 200) for as many
// chips.  Prints the median and the 90th percentile in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ledger.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ledger_cost FILE|URL [DEVICES]\n");
        return 2;
    }
    const int devices = argc > 2 ? std::atoi(argv[2]) : 200;
    std::string error;
    const auto ledger = station::openLedger(argv[1], error);
    if (!ledger) {
        std::fprintf(stderr, "ledger_cost: %s\n", error.c_str());
        return 1;
    }
    const std::string run = "bench";
    if (ledger->openRun({run, "BN", 6, 1, 999999, {}}, error) != station::LedgerStatus::Ok) {
        std::fprintf(stderr, "ledger_cost: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < devices; ++i) {
        const std::string chip = "chip-" + std::to_string(i);
        const auto start = std::chrono::steady_clock::now();
        station::NumberRow row;
        station::DeviceRecord record;
        const bool ok =
            ledger->reserve(run, chip, "bench", row, error) == station::LedgerStatus::Ok &&
            ledger->commit(run, row.serial, chip, error) == station::LedgerStatus::Ok;
        record = {run,
                  "",
                  "bench",
                  "1-1",
                  chip,
                  "OLD",
                  row.serial,
                  "",
                  std::vector<std::uint8_t>(256, 0x5A),
                  std::vector<std::uint8_t>(256, 0xA5),
                  "programmed",
                  ""};
        if (!ok || ledger->addRecord(record, error) != station::LedgerStatus::Ok) {
            std::fprintf(stderr, "ledger_cost: %s\n", error.c_str());
            return 1;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.3f %.3f\n", ms[ms.size() / 2], ms[ms.size() * 9 / 10]);
    return 0;
}
