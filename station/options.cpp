#include "options.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include "ft232r_eeprom.hpp"
#include "text.hpp"

namespace station {
namespace {

// A whole decimal number, digits only: "010" is ten, never octal.
bool decimal(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    out = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// 1 to 15 printable ASCII characters without spaces: what a serial number
// of a run may hold (the FT232R's limit; the D2XX record's 16-byte buffer).
bool serialOk(const std::string& serial) {
    if (serial.empty() || serial.size() > ft232r::kMaxSerialChars) return false;
    for (const char c : serial) {
        if (c <= ' ' || c >= 0x7F) return false;
    }
    return true;
}

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The counter run's parameters, checked before any number is taken.
bool checkCounter(const RunDefinition& run, std::string& error) {
    if (run.width == 0 || run.prefix.size() + run.width > ft232r::kMaxSerialChars) {
        error = "the prefix " + printable(run.prefix) + " and " + std::to_string(run.width) +
                " digits make serial numbers of " + std::to_string(run.prefix.size() + run.width) +
                " characters; an FT232R holds at most 15";
        return false;
    }
    if (!run.prefix.empty() && !serialOk(run.prefix)) {
        error = "the prefix " + printable(run.prefix) +
                " may hold printable characters only, no spaces";
        return false;
    }
    if (run.first > run.last || std::to_string(run.last).size() > run.width) {
        error = "the numbers run from " + std::to_string(run.first) + " to " +
                std::to_string(run.last) + ", which " + std::to_string(run.width) +
                " digits must hold, the first no greater than the last";
        return false;
    }
    return true;
}

}  // namespace

bool parseCbus(const std::vector<std::string>& words, std::array<std::uint8_t, 5>& cbus,
               std::string& error) {
    std::string joined;
    for (const std::string& word : words) joined += word + " ";
    for (char& c : joined) {
        if (c == ',') c = ' ';
    }
    std::istringstream items(joined);
    std::vector<std::string> codes(std::istream_iterator<std::string>{items}, {});
    if (codes.size() != cbus.size()) {
        error = "--cbus takes five codes, hexadecimal (e.g. 0a 0a 03 02 01)";
        return false;
    }
    for (std::size_t pin = 0; pin < cbus.size(); ++pin) {
        std::string digits = codes[pin];
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits.erase(0, 2);
        }
        unsigned long value = 0;
        std::size_t used = 0;
        try {
            value = digits.size() <= 2 ? std::stoul(digits, &used, 16) : 0x100;
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != digits.size() || digits.empty() || value > ft232r::kCbusMax[pin]) {
            error = "CBUS" + std::to_string(pin) + " code " + printable(codes[pin]) +
                    " is not one that pin takes (00 to " + hexDigits(ft232r::kCbusMax[pin], 2) +
                    ", hexadecimal)";
            return false;
        }
        cbus[pin] = static_cast<std::uint8_t>(value);
    }
    return true;
}

bool parseSerialList(const std::string& text, std::vector<std::string>& serials,
                     std::string& error) {
    serials.clear();
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();  // CRLF
        if (line.empty()) continue;
        if (!serialOk(line)) {
            error = "line " + std::to_string(number) + ": " + printable(line) +
                    " is no serial number (1 to 15 printable characters, no spaces)";
            return false;
        }
        serials.push_back(line);
    }
    if (serials.empty()) error = "the list holds no serial number";
    return !serials.empty();
}

const char* usageText() {
    return "usage: varnolt-station [--ledger FILE|URL] [--station NAME] program RUN\n"
           "           (--prefix P --width N --first N [--last N] | --serials FILE)\n"
           "           [--cbus C0 C1 C2 C3 C4] [--other-serial replace|refuse]\n"
           "           [--ports PORT,...] [--json] [--wait SECONDS] [--watch]\n"
           "       varnolt-station [--ledger FILE|URL] release RUN SERIAL --reason TEXT\n"
           "       varnolt-station [--ledger FILE|URL] export RUN [--csv|--json]\n"
           "       varnolt-station [--ledger FILE|URL] numbers RUN\n";
}

