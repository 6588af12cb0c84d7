#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs them, side
# by side, each for a bounded time (FUZZ_SECONDS, default 30) from its seed
# corpus in fuzz/corpus/<name>/, every seed replayed first.  Fails on any
# finding; the input that caused it is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages "${FUZZ_PACKAGES[@]}"

build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(arguments codec d2xx)

CC=clang CXX=clang++ cmake -S . -B "$build" -DVARNOLT_FUZZ=ON \
    -DVARNOLT_BUILD_TESTS=OFF -DVARNOLT_BUILD_EMULATOR=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

# Longest input worth trying: a command line of a few dozen arguments; an
# EEPROM read of user and factory areas; a user area and what a run changes.
declare -A max_len=([arguments]=256 [codec]=256 [d2xx]=192)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

rm -rf "$build/artifacts"
mkdir -p "$build/artifacts"
# Side by side: each target is single-threaded, and a bounded time is wall
# time, so the three together take the time of one.
pids=()
for name in "${targets[@]}"; do
    # New inputs go to the first (scratch) corpus folder; the committed
    # seeds in the second are only read.
    work="$build/corpus/$name"
    mkdir -p "$work"
    echo "== fuzz_$name: ${seconds}s"
    "$build/fuzz/fuzz_$name" "$work" "fuzz/corpus/$name" \
        -max_total_time="$seconds" -max_len="${max_len[$name]}" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/${name}-" \
        >"$build/fuzz_$name.log" 2>&1 &
    pids+=($!)
done
summary=()
failed=0
for i in "${!targets[@]}"; do
    name=${targets[$i]}
    log="$build/fuzz_$name.log"
    status=0
    wait "${pids[$i]}" || status=$?
    echo "== fuzz_$name"
    tail -n 25 "$log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$name: FINDING (exit $status), see $log and $build/artifacts/" >&2
        failed=1
        continue
    fi
    summary+=("fuzz_$name: ${runs:-?} executions in ${seconds}s, no finding")
done
[ "$failed" -eq 0 ] || exit 1
printf '%s\n' "${summary[@]}"
