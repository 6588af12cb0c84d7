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

// A memory stream that stands in for one of stdio's standard streams during
// a call.  glibc's stdout and stderr are assignable variables; swapping the
// FILE pointer (not file descriptor 2) keeps libFuzzer's and the sanitizers'
// own reports on the real standard error.  Lines of the grammar are short:
// anything longer than the buffer is a finding anyway.
class MemoryStream {
  public:
    MemoryStream() : file_(fmemopen(buffer_.data(), buffer_.size(), "w")) {
        if (file_ == nullptr) {
            std::abort();
        }
        std::setvbuf(file_, nullptr, _IONBF, 0);
    }
    ~MemoryStream() { std::fclose(file_); }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    FILE* start() {
        std::rewind(file_);
        return file_;
    }
    std::string written() const {
        const long length = std::ftell(file_);
        return std::string(buffer_.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
    }

  private:
    std::array<char, 256> buffer_{};
    FILE* file_;
};

[[noreturn]] void violation(const char* what, const std::vector<std::string>& args,
                            const std::string& detail) {
    std::fprintf(stderr, "grammar violation: %s\n  arguments:", what);
    for (const std::string& arg : args) {
        std::fprintf(stderr, " [%s]", arg.c_str());
    }
    std::fprintf(stderr, "\n  detail: [%s]\n", detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemoryStream out;
    static MemoryStream err;

    std::vector<std::string> args;
    if (size > 0) {
        const char* text = reinterpret_cast<const char*>(data);
        std::size_t start = 0;
        for (std::size_t at = 0; at <= size; ++at) {
            if (at == size || text[at] == '\0') {
                args.emplace_back(text + start, at - start);
                start = at + 1;
            }
        }
    }
    std::vector<const char*> argv = {"varnolt"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);  // as the C runtime passes it
    const int argc = static_cast<int>(argv.size() - 1);

    UpdateRequest request;
    FILE* const realOut = stdout;
    FILE* const realErr = stderr;
    stdout = out.start();
    stderr = err.start();
    const std::optional<int> status = parseArguments(argc, argv.data(), request);
    stdout = realOut;
    stderr = realErr;

    const std::string printed = out.written();
    const std::string message = err.written();
    if (!printed.empty()) {
        violation("output on standard output", args, printed);
    }
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
    for (const char* line : kErrorLines) {
        if (message == line) return 0;
    }
    violation("status 1 without exactly one error line", args, message);
}
