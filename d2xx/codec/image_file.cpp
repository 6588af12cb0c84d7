#include "image_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "ft232r_eeprom.hpp"

namespace ft232r {

namespace {

bool failed(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

}  // namespace

bool loadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return failed(error, "cannot read " + path);
    bytes.clear();
    // One byte past the largest size is enough to tell a longer file.
    char c = 0;
    while (bytes.size() <= kImageBytes + kFactoryBytes && file.get(c)) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    if (file.bad()) return failed(error, "cannot read " + path);
    if (bytes.size() != kImageBytes && bytes.size() != kImageBytes + kFactoryBytes) {
        return failed(error, path + ": expected 128 or 256 bytes");
    }
    return true;
}

#if defined(_WIN32)

bool imageFileTarget(const std::string& path, std::string* error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD why = GetLastError();
        return why == ERROR_FILE_NOT_FOUND ||
               failed(error, "cannot write " + path + ": its folder cannot be reached");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return failed(error, path + " is a folder: not written");
    }
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return failed(error, path + " is not a regular file: not written");
    }
    return true;
}

bool saveImageFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                   std::string* error, bool durable) {
    if (error != nullptr) error->clear();
    if (!imageFileTarget(path, error)) return false;
    // A name of this process's own, made exclusively (CREATE_NEW).
    static LONG counter = 0;
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%lu.%ld.tmp", GetCurrentProcessId(),
                      InterlockedIncrement(&counter));
        temporary = path + suffix;
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) return failed(error, "cannot write " + path);
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) != 0 &&
                    written == size && (!durable || FlushFileBuffers(file) != 0);
    CloseHandle(file);
    // rename() refuses an existing target on Windows; removing it first
    // would leave a moment with no image at all.  MoveFileEx replaces it in
    // one step.
    if (ok && MoveFileExA(temporary.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return true;
    }
    DeleteFileA(temporary.c_str());
    return failed(error, "cannot write " + path);
}

#else

// The folder part of `path`, with its separator ("" for the current folder).
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool imageFileTarget(const std::string& path, std::string* error) {
    struct stat target {};
    if (lstat(path.c_str(), &target) != 0) {
        return errno == ENOENT ||
               failed(error, "cannot write " + path + ": " + std::strerror(errno));
    }
    if (S_ISREG(target.st_mode)) return true;
    const char* kind = S_ISDIR(target.st_mode)                              ? "a folder"
                       : S_ISLNK(target.st_mode)                            ? "a symbolic link"
                       : S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode) ? "a device node"
                                                                            : "not a regular file";
    return failed(error, path + " is " + kind + ": not written");
}

bool saveImageFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                   std::string* error, bool durable) {
    if (error != nullptr) error->clear();
    if (!imageFileTarget(path, error)) return false;
    const std::string base = path.substr(folderOf(path).size());
    std::string temporary = folderOf(path) + "." + base + ".XXXXXX";
    // mkstemp creates the file exclusively (O_EXCL): never a link followed,
    // never a file that was already there.
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return failed(error, "cannot write " + path + ": " + std::strerror(errno));
    // The permissions the file had, or those a new file gets (mkstemp's
    // are 0600).
    struct stat old {};
    mode_t mode = 0;
    if (stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == size && fchmod(fd, mode) == 0 && (!durable || fsync(fd) == 0);
    const int savedErrno = errno;
    if (close(fd) == 0 && ok && imageFileTarget(path, error) &&
        std::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    const std::string why = ok ? std::strerror(errno) : std::strerror(savedErrno);
    unlink(temporary.c_str());
    if (error != nullptr && error->empty()) *error = "cannot write " + path + ": " + why;
    return false;
}

#endif

}  // namespace ft232r
