// Run-time loading of the D2XX library: the tool needs it only once a
// device is to be reached, and any library with the published ABI may stand
// in its place.  Linux: found by the loader's normal search (never the
// current folder).  Windows: from the system folder, then from the
// program's own folder, never from the current folder or PATH.
#pragma once

#include "d2xx.h"

// The platform's file name of the library, as the loader looks it up and
// as the load error names it.
#if defined(_WIN32)
constexpr const char* kD2xxLibraryName = "FTD2XX.dll";
#else
constexpr const char* kD2xxLibraryName = "libftd2xx.so";
#endif

// The five operations of a loaded library.  Owns the library: it is
// unloaded when this object goes.
class D2xxLibrary {
  public:
    D2xxLibrary() = default;
    ~D2xxLibrary();
    D2xxLibrary(const D2xxLibrary&) = delete;
    D2xxLibrary& operator=(const D2xxLibrary&) = delete;

    // Loads the library (by its platform file name from the places above,
    // unless given a path) and resolves the five undecorated names.
    // False when the library or any name is missing; nothing stays loaded
    // then.
    bool load(const char* file = kD2xxLibraryName);

    FT_ListDevices_fn listDevices = nullptr;
    FT_W32_CreateFile_fn createFile = nullptr;
    FT_EE_Read_fn eeRead = nullptr;
    FT_EE_Program_fn eeProgram = nullptr;
    FT_W32_CloseHandle_fn closeHandle = nullptr;

  private:
    void unload();
    void* module_ = nullptr;
};

// True for every value a D2XX open may return for "nothing opened": all
// bits set, and the 32-bit all-ones value zero-extended that the vendor's
// Linux library returns.
bool isInvalidHandle(FT_HANDLE handle);

// The status's name from the D2XX status table, or "status N".
const char* statusName(FT_STATUS status, char (&buffer)[24]);
