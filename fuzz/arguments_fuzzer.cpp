// libFuzzer target: the command-line grammar over arbitrary argument vectors.
// The input is split at NUL bytes into the arguments after the program name
// ("-s\0A1" is `varnolt -s A1`; an empty input is no argument at all).  Every
// outcome must be one of the grammar's three:
//   - the run goes on: nothing written, only the option bits -r/-s/-c set,
//     the new serial number NUL-terminated inside its 16 bytes;
//   - status 0 with exactly the usage line on standard error (no arguments);
//   - status 1 with exactly one of the four error lines on standard error.
// Nothing is ever written to standard output.  Any other outcome aborts,
// which libFuzzer reports as a finding.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.hpp"

namespace {

constexpr const char* kUsageLine = "Usage: varnolt <-r> <-s Serial_Number> <-c b1 b2 b3 b4>\n";
constexpr std::array<const char*, 4> kErrorLines = {
    "Error: invalidate option\n",
    "Error: serial number\n",
    "Error: too long serial number\n",
    "Error: cbus config\n",
};
constexpr std::uint32_t kOptionBits = OPT_REPORT | OPT_SERIAL | OPT_CBUS;

// Runs `call` with standard output and error going to memory; gives what
// each got.  glibc's stdout and stderr are assignable variables: swapping
// the FILE pointer (not file descriptor 2) keeps libFuzzer's and the
// sanitizers' own reports on the real standard error.
template <typename Call>
std::array<std::string, 2> captured(Call call) {
    FILE* const real[] = {stdout, stderr};
    std::array<char*, 2> text{};
    std::array<std::size_t, 2> size{};
    stdout = open_memstream(&text[0], &size[0]);
    stderr = open_memstream(&text[1], &size[1]);
    if (stdout == nullptr || stderr == nullptr) std::abort();
    call();
    std::fclose(stdout);
    std::fclose(stderr);
    stdout = real[0];
    stderr = real[1];
    const std::array<std::string, 2> got = {std::string(text[0], size[0]),
                                            std::string(text[1], size[1])};
    std::free(text[0]);
    std::free(text[1]);
    return got;
}

[[noreturn]] void violation(const char* what, const std::vector<std::string>& args,
                            const std::string& detail) {
    std::fprintf(stderr, "grammar violation: %s\n  arguments:", what);
    for (const std::string& arg : args) std::fprintf(stderr, " [%s]", arg.c_str());
    std::fprintf(stderr, "\n  detail: [%s]\n", detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0, end = 0; size > 0 && end != std::string::npos; start = end + 1) {
        end = input.find('\0', start);
        args.push_back(input.substr(start, end - start));
    }
    std::vector<const char*> argv = {"varnolt"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);  // as the C runtime passes it
    const int argc = static_cast<int>(argv.size() - 1);

    UpdateRequest request;
    std::optional<int> status;
    const auto [printed, message] =
        captured([&] { status = parseArguments(argc, argv.data(), request); });
    if (!printed.empty()) violation("output on standard output", args, printed);
    if (!status) {
        if (!message.empty()) violation("run goes on after a message", args, message);
        if ((request.options & ~kOptionBits) != 0) violation("unknown option bits", args, "");
        if (std::memchr(request.newSerialNumber, '\0', sizeof request.newSerialNumber) == nullptr) {
            violation("serial number not terminated", args, "");
        }
        return 0;
    }
    if (*status == kExitOk) {
        if (argc != 1 || message != kUsageLine) violation("status 0 without usage", args, message);
        return 0;
    }
    if (*status != kExitBadCommandLine) {
        violation("status outside the grammar", args, std::to_string(*status));
    }
    if (std::find(kErrorLines.begin(), kErrorLines.end(), message) == kErrorLines.end()) {
        violation("status 1 without exactly one error line", args, message);
    }
    return 0;
}
