#include "wine_target.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

WineTarget* loadTarget() {
    static WineTarget target;
    target.loader = variable("VARNOLT_E2E_WINE");
    if (target.loader.empty()) return nullptr;
    target.exe = variable("VARNOLT_E2E_WINDOWS_EXE");
    target.dll = variable("VARNOLT_E2E_WINDOWS_DLL");
    if (target.exe.empty() || target.dll.empty()) {
        std::fprintf(
            stderr, "VARNOLT_E2E_WINE needs VARNOLT_E2E_WINDOWS_EXE and VARNOLT_E2E_WINDOWS_DLL\n");
        std::abort();
    }
    return &target;
}

}  // namespace

const WineTarget* wineTarget() {
    static const WineTarget* target = loadTarget();
    return target;
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
