# Shared part of the MinGW-w64 toolchain files: set VARNOLT_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this.  Debian's packages
# g++-mingw-w64-i686 and g++-mingw-w64-x86-64 provide the tools under these
# names (the alternatives pick the win32 or posix thread model; both work).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VARNOLT_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VARNOLT_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${VARNOLT_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW-w64 sysroot only; programs run
# during the build (none so far) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${VARNOLT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
