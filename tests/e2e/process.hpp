// Runs a program with extra environment variables and collects its
// standard output, standard error and exit status.  A sanitizer report on
// the program's standard error fails the running test.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status 0..255, or -1 when ended by a signal
    int signal = 0;   // the signal that ended it, or 0
};

// `environment` entries are set (an empty value unsets the variable) on top
// of this process's environment.  A non-zero `signalToSend` goes to the
// program once `ready()` returns true (asked every few milliseconds): for a
// signal that must land at a given point of the run, whatever the start-up
// takes.  A non-empty `workingDir` is the child's current folder.
// `program` as a shell command line starts it: behind the emulator's words
// in a cross build, as runProcess starts it (runProcess runs {"sh", "-c",
// ...} itself as the build machine's shell).
std::string shellProgram(const std::string& program);

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment,
                         int signalToSend = 0, const std::function<bool()>& ready = nullptr,
                         const std::string& workingDir = "");
