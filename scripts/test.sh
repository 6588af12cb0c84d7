#!/usr/bin/env bash
# Checks the sources' layout and the shell scripts, builds everything, the
# Windows cross builds included, and runs the whole test suite; then the ARM
# builds under qemu-user, the sanitizer pass and the fuzzing.  Says how long each phase took, and all of them at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh

build=${BUILD_DIR:-build}
# The other phases' build folders sit beside this one.
export SANITIZE_BUILD_DIR=${SANITIZE_BUILD_DIR:-$build-sanitize}
export FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-$build-fuzz}

timings=()
# What the machine or the package archive could not give, for the summary.
skipped=()
# phase NAME COMMAND...: runs one phase and notes its time.
phase() {
    local name=$1 start=$SECONDS
    shift
    echo "== test.sh: $name" >&2
    "$@"
    timings+=("$(printf '  %-32s %4d s' "$name" $((SECONDS - start)))")
    echo "== test.sh: $name took $((SECONDS - start)) s" >&2
}

# What the native build needs first; the packages of the later phases are
# installed while it compiles (apt-get waits on the network and the disk,
# the compiler on the processor).
install_native() {
    # The ARM architectures before the first apt-get update, which then
    # fetches their package lists too.
    ensure_architectures arm64 armhf
    ensure_packages "${BASE_PACKAGES[@]}"
    # The sanitizer build needs nothing more: it compiles, at a lower
    # priority, while the rest is downloaded and unpacked, and then in what
    # the native build leaves of the processors.  Its phase waits for it.
    nice -n 10 scripts/sanitize.sh --build-only >"$install_later_log.sanitize" 2>&1 &
    sanitize_build_pid=$!
    ensure_packages "${DEB_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    # The shipped 32-bit varnolt.exe runs under 32-bit Wine only where this
    # machine executes 32-bit code: probe first, and spend no time on i386
    # packages that could not run (its tests then report skipped, with the
    # reason).
    local reason
    if reason=$(sh tests/windows/probe-i386.sh); then
        ensure_wine32
        [ -x /usr/lib/wine/wine ] || skipped+=("the 32-bit Wine tests: wine32:i386 not installed")
    else
        echo "test.sh: $reason; the 32-bit Wine tests will be skipped" >&2
        skipped+=("the 32-bit Wine tests: $reason")
    fi
}
install_later_log=$(mktemp)
trap 'rm -f "$install_later_log"*' EXIT
sanitize_build_pid=
install_later() {
    # shellcheck disable=SC2046 # one word a package
    ensure_packages $(cross_packages arm64) $(cross_packages armhf) "${FUZZ_PACKAGES[@]}" &&
        return
    # An architecture the archive cannot give whole is left to its cross
    # test, which reports it skipped; everything else must install.
    ensure_packages "${FUZZ_PACKAGES[@]}" || return
    local arch
    for arch in arm64 armhf; do
        # shellcheck disable=SC2046 # one word a package
        ensure_packages $(cross_packages "$arch") || archive_incomplete "$arch" || return
    done
}
# Waits for install_later; its output, and its failure, come out here.
wait_install_later() {
    local status=0
    wait "$install_later_pid" || status=$?
    cat "$install_later_log" >&2
    return "$status"
}

# With the Windows programs: cross-built under $build/windows and tested
# (PE headers, the zip, the end-to-end cases under Wine), and the .deb.
native() {
    cmake -S . -B "$build" -DVARNOLT_WINDOWS_CROSS=ON
    install_later >"$install_later_log" 2>&1 &
    install_later_pid=$!
    cmake --build "$build" -j"$(nproc)"
    # The package test's input includes the installed packages: they are
    # all there before it runs.
    wait_install_later
    # One more than the processors: many tests wait (a server starting, a
    # device coming back, a signal's moment), and their waits overlap.
    ctest --test-dir "$build" --output-on-failure -j"$(($(nproc) + 1))"
}

# The habits the tree keeps (layout of the C and C++ sources, shellcheck).
phase "lint" scripts/lint.sh
phase "packages for the native build" install_native
phase "native build and tests" native
# The ARM bench-host builds, cross-built in $build-arm64 and $build-armhf,
# with their unit and end-to-end tests under qemu-user, and their Debian
# packages (built with dpkg-buildpackage -a, checked like the amd64 one).
# Side by side: each has stretches on one processor (configuring, lintian,
# the longest tests under qemu) that the other fills.  Each one's output
# comes out whole when both are done.
arm() {
    local arch pids=() status=0 failed=() code
    for arch in arm64 armhf; do
        scripts/cross-test.sh "$arch" >"$install_later_log.$arch" 2>&1 &
        pids+=($!)
    done
    for arch in arm64 armhf; do
        code=0
        wait "${pids[0]}" || code=$?
        if [ "$code" -eq 77 ]; then
            skipped+=("$(sed -n 's/^SKIPPED: //p' "$install_later_log.$arch" | head -n 1)")
        elif [ "$code" -ne 0 ]; then
            status=1
            failed+=("$arch")
        fi
        pids=("${pids[@]:1}")
        echo "== scripts/cross-test.sh $arch"
        cat "$install_later_log.$arch"
        rm -f "$install_later_log.$arch"
    done
    [ "$status" -eq 0 ] || echo "test.sh: scripts/cross-test.sh failed for ${failed[*]}" >&2
    return "$status"
}
phase "arm64 and armhf under qemu-user" arm
# The unit and end-to-end tiers again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then each libFuzzer target.
sanitizers() {
    if [ -n "$sanitize_build_pid" ]; then
        local status=0
        wait "$sanitize_build_pid" || status=$?
        cat "$install_later_log.sanitize" >&2
        [ "$status" -eq 0 ] || return "$status"
    fi
    scripts/sanitize.sh
}
phase "sanitizers" sanitizers
phase "fuzzing" scripts/fuzz.sh

echo "test.sh: all passed in $SECONDS s"
printf '%s\n' "${timings[@]}"
[ ${#skipped[@]} -eq 0 ] || printf 'skipped: %s\n' "${skipped[@]}"
