#!/usr/bin/env bash
# mutants.sh [REV]: hand-made mutants of the tree at REV (default HEAD), each
# a small source edit that breaks one thing the tests must notice.  The tree
# is exported (git archive) into ${MUTANTS_DIR:-build-mutants}/REV/src and
# built once in .../build (the plain native build: unit, end-to-end, USB and
# USB-kernel tiers); then, one at a time, each mutant is applied, the build
# brought up to date, the tests it names run, and the edit undone.  Prints a
# table: CAUGHT (a named test failed), MISSED (all passed), NOT APPLICABLE
# (its search text is not in the tree: the code moved, re-target the
# mutant) or BUILD FAILED (the edit no longer compiles).  A development
# aid: not built, installed or run by scripts/test.sh.
#
# Only the named mutants: MUTANTS="1 4" scripts/mutants.sh
#
# A mutant is one or more edits (FILE, SEARCH, REPLACE: SEARCH must occur
# exactly once in FILE, and is replaced literally); `or` starts another way
# of making the same mutant in an older or newer tree, tried when an edit of
# the ones before it does not apply.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages "${BASE_PACKAGES[@]}"

rev=${1:-HEAD}
commit=$(git rev-parse --short "$rev^{commit}")
root=${MUTANTS_DIR:-build-mutants}/$commit
case $root in /*) ;; *) root=$PWD/$root ;; esac
src=$root/src
build=$root/build

names=()
declare -A tests edits

# mutant ID "WHAT IT BREAKS" TESTS FILE SEARCH REPLACE [FILE SEARCH REPLACE]... [or ...]
# TESTS is a ctest -L expression (labels).
mutant() {
    local id=$1
    names+=("$id")
    tests[$id]=$3
    edits[$id.what]=$2
    shift 3
    local variant=0 n=0
    while [ $# -gt 0 ]; do
        if [ "$1" = or ]; then
            variant=$((variant + 1)) n=0
            shift
            continue
        fi
        edits[$id.$variant.$n.file]=$1
        edits[$id.$variant.$n.search]=$2
        edits[$id.$variant.$n.replace]=$3
        edits[$id.$variant.count]=$((n + 1))
        n=$((n + 1))
        shift 3
    done
    edits[$id.variants]=$((variant + 1))
}

# The tiers, by ctest label, that can see each fault: unit (the codec, the
# word I/O, the device flow through a fake library), e2e (varnolt against
# the emulated FT232R, the emulator's API, libftdi1's decoder as oracle),
# usb (the libftdi1 layer in process on the real libusb under umockdev),
# usbkernel (varnolt as a whole on that stack).  Labels, not test names:
# they outlive a renamed test.
everything='unit|e2e|usb|usbkernel'

mutant 1 "no read-back after programming" 'unit|e2e|usbkernel' \
    d2xx/api/eeprom_io.cpp \
    $'    for (const Write& write : step) {\n        std::uint16_t value = 0;' \
    $'    for (const Write& write : Step{}) {\n        std::uint16_t value = 0;' \
    or d2xx/api/eeprom_io.cpp \
    'if (word % 2 == 1 || i + 1 == words.size()) {' \
    'if (false) {' \
    or d2xx/api/eeprom_io.cpp \
    $'keep, and some store the old value AND the new one.\n    if (status == FT_OK) {' \
    $'keep, and some store the old value AND the new one.\n    if (false) {'

mutant 2 "header pair written before the string area when a serial shrinks" \
    'unit|e2e|usbkernel' \
    d2xx/codec/ft232r_eeprom.cpp \
    'if (pairChanged[p] && p != kHeaderPair) pairs.push_back(p);' \
    'if (pairChanged[p]) pairs.push_back(p);' \
    d2xx/codec/ft232r_eeprom.cpp \
    '    if (pairChanged[kHeaderPair]) pairs.push_back(kHeaderPair);' \
    ''

mutant 3 "no close after a failed read" 'unit|e2e|usbkernel' \
    device/configure.cpp \
    $'statusName(readStatus, name));\n        d2xx.closeHandle(handle);' \
    'statusName(readStatus, name));'

mutant 4 "SignalHold holds nothing" 'unit|e2e|usbkernel' \
    common/signal_hold.cpp \
    'pthread_sigmask(SIG_BLOCK, &held, &previousMask_);' \
    '(void)held; pthread_sigmask(SIG_BLOCK, nullptr, &previousMask_);'

mutant 5 "a failed read kept as the handle's image" \
    "$everything" \
    d2xx/api/d2xx_api.cpp \
    'device->imageValid = status == FT_OK;' \
    'device->imageValid = true;'

mutant 6 "latency timer not restored (libftdi1 layer)" 'usb|usbkernel' \
    d2xx/transport/libftdi/libftdi_bus.cpp \
    'if (latencyChanged_ && ftdi_set_latency_timer(&ftdi(), savedLatency_) == 0) {' \
    'if (latencyChanged_ && false) {'

mutant 7 "CBUS range checked on pins the request does not change" \
    'unit|e2e|usbkernel' \
    d2xx/codec/ft232r_eeprom.cpp \
    'if (changed && fields.cbus[pin] > kCbusMax[pin]) return Invalid::Cbus;' \
    'if ((changed || true) && fields.cbus[pin] > kCbusMax[pin]) return Invalid::Cbus;'

mutant 8 "listing not NUL-terminated before the open" 'unit|e2e|usbkernel' \
    device/configure.cpp \
    $'\n    listing[kListingBytes - 1] = \'\\0\';' \
    ''

mutant 9 "record's text pointers not re-attached after the read" 'unit|e2e|usbkernel' \
    device/configure.cpp \
    $'    record.attach();\n    record.terminate();' \
    '    record.terminate();' \
    or device/configure.cpp \
    $'whatever the library did.\n    record.Manufacturer = buffers.manufacturer;\n    record.ManufacturerId = buffers.manufacturerId;\n    record.Description = buffers.description;\n    record.SerialNumber = buffers.serialNumber;' \
    'whatever the library did.'

mutant 10 "record's texts not terminated after the read" 'unit|e2e|usbkernel' \
    device/configure.cpp \
    $'    record.attach();\n    record.terminate();' \
    '    record.attach();' \
    or device/configure.cpp \
    $'\n    buffers.terminate();' \
    ''

mutant 11 "no pair-by-pair check: every pair read back after all writes" \
    'unit|e2e|usbkernel' \
    d2xx/api/eeprom_io.cpp \
    'if (word % 2 == 1) steps.emplace_back();' \
    'if (false) steps.emplace_back();' \
    or d2xx/api/eeprom_io.cpp \
    'if (word % 2 == 1 || i + 1 == words.size()) {' \
    'if (i + 1 == words.size()) {'

mutant 12 "an empty FTD2XX_DEVICE taken as unset" 'unit|e2e|usbkernel' \
    d2xx/api/device_choice.cpp \
    'return text != nullptr ? DeviceChoice{true, text} : DeviceChoice{};' \
    'return text != nullptr && *text != 0 ? DeviceChoice{true, text} : DeviceChoice{};'

mutant 13 "the EEPROM tool without its signal hold" 'usbkernel' \
    d2xx/tools/eeprom_tool.cpp \
    $'\n    const SignalHold hold;' \
    '' \
    d2xx/tools/eeprom_tool.cpp \
    $'\n        const SignalHold hold;' \
    ''

read -ra selected <<<"${MUTANTS:-${names[*]}}"

# The tree at REV, exported once (a build of an earlier run is reused).
if [ ! -f "$root/commit" ] || [ "$(cat "$root/commit")" != "$commit" ]; then
    rm -rf "$root"
    mkdir -p "$src"
    git archive "$commit" | tar -C "$src" -xf -
    echo "$commit" >"$root/commit"
fi
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
log=$root/log
: >"$log"
build_tree() { cmake --build "$build" -j"$jobs" >>"$log" 2>&1; }
run_tests() {
    ctest --test-dir "$build" -L "$1" -j"$jobs" \
        --timeout 120 >>"$log" 2>&1
}
cmake -S "$src" -B "$build" -DVARNOLT_WINDOWS_CROSS=OFF -DVARNOLT_PACKAGE_TEST=OFF >>"$log" 2>&1
build_tree || { echo "mutants: $commit does not build, see $log" >&2; exit 1; }

# Every named test passes on the tree as it is: otherwise a failure says
# nothing about a mutant.
all_tests=$(for id in "${selected[@]}"; do printf '%s|' "${tests[$id]}"; done)
if ! run_tests "${all_tests%|}"; then
    echo "mutants: the named tests fail on $commit unmutated, see $log" >&2
    exit 1
fi

# replace FILE SEARCH REPLACE: 0 when SEARCH occurs once and was replaced.
replace() {
    local file=$src/$1 text rest
    [ -f "$file" ] || return 1
    text=$(cat "$file"; printf x)
    text=${text%x}
    case $text in *"$2"*) ;; *) return 1 ;; esac
    rest=${text#*"$2"}
    case $rest in *"$2"*) return 1 ;; esac
    printf '%s' "${text/"$2"/"$3"}" >"$file"
}

# undo COUNT: puts back the files of the last COUNT edits, newest first (two
# edits may change one file).
undo() {
    local k
    for ((k = $1 - 1; k >= 0; k--)); do cp "$root/orig.$k" "$src/$(cat "$root/orig.$k.name")"; done
}

# apply ID: applies the first variant whose every edit applies and prints
# how many edits it made, or fails naming the first search text not found.
apply() {
    local id=$1 variant n key absent=
    for ((variant = 0; variant < ${edits[$id.variants]}; variant++)); do
        for ((n = 0; n < ${edits[$id.$variant.count]}; n++)); do
            key=$id.$variant.$n
            cp "$src/${edits[$key.file]}" "$root/orig.$n" 2>/dev/null || true
            echo "${edits[$key.file]}" >"$root/orig.$n.name"
            if ! replace "${edits[$key.file]}" "${edits[$key.search]}" "${edits[$key.replace]}"; then
                [ -n "$absent" ] || absent="${edits[$key.file]}: ${edits[$key.search]}"
                undo "$n"
                continue 2
            fi
        done
        echo "$n"
        return 0
    done
    echo "$absent" >&2
    return 1
}

results=()
for id in "${selected[@]}"; do
    [ -n "${tests[$id]:-}" ] || { echo "mutants: no mutant $id" >&2; exit 2; }
    echo "== mutant $id: ${edits[$id.what]}" >"$log"
    if ! count=$(apply "$id" 2>"$root/missing"); then
        results+=("$id|NOT APPLICABLE|${edits[$id.what]}: search text not found in $(head -n 1 "$root/missing")")
        continue
    fi
    if ! build_tree; then
        verdict="BUILD FAILED"
    elif run_tests "${tests[$id]}"; then
        verdict=MISSED
    else
        verdict=CAUGHT
    fi
    undo "$count"
    failed=$(sed -n '/tests failed out of/,$s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' "$log" |
        head -n 3 | paste -sd' ')
    results+=("$id|$verdict|${edits[$id.what]}${failed:+ (failed: $failed)}")
    mv "$log" "$root/log.$id"
done
build_tree || true

echo
echo "Mutants of $commit (tests: ctest -L per mutant; logs in $root/log.ID)"
printf '%-3s %-15s %s\n' id result mutant
for row in "${results[@]}"; do
    IFS='|' read -r id verdict what <<<"$row"
    printf '%-3s %-15s %s\n' "$id" "$verdict" "$what"
done
