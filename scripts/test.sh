#!/usr/bin/env bash
# Builds everything, the Windows cross builds included, and runs the whole
# test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages "${BASE_PACKAGES[@]}" "${DEB_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
# The shipped 32-bit varnolt.exe runs under 32-bit Wine only where this
# machine executes 32-bit code: probe first, and spend no time on i386
# packages that could not run (its tests then report skipped, with the reason).
if reason=$(sh tests/windows/probe-i386.sh); then
    ensure_wine32
else
    echo "test.sh: $reason; the 32-bit Wine tests will be skipped" >&2
fi

build=${BUILD_DIR:-build}
# With the Windows programs: cross-built under $build/windows and tested
# (PE headers, the zip, the end-to-end cases under Wine).
cmake -S . -B "$build" -DVARNOLT_WINDOWS_CROSS=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The ARM bench-host builds, cross-built in $build-arm64 and $build-armhf,
# with their unit and end-to-end tests under qemu-user, and their Debian
# packages (built with dpkg-buildpackage -a, checked like the amd64 one).
scripts/cross-test.sh arm64
scripts/cross-test.sh armhf

# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then each libFuzzer target for about a minute.
scripts/sanitize.sh
scripts/fuzz.sh
