#!/usr/bin/env bash
# Measures what configuring one FT232R costs, against the emulated device:
# word transfers per change next to a whole-image rewrite, the wall time
# and peak memory of `varnolt -r` next to `true`, and the control transfers
# per operation through the real USB stack (ft232r-usb).  Writes docs/benchmark.md
# and docs/benchmark.png; exits 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages "${BASE_PACKAGES[@]}" python3 python3-matplotlib

build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench
