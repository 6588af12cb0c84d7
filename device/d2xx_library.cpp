#include "d2xx_library.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "d2xx_record.hpp"

namespace {

// Resolves one export into a typed function pointer.
template <typename Fn>
bool resolve(void* module, const char* name, Fn& target) {
#if defined(_WIN32)
    FARPROC address = GetProcAddress(static_cast<HMODULE>(module), name);
    // The exports are __stdcall on 32-bit Windows; Fn carries WINAPI, so the
    // call through it uses the right convention.
    target = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
#else
    void* address = dlsym(module, name);
    target = reinterpret_cast<Fn>(address);
#endif
    return address != nullptr;
}

#if defined(_WIN32)
// Flags of LoadLibraryExA (Windows 8, and Windows 7 with KB2533623); older
// MinGW headers lack them.
#ifndef LOAD_LIBRARY_SEARCH_APPLICATION_DIR
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// `name` from `folder` (a full path, no search) when the system has no
// LOAD_LIBRARY_SEARCH_* flags.
HMODULE loadFromFolder(const char* folder, std::size_t length, const char* name) {
    char path[MAX_PATH];
    if (length == 0 || length >= sizeof path ||
        std::snprintf(path, sizeof path, "%.*s\\%s", static_cast<int>(length), folder, name) >=
            static_cast<int>(sizeof path)) {
        return nullptr;
    }
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The default search would also take the library from the current folder
// and from PATH, where anybody may have left an FTD2XX.dll (a Downloads
// folder).  So: the system folder first, where the driver's installer puts
// it (SysWOW64 for a 32-bit program on 64-bit Windows, by file-system
// redirection), then the program's own folder for a portable setup, and
// nowhere else.
HMODULE loadFromTrustedFolders(const char* name) {
    HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const bool flagsKnown = module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER;
    if (module == nullptr && !flagsKnown) {
        char folder[MAX_PATH];
        module = loadFromFolder(folder, GetSystemDirectoryA(folder, sizeof folder), name);
    }
    if (module != nullptr) {
        return module;
    }
    if (flagsKnown) {
        // Its own dependencies from the same folder or the system folder.
        return LoadLibraryExA(name, nullptr,
                              LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) {
        return nullptr;
    }
    std::size_t folderLength = length;
    while (folderLength > 0 && program[folderLength - 1] != '\\' &&
           program[folderLength - 1] != '/') {
        --folderLength;
    }
    return folderLength > 1 ? loadFromFolder(program, folderLength - 1, name) : nullptr;
}
#endif

}  // namespace

D2xxLibrary::~D2xxLibrary() { unload(); }

bool D2xxLibrary::load(const char* file) {
#if defined(_WIN32)
    // No error dialog from the system loader when the DLL is missing.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // A path given by the caller (tests) is loaded as given; the
    // library's plain name only from the folders trusted for it.
    const bool plainName = std::strchr(file, '\\') == nullptr && std::strchr(file, '/') == nullptr;
    module_ =
        reinterpret_cast<void*>(plainName ? loadFromTrustedFolders(file) : LoadLibraryA(file));
    SetErrorMode(previous);
#else
    module_ = dlopen(file, RTLD_NOW | RTLD_LOCAL);
#endif
    if (module_ == nullptr) {
        return false;
    }
    const bool complete = resolve(module_, "FT_ListDevices", listDevices) &&
                          resolve(module_, "FT_W32_CreateFile", createFile) &&
                          resolve(module_, "FT_EE_Read", eeRead) &&
                          resolve(module_, "FT_EE_Program", eeProgram) &&
                          resolve(module_, "FT_W32_CloseHandle", closeHandle);
    if (!complete) {
        unload();
    }
    return complete;
}

void D2xxLibrary::unload() {
    if (module_ != nullptr) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(module_));
#else
        dlclose(module_);
#endif
    }
    module_ = nullptr;
    listDevices = nullptr;
    createFile = nullptr;
    eeRead = nullptr;
    eeProgram = nullptr;
    closeHandle = nullptr;
}

bool isInvalidHandle(FT_HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value == static_cast<std::uintptr_t>(-1) || value == 0xFFFFFFFFu;
}

const char* statusName(FT_STATUS status, char (&buffer)[24]) {
    if (const char* name = d2xxStatusName(status)) {
        return name;
    }
    std::snprintf(buffer, sizeof buffer, "status %lu", static_cast<unsigned long>(status));
    return buffer;
}
