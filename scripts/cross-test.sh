#!/usr/bin/env bash
# cross-test.sh ARCH: cross-builds varnolt for an ARM bench host (ARCH arm64
# or armhf, as Debian names them) in ${BUILD_DIR:-build}-ARCH, and runs its
# unit and end-to-end tests, against the emulated FT232R built for the same
# architecture, under qemu-user, and builds and checks its Debian package
# (varnolt_VERSION_ARCH.deb in ${BUILD_DIR:-build}-ARCH/deb).  Installs what
# it needs through Debian multiarch; exits 77 (skipped) where the package
# archive cannot give it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh

arch=${1:?usage: scripts/cross-test.sh arm64|armhf}
triple=$(cross_triple "$arch")
build=${BUILD_DIR:-build}-$arch
# Absolute from here on: the unpacked -dev packages are named by full path.
case $build in /*) ;; *) build=$PWD/$build ;; esac

# The target's packages come from the same archive as the build machine's,
# once dpkg knows the architecture: its packages are then missing, and
# ensure_packages runs the apt-get update that fetches their lists
# (cross_packages in ensure-packages.sh says which).
ensure_architectures "$arch"
# shellcheck disable=SC2046 # one word a package
if ! ensure_packages $(cross_packages "$arch"); then
    # Skipped, not failed, only where the archive itself is at fault.
    archive_incomplete "$arch" || exit 1
    echo "SKIPPED: $arch: the package archive gave no whole $arch index (a mirror in the" \
        "middle of a sync), so its libraries cannot go beside this machine's"
    exit 77
fi

# libftdi1-dev (and libpq-dev) is not Multi-Arch: same: libftdi1-dev:$arch
# would replace the build machine's, which the native build needs.  So the target's -dev
# packages, and the runtime packages their .so links point to, are unpacked
# into the build folder instead (no dpkg state changes), and the toolchain
# file points pkg-config at them (VARNOLT_CROSS_DEV_ROOT).
dev_root=$build/target-dev
# libpq's pkg-config file requires libssl's and libcrypto's (libssl-dev).
dev_packages=(libftdi1-dev libftdi1-2 libusb-1.0-0-dev libusb-1.0-0 libsqlite3-dev libsqlite3-0
    libpq-dev libpq5 libssl-dev)
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

# Without debug information (-g costs this build a quarter of its time); a
# failure to look into is rebuilt with it by hand.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triple.cmake" \
    -DVARNOLT_CROSS_DEV_ROOT="$dev_root" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG"
# What differs by architecture runs here: the codec and the device flow
# (unit), varnolt and the emulator with their record layout and ABI (e2e,
# libftdi1's decoder as oracle included), and the package.  The hardware
# script on the emulator and the bash completion are the same source run the
# same way on every architecture, and run in the native suite; the USB tiers
# (usb, usbkernel) need the build machine's umockdev.
cmake --build "$build" -j"$(nproc)" \
    --target varnolt unit_tests e2e_tests emulator_api_tests differential_tests
ctest --test-dir "$build" --output-on-failure -j"$(($(nproc) + 1))" -L '^(unit|e2e|package)$' \
    -E '^(bash_completion|hardware_steps_on_emulator)$'
