// Export of a run's records for spreadsheets (CSV, RFC 4180) and for the
// line's MES (JSON: field facts, "each device's record goes to a log or
// the line's MES (often as JSON)").

#include <cstdio>

#include "ledger.hpp"
#include "ledger_db.hpp"

namespace station {
namespace {

const char* const kColumns[] = {"run",    "time",       "station",      "port",
                                "chip",   "old_serial", "new_serial",   "cbus",
                                "result", "error",      "image_before", "image_after"};

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 15]};
    return out;
}

// The record's fields in the order of kColumns.
std::vector<std::string> fields(const DeviceRecord& r) {
    return {r.run,    r.time,      r.station,          r.port,
            r.chip,   r.oldSerial, r.newSerial,        r.cbus,
            r.result, r.error,     hex(r.imageBefore), hex(r.imageAfter)};
}

std::string csvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

}  // namespace

std::string jsonString(const std::string& value) {
    std::string out = "\"";
    for (std::size_t i = 0; i < value.size();) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        const std::size_t length = detail::utf8Sequence(value, i);
        if (c == '"' || c == '\\') {
            out += {'\\', static_cast<char>(c)};
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            // A device's serial may hold any byte; the FT232R makes each
            // byte one UTF-16 code unit, which \u00XX names.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(value, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + '"';
}

std::string recordsCsv(const std::vector<DeviceRecord>& records) {
    std::string out;
    for (const char* column : kColumns) out += std::string(out.empty() ? "" : ",") + column;
    out += "\r\n";
    for (const DeviceRecord& record : records) {
        const std::vector<std::string> values = fields(record);
        for (std::size_t i = 0; i < values.size(); ++i) {
            out += (i ? "," : "") + csvField(values[i]);
        }
        out += "\r\n";
    }
    return out;
}

std::string recordsJson(const std::vector<DeviceRecord>& records) {
    if (records.empty()) return "[]\n";
    std::string out = "[\n";
    for (std::size_t r = 0; r < records.size(); ++r) {
        const std::vector<std::string> values = fields(records[r]);
        out += "  {";
        for (std::size_t i = 0; i < values.size(); ++i) {
            out += (i ? ", \"" : "\"") + std::string(kColumns[i]) + "\": " + jsonString(values[i]);
        }
        out += r + 1 < records.size() ? "},\n" : "}\n";
    }
    return out + "]\n";
}

}  // namespace station
