#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time (FUZZ_SECONDS, default 60) from its seed corpus in
# fuzz/corpus/<name>/.  Fails on any finding; the input that caused it is
# left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
# clang-14's libFuzzer and sanitizer runtimes come in libclang-rt-14-dev,
# which clang only recommends.
ensure_packages cmake make clang libclang-rt-14-dev

build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=(arguments codec d2xx)

CC=clang CXX=clang++ cmake -S . -B "$build" -DVARNOLT_FUZZ=ON \
    -DVARNOLT_BUILD_TESTS=OFF -DVARNOLT_BUILD_EMULATOR=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

# Longest input worth trying: a command line of a few dozen arguments; an
# EEPROM read of user and factory areas; a user area and what a run changes.
declare -A max_len=([arguments]=256 [codec]=256 [d2xx]=192)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

rm -rf "$build/artifacts"
summary=()
for name in "${targets[@]}"; do
    # New inputs go to the first (scratch) corpus folder; the committed
    # seeds in the second are only read.
    work="$build/corpus/$name"
    mkdir -p "$work" "$build/artifacts"
    log="$build/fuzz_$name.log"
    echo "== fuzz_$name: ${seconds}s"
    status=0
    "$build/fuzz/fuzz_$name" "$work" "fuzz/corpus/$name" \
        -max_total_time="$seconds" -max_len="${max_len[$name]}" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/${name}-" >"$log" 2>&1 || status=$?
    tail -n 25 "$log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$name: FINDING (exit $status), see $log and $build/artifacts/" >&2
        exit 1
    fi
    summary+=("fuzz_$name: ${runs:-?} executions in ${seconds}s, no finding")
done
printf '%s\n' "${summary[@]}"
