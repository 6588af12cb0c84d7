// The Windows build of varnolt under Wine as the program of the end-to-end
// tests.  The Wine entries of the test list (tests/windows/CMakeLists.txt)
// set variables of this test fixture:
//   VARNOLT_E2E_WINE         the wine64 loader
//   VARNOLT_E2E_WINDOWS_EXE  the x86_64 varnolt.exe
//   VARNOLT_E2E_WINDOWS_DLL  the emulator built as an x86_64 FTD2XX.dll
// (and WINEPREFIX, WINEDEBUG for Wine itself).  Without them the tests run
// the Linux build.
#pragma once

#include <string>

struct WineTarget {
    std::string loader;
    std::string exe;
    std::string dll;
};

// The Wine target when VARNOLT_E2E_WINE is set, else null.
const WineTarget* wineTarget();

// A Unix path as a Windows program writes it: Wine's drive Z: is the root.
std::string windowsPath(const std::string& unixPath);

// Standard output or error of a Windows program in text mode, where the C
// runtime writes every "\n" as "\r\n".  False, leaving `text` as it is, when
// a line ends in a bare "\n" or a "\r" stands elsewhere; otherwise turns the
// line ends back into "\n".
bool crlfToLf(std::string& text);
