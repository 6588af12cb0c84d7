#include "text.hpp"

#include <cstdio>

std::string hexDigits(unsigned long long value, int digits, bool upper) {
    char text[24];
    std::snprintf(text, sizeof text, upper ? "%0*llX" : "%0*llx", digits, value);
    return text;
}

std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte < 0x20 || byte == 0x7F ? "\\x" + hexDigits(byte, 2) : std::string(1, c);
    }
    return shown;
}
