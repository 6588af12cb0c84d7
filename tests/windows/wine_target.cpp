#include "wine_target.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

const WineTarget* wineTarget() {
    static const WineTarget target{variable("VARNOLT_E2E_WINE"),
                                   variable("VARNOLT_E2E_WINDOWS_EXE"),
                                   variable("VARNOLT_E2E_WINDOWS_DLL")};
    if (target.loader.empty()) return nullptr;
    if (target.exe.empty() || target.dll.empty()) {
        std::fprintf(
            stderr, "VARNOLT_E2E_WINE needs VARNOLT_E2E_WINDOWS_EXE and VARNOLT_E2E_WINDOWS_DLL\n");
        std::abort();
    }
    return &target;
}

std::string windowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

bool crlfToLf(std::string& text) {
    std::string lf;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Every CR and every LF is one half of a CR LF pair.
        const bool sound = text[i] == '\r' ? text.compare(i, 2, "\r\n") == 0
                                           : text[i] != '\n' || (i > 0 && text[i - 1] == '\r');
        if (!sound) return false;
        if (text[i] != '\r') lf += text[i];
    }
    text = lf;
    return true;
}
