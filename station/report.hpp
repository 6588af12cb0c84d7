// What the station says about each device as it goes: one JSON object a
// line on standard output for a line's MES, or, on a terminal, a line per
// port that changes in place.  Called from every device's thread.
//
// Each JSON line has "time" (UTC), "station", "run", "port" and "state";
// "chip" (its identity), "old_serial", "serial" (the number it is given)
// and "error" once known.  States, in the order a device goes through
// them: reading, reserved, writing, confirming, and then one of
// programmed, kept, failed, refused or interrupted.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace station {

struct Event {
    std::string port, state, chip, oldSerial, serial, error;
};

class Report {
  public:
    // `terminal`: the view in place, else JSON lines.
    Report(std::FILE* out, bool terminal, std::string station, std::string run)
        : out_(out), terminal_(terminal), station_(std::move(station)), run_(std::move(run)) {}

    void event(const Event& event);
    // A line of its own, above the view (terminal) or as a JSON object with
    // "message".
    void say(const std::string& message);

  private:
    void redraw();

    std::mutex mutex_;
    std::FILE* out_;
    bool terminal_;
    std::string station_, run_;
    std::map<std::string, Event> ports_;  // the view: the latest event of each port
    std::size_t drawn_ = 0;               // lines of the view on the terminal
};

}  // namespace station
