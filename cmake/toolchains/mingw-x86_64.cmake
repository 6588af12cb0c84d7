# 64-bit Windows (PE32+) with MinGW-w64: the build that runs here under
# wine64, with the emulator as its FTD2XX.dll.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VARNOLT_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
