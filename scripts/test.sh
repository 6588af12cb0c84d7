#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages "${BASE_PACKAGES[@]}"

build=${BUILD_DIR:-build}
cmake -S . -B "$build"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then each libFuzzer target for about a minute.
scripts/sanitize.sh
scripts/fuzz.sh
