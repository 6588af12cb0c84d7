#include "report.hpp"

#include "ledger.hpp"
#include "text.hpp"

namespace station {

void Report::event(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminal_) {
        ports_[event.port] = event;
        redraw();
        return;
    }
    std::string line = "{\"time\":" + jsonString(utcNow()) +
                       ",\"station\":" + jsonString(station_) + ",\"run\":" + jsonString(run_) +
                       ",\"port\":" + jsonString(event.port) +
                       ",\"state\":" + jsonString(event.state);
    for (const auto& [name, value] :
         {std::pair<const char*, const std::string&>{"chip", event.chip},
          {"old_serial", event.oldSerial},
          {"serial", event.serial},
          {"error", event.error}}) {
        if (!value.empty()) line += std::string(",\"") + name + "\":" + jsonString(value);
    }
    std::fprintf(out_, "%s}\n", line.c_str());
    std::fflush(out_);
}

void Report::say(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!terminal_) {
        std::fprintf(out_, "{\"time\":%s,\"station\":%s,\"run\":%s,\"message\":%s}\n",
                     jsonString(utcNow()).c_str(), jsonString(station_).c_str(),
                     jsonString(run_).c_str(), jsonString(message).c_str());
        std::fflush(out_);
        return;
    }
    // Above the view: up to its first line, the message, the view again.
    if (drawn_ > 0) std::fprintf(out_, "\x1b[%zuA", drawn_);
    std::fprintf(out_, "\r\x1b[2K%s\n", printable(message).c_str());
    drawn_ = 0;
    redraw();
}

// One line a port, by port path: its state and what is known.  Strings a
// device gave are shown as printable() makes them.
void Report::redraw() {
    if (drawn_ > 0) std::fprintf(out_, "\x1b[%zuA", drawn_);
    for (const auto& [port, e] : ports_) {
        std::string line = port + "  " + e.state;
        if (!e.serial.empty()) line += "  " + printable(e.serial);
        if (!e.oldSerial.empty() && e.oldSerial != e.serial) {
            line += "  (was " + printable(e.oldSerial) + ")";
        }
        if (!e.error.empty()) line += ": " + printable(e.error);
        std::fprintf(out_, "\r\x1b[2K%s\n", line.c_str());
    }
    drawn_ = ports_.size();
    std::fflush(out_);
}

}  // namespace station
