#include "image_file.hpp"

#include <cstdio>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "ft232r_eeprom.hpp"

namespace ft232r {

namespace {
constexpr std::size_t kFactoryBytes = 128;  // words 0x40..0x7F
}  // namespace

bool loadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    std::ifstream file(path, std::ios::binary);
    if (!file) return fail("cannot read " + path);
    bytes.clear();
    // One byte past the largest size is enough to tell a longer file.
    char c = 0;
    while (bytes.size() <= kImageBytes + kFactoryBytes && file.get(c)) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    if (file.bad()) return fail("cannot read " + path);
    if (bytes.size() != kImageBytes && bytes.size() != kImageBytes + kFactoryBytes) {
        return fail(path + ": expected 128 or 256 bytes");
    }
    return true;
}

bool saveImageFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        if (!out.flush()) {
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
#if defined(_WIN32)
    // rename() refuses an existing target on Windows; removing it first
    // would leave a moment with no image at all.  MoveFileEx replaces it in
    // one step.
    return MoveFileExA(temporary.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
}

}  // namespace ft232r
