#include "process.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace {

// The command line that starts `argv` in the child.  In a cross build the
// programs under test run under the emulator the toolchain names (qemu-user,
// as space-separated words in VARNOLT_E2E_EMULATOR): the loader's variables
// (LD_LIBRARY_PATH, LD_DEBUG, ...) are meant for the guest's loader, so they
// go to it through -E and are taken out of the emulator's own environment.
std::vector<std::string> commandLine(const std::vector<std::string>& argv) {
#ifdef VARNOLT_E2E_EMULATOR
    // The build machine's shell runs as it is; what it starts is wrapped
    // by the caller (shellProgram).
    if (argv.size() > 1 && argv[0] == "sh" && argv[1] == "-c") return argv;
    std::vector<std::string> line;
    std::istringstream words(VARNOLT_E2E_EMULATOR);
    for (std::string word; words >> word;) line.push_back(word);
    std::vector<std::string> loaderNames;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("LD_", 0) == 0) {
            line.insert(line.end(), {"-E", variable});
            loaderNames.push_back(variable.substr(0, variable.find('=')));
        }
    }
    for (const std::string& name : loaderNames) unsetenv(name.c_str());
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
#else
    return argv;
#endif
}

}  // namespace

std::string shellProgram(const std::string& program) {
#ifdef VARNOLT_E2E_EMULATOR
    return std::string(VARNOLT_E2E_EMULATOR) + " " + program;
#else
    return program;
#endif
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment, int signalToSend,
                         const std::function<bool()>& ready, const std::string& workingDir) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) std::abort();
    const pid_t child = fork();
    if (child == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (const int fd : {outPipe[0], errPipe[0], outPipe[1], errPipe[1]}) close(fd);
        for (const auto& [name, value] : environment) {
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        }
        if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(127);
        std::vector<std::string> line = commandLine(argv);
        std::vector<char*> args;
        for (std::string& arg : line) args.push_back(arg.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult result;
    bool signalled = signalToSend == 0 || !ready;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const int events = poll(fds, 2, signalled ? -1 : 5);
        if (!signalled && ready()) {
            kill(child, signalToSend);
            signalled = true;
        }
        if (events <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(got));
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    // A sanitizer finding fails the test that ran the child, whatever that
    // test goes on to check: what AddressSanitizer, LeakSanitizer or
    // UndefinedBehaviorSanitizer print when a sanitized child
    // (VARNOLT_SANITIZE) finds a fault.
    for (const char* marker :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
          "runtime error:", "SUMMARY: AddressSanitizer", "SUMMARY: UndefinedBehaviorSanitizer"}) {
        if (result.err.find(marker) != std::string::npos) {
            ADD_FAILURE() << argv[0] << " reported a fault:\n" << result.err;
            break;
        }
    }
    return result;
}
