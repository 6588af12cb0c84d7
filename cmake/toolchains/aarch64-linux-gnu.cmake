# 64-bit ARM Linux (arm64: 64-bit Raspberry Pi OS, Ubuntu on a Raspberry Pi,
# other ARMv8 boards), tested here under qemu-aarch64.
#   scripts/cross-test.sh arm64
# or by hand, with the packages that script installs:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VARNOLT_LINUX_TRIPLE aarch64-linux-gnu)
set(VARNOLT_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
