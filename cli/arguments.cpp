#include "arguments.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kMaxSerialBytes = sizeof(UpdateRequest{}.newSerialNumber) - 1;
constexpr int kCbusValues = 5;

int fail(const char* message) {
    std::fputs(message, stderr);
    return kExitBadCommandLine;
}

}  // namespace

bool convertCbusValue(const char* text, std::int32_t& value) {
    // The grammar of sscanf "%x" (strtoul with base 16), converted here by
    // hand because a value beyond 32 bits is undefined behaviour for
    // sscanf: such a value keeps its low 32 bits, as the C libraries do in
    // practice for up to 16 digits.
    const char* at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) {
        ++at;
    }
    const bool negative = *at == '-';
    if (*at == '-' || *at == '+') {
        ++at;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    // "0x" counts as a prefix only when a digit follows; otherwise the
    // leading '0' alone is the number.
    if (at[0] == '0' && (at[1] == 'x' || at[1] == 'X') && digit(at[2]) >= 0) {
        at += 2;
    }
    if (digit(*at) < 0) {
        return false;
    }
    std::uint32_t result = 0;
    for (; digit(*at) >= 0; ++at) {
        result = (result << 4) | static_cast<std::uint32_t>(digit(*at));
    }
    if (negative) {
        result = 0u - result;  // negation modulo 2^32: "-1" is 0xFFFFFFFF
    }
    value = static_cast<std::int32_t>(result);
    return true;
}

std::optional<int> parseArguments(int argc, const char* const* argv, UpdateRequest& request) {
    if (argc <= 1) {
        std::fputs("Usage: varnolt <-r> <-s Serial_Number> <-c b1 b2 b3 b4>\n", stderr);
        return kExitOk;
    }
    int at = 1;
    while (at < argc) {
        const char* option = argv[at];
        // An option is exactly '-' and one byte; letters are never combined.
        if (option[0] != '-' || option[1] == '\0' || option[2] != '\0') {
            return fail("Error: invalidate option\n");
        }
        ++at;
        switch (option[1]) {
            case 'r':
            case 'R':
                request.options |= OPT_REPORT;
                break;
            case 's':
            case 'S': {
                if (at >= argc) {
                    return fail("Error: serial number\n");
                }
                const char* serial = argv[at++];
                const std::size_t length = std::strlen(serial);
                if (length > kMaxSerialBytes) {
                    return fail("Error: too long serial number\n");
                }
                std::memcpy(request.newSerialNumber, serial, length + 1);
                request.options |= OPT_SERIAL;
                break;
            }
            case 'c':
            case 'C': {
                if (argc - at < kCbusValues) {
                    return fail("Error: cbus config\n");
                }
                for (int pin = 0; pin < kCbusValues; ++pin) {
                    if (!convertCbusValue(argv[at++], request.newCbus[pin])) {
                        return fail("Error: cbus config\n");
                    }
                }
                request.options |= OPT_CBUS;
                break;
            }
            default:
                // Unknown letters are accepted and ignored.
                break;
        }
    }
    return std::nullopt;
}
