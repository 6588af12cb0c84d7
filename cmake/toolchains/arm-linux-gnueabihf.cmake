# 32-bit ARM Linux with hardware floating point (armhf: 32-bit Raspberry Pi
# OS on a Raspberry Pi 2 or later, other ARMv7 boards), tested here under
# qemu-arm.  Debian's armhf is ARMv7-A: the ARMv6 Raspberry Pi 1 and Zero
# cannot run it.  4-byte pointers: the D2XX record has its 32-bit layout.
#   scripts/cross-test.sh armhf
# or by hand, with the packages that script installs:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VARNOLT_LINUX_TRIPLE arm-linux-gnueabihf)
set(VARNOLT_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
