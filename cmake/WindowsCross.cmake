# VARNOLT_WINDOWS_CROSS: the Linux build also cross-builds the Windows
# programs with MinGW-w64 through the toolchain files in cmake/toolchains:
#   build/windows/i686    the PE32 varnolt.exe that ships (and its zip), and
#                         the emulator as a 32-bit FTD2XX.dll, run under
#                         32-bit Wine where this machine runs 32-bit code
#   build/windows/x86_64  varnolt.exe and the emulator as FTD2XX.dll, run
#                         here under wine64
# tests/windows checks them (PE headers, the zip) and runs the end-to-end
# cases under Wine.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "VARNOLT_WINDOWS_CROSS is an option of the native Linux build")
endif()
include(ExternalProject)

set(VARNOLT_WINDOWS_ARCHS i686 x86_64)
foreach(arch IN LISTS VARNOLT_WINDOWS_ARCHS)
  set(triple ${arch}-w64-mingw32)
  find_program(VARNOLT_${arch}_CXX ${triple}-g++)
  find_program(VARNOLT_${arch}_OBJDUMP ${triple}-objdump)
  if(NOT VARNOLT_${arch}_CXX OR NOT VARNOLT_${arch}_OBJDUMP)
    string(REPLACE "_" "-" package g++-mingw-w64-${arch})
    message(FATAL_ERROR "VARNOLT_WINDOWS_CROSS needs ${triple}-g++ (Debian: ${package})")
  endif()
  set(VARNOLT_WINDOWS_DIR_${arch} ${CMAKE_BINARY_DIR}/windows/${arch})
  ExternalProject_Add(windows_${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    PREFIX ${CMAKE_BINARY_DIR}/windows/project
    BINARY_DIR ${VARNOLT_WINDOWS_DIR_${arch}}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/mingw-${arch}.cmake
      -DCMAKE_BUILD_TYPE=Release
    # The sources are this tree: rebuild whenever the Linux build is built.
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
endforeach()
