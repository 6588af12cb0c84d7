# Shared part of the Linux cross toolchain files (ARM bench hosts such as the
# Raspberry Pi): set VARNOLT_LINUX_TRIPLE, CMAKE_SYSTEM_PROCESSOR and
# VARNOLT_QEMU, then include this.  Debian's cross compilers
# (g++-<triple>) build the programs; the target's libraries come from Debian
# multiarch (dpkg --add-architecture), which puts them in /usr/lib/<triple>;
# the programs run here under qemu-user.  The one cross-build route: a build
# by hand, scripts/cross-test.sh (which installs all of it and builds and
# tests one architecture) and the Debian package's cross build
# (dpkg-buildpackage -a, debian/rules) all configure through this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${VARNOLT_LINUX_TRIPLE})

set(CMAKE_C_COMPILER ${VARNOLT_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VARNOLT_LINUX_TRIPLE}-g++)

# Libraries, headers and CMake packages: the cross C library and C++ runtime
# (/usr/<triple>), then the multiarch ones (/usr/lib/<triple>, whose headers
# share /usr/include with the build machine's).  Programs run during the
# build (pkg-config, gzip, dpkg-shlibdeps) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VARNOLT_LINUX_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user runs the cross-built programs: the tests (CTest and
# gtest_discover_tests prefix them with this) and the programs the tests
# start.  Named explicitly rather than left to binfmt_misc, which a build
# machine or container need not have.  The guest runs on the target's own
# multiarch runtime (libc6:<arch>, libstdc++6:<arch>, libftdi1-2:<arch>), as
# on the device: its loader is /lib/ld-linux-*.so.*, and -L / keeps qemu from
# taking another one.  Not -L /usr/<triple>: that tree's loader would meet
# the multiarch libc.so.6, which the loader finds through ld.so.cache, from
# a different build of the C library, and the two must be one build (with
# glibc 2.36 a fork() in the guest then hangs or crashes).
set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNOLT_QEMU} -L /)

# pkg-config (libftdi1, libusb-1.0) answers for the target, not the build
# machine.  libftdi1-dev is not Multi-Arch: same, so libftdi1-dev:<arch>
# cannot be installed beside the build machine's libftdi1-dev, which the
# native build needs.  VARNOLT_CROSS_DEV_ROOT names a folder into which the
# target's -dev packages and the runtime packages their links point to are
# unpacked (dpkg-deb -x; scripts/cross-test.sh does it): pkg-config reads
# the .pc files there and, through its sysroot, turns their /usr paths into
# paths inside that folder.  Without it, the target's -dev packages must be
# installed through multiarch.
set(VARNOLT_CROSS_DEV_ROOT "" CACHE PATH
    "Folder holding the target's unpacked libftdi1 and libusb -dev packages")
# The toolchain file is read again for each try_compile, in the same process:
# the same setting there keeps the environment below as it is.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARNOLT_CROSS_DEV_ROOT)
if(VARNOLT_CROSS_DEV_ROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VARNOLT_CROSS_DEV_ROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${VARNOLT_CROSS_DEV_ROOT}/usr/lib/${VARNOLT_LINUX_TRIPLE}/pkgconfig)
  # For linking only: at run time the libraries are the target's own in
  # /usr/lib/<triple>, as on the device, so no RUNPATH names this folder.
  list(APPEND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES
       ${VARNOLT_CROSS_DEV_ROOT}/usr/lib/${VARNOLT_LINUX_TRIPLE})
else()
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
  set(ENV{PKG_CONFIG_LIBDIR}
      /usr/lib/${VARNOLT_LINUX_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
endif()
unset(ENV{PKG_CONFIG_PATH})
