# 32-bit Windows (PE32) with MinGW-w64: the shipped varnolt.exe.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VARNOLT_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
