#!/usr/bin/env bash
# Builds varnolt and runs its main job on an emulated FT232R: read the
# device, change its serial number and CBUS pins, read it again.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages "${BASE_PACKAGES[@]}"

build=${BUILD_DIR:-build}
case $build in /*) ;; *) build=$PWD/$build ;; esac
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target varnolt ft232r_emulator ft232r-image >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/d2xx/tools/ft232r-image" new "$work/device.bin" --serial A1B2C3D4 >/dev/null

# The tool finds the emulator's libftd2xx.so through the normal library
# search path; the emulator finds its image file through its own variable.
export LD_LIBRARY_PATH="$build/emulator${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export FT232R_EMULATOR_DEVICES="$work/device.bin"

run() {
    echo "\$ varnolt $*"
    "$build/cli/varnolt" "$@"
    echo
}
run -r
run -s VN000042 -c 0a 0a 03 02 01
run -r
"$build/d2xx/tools/ft232r-image" show "$work/device.bin"
