#!/usr/bin/env bash
# cross-test.sh ARCH: cross-builds varnolt for an ARM bench host (ARCH arm64
# or armhf, as Debian names them) in ${BUILD_DIR:-build}-ARCH, and runs its
# unit and end-to-end tests, against the emulated FT232R built for the same
# architecture, under qemu-user, and builds and checks its Debian package
# (varnolt_VERSION_ARCH.deb in ${BUILD_DIR:-build}-ARCH/deb).  Installs what
# it needs through Debian multiarch.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh

arch=${1:?usage: scripts/cross-test.sh arm64|armhf}
case $arch in
arm64) triple=aarch64-linux-gnu ;;
armhf) triple=arm-linux-gnueabihf ;;
*) echo "unknown architecture: $arch (arm64 or armhf)" >&2; exit 2 ;;
esac
build=${BUILD_DIR:-build}-$arch
# Absolute from here on: the unpacked -dev packages are named by full path.
case $build in /*) ;; *) build=$PWD/$build ;; esac

# The target's packages come from the same archive as the build machine's,
# once dpkg knows the architecture: its packages are then missing, and
# ensure_packages runs the apt-get update that fetches their lists.
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run: sudo dpkg --add-architecture $arch" >&2
        exit 1
    fi
    dpkg --add-architecture "$arch"
fi
# The cross compiler (building against the C library and C++ runtime in
# /usr/$triple), qemu-user, and through multiarch the target's GoogleTest
# and the runtime the programs run on under qemu: the C++ runtime and the
# libftdi1 (with libusb and the C library) that the libftdi1 layer loads;
# for the package, debhelper and lintian, and the target's pkgconf, whose
# $triple-pkg-config dh_auto_configure names in a cross build.
ensure_packages "${BASE_PACKAGES[@]}" "${DEB_PACKAGES[@]}" "g++-$triple" qemu-user \
    "libgtest-dev:$arch" "libstdc++6:$arch" "libftdi1-2:$arch" "pkgconf:$arch"

# libftdi1-dev is not Multi-Arch: same: libftdi1-dev:$arch would replace the
# build machine's, which the native build needs.  So the target's -dev
# packages, and the runtime packages their .so links point to, are unpacked
# into the build folder instead (no dpkg state changes), and the toolchain
# file points pkg-config at them (VARNOLT_CROSS_DEV_ROOT).
dev_root=$build/target-dev
dev_packages=(libftdi1-dev libftdi1-2 libusb-1.0-0-dev libusb-1.0-0)
stamp=$dev_root/.packages
wanted=$(for package in "${dev_packages[@]}"; do
    apt-cache policy "$package:$arch" | sed -n "s/^  Candidate: /$package /p"
done)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
    rm -rf "$dev_root"
    mkdir -p "$dev_root/debs"
    # apt's download user must be able to write there.
    chmod 777 "$dev_root/debs"
    (cd "$dev_root/debs" && apt-get download -qq "${dev_packages[@]/%/:$arch}")
    for deb in "$dev_root"/debs/*.deb; do
        dpkg-deb -x "$deb" "$dev_root"
    done
    rm -rf "$dev_root/debs"
    printf '%s\n' "$wanted" >"$stamp"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triple.cmake" \
    -DVARNOLT_CROSS_DEV_ROOT="$dev_root"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