bool parseOptions(int argc, char** argv, const std::string& defaultLedger,
                  const std::string& defaultStation, Options& options, std::string& error) {
    options = Options{};
    options.ledger = defaultLedger;
    options.station = defaultStation;
    std::vector<std::string> args(argv + 1, argv + argc), positional;
    std::string serialsFile;
    bool counter = false;
    auto fail = [&](const std::string& why) {
        error = why;
        return false;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        std::uint64_t n = 0;
        if (a == "--ledger" && hasValue) {
            options.ledger = args[++i];
        } else if (a == "--station" && hasValue) {
            options.station = args[++i];
        } else if (a == "--prefix" && hasValue) {
            options.run.prefix = args[++i];
            counter = true;
        } else if ((a == "--width" || a == "--first" || a == "--last") && hasValue) {
            if (!decimal(args[++i], n) || (a == "--width" && n > ft232r::kMaxSerialChars)) {
                return fail(a + " takes a number in decimal, not " + printable(args[i]));
            }
            if (a == "--width") {
                options.run.width = static_cast<unsigned>(n);
            } else {
                (a == "--first" ? options.run.first : options.run.last) = n;
            }
            counter = true;
        } else if (a == "--serials" && hasValue) {
            serialsFile = args[++i];
        } else if (a == "--cbus") {
            std::vector<std::string> words;
            while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0 && words.size() < 5) {
                words.push_back(args[++i]);
            }
            std::array<std::uint8_t, 5> cbus{};
            if (!parseCbus(words, cbus, error)) return false;
            options.cbus = cbus;
        } else if (a == "--other-serial" && hasValue &&
                   (args[i + 1] == "replace" || args[i + 1] == "refuse")) {
            options.replaceOther = args[++i] == "replace";
        } else if (a == "--ports" && hasValue) {
            std::istringstream ports(args[++i]);
            for (std::string port; std::getline(ports, port, ',');) {
                if (!port.empty()) options.ports.push_back(port);
            }
        } else if (a == "--wait" && hasValue && decimal(args[i + 1], n) && n <= 600) {
            options.waitMs = static_cast<unsigned>(n * 1000);
            ++i;
        } else if (a == "--watch") {
            options.watch = true;
        } else if (a == "--json" || a == "--csv") {
            options.json = a == "--json";
            options.csv = !options.json;
        } else if (a == "--reason" && hasValue) {
            options.reason = args[++i];
        } else if (a.rfind("--", 0) == 0) {
            return fail("unknown option " + printable(a));
        } else {
            positional.push_back(a);
            if (positional.size() == 1) options.command = a;
        }
    }
    const std::string& command = options.command;
    const std::size_t wanted = command == "release" ? 3 : 2;
    if ((command != "program" && command != "release" && command != "export" &&
         command != "numbers") ||
        positional.size() != wanted) {
        return fail(usageText());
    }
    options.run.name = positional[1];
    if (command == "release") {
        options.serial = positional[2];
        if (options.reason.empty())
            return fail("release needs --reason TEXT: why the number is void");
        return true;
    }
    if (command != "program") return true;
    if (options.station.empty()) return fail("--station NAME: this station's name");
    if (counter == !serialsFile.empty()) {
        return fail(
            "a run hands out a counter (--prefix, --width, --first, --last) or a list "
            "(--serials FILE), one of them");
    }
    if (!serialsFile.empty()) {
        std::string text;
        if (!readFile(serialsFile, text)) return fail("cannot read " + serialsFile);
        if (!parseSerialList(text, options.run.serials, error)) {
            error = serialsFile + ": " + error;
            return false;
        }
        return true;
    }
    if (options.run.last == 0) {
        // Every number the width holds.
        options.run.last = 1;
        for (unsigned d = 0; d < options.run.width && d < 19; ++d) options.run.last *= 10;
        --options.run.last;
    }
    return checkCounter(options.run, error);
}

}  // namespace station
