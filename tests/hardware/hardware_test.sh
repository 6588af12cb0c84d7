#!/bin/sh
# hardware_test.sh STEP VARNOLT: the hardware tier, run by CTest.
#   read                   -r works and reports a serial number and five CBUS bytes
#   change-verify-restore  writes a new serial number and CBUS setup, reads them
#                          back, writes the old ones back and reads those
# Exits 77 (skipped) unless VARNOLT_HARDWARE_TEST=1, with exactly one FT232R
# attached that the user may open (see the README's hardware section).  The
# device is left as it was, also when a step fails.
# VARNOLT_HARDWARE_CBUS="c0 c1 c2 c3 c4" chooses the CBUS setup written for
# the change (by default CBUS0 and CBUS1 trade places, which on a factory
# setup swaps the TX and RX LEDs).
set -u
step=$1
varnolt=$2

if [ "${VARNOLT_HARDWARE_TEST:-}" != 1 ]; then
    echo "skipped: set VARNOLT_HARDWARE_TEST=1 with one FT232R attached to run"
    exit 77
fi

fail() { echo "FAIL: $*" >&2; exit 1; }

# read_device: runs -r into $serial and $cbus ("03 02 00 01 05").  After a
# programming the device re-enumerates, and udev sets its permissions
# again: it may take a few seconds to answer.
read_device() {
    tries=0
    while ! out=$("$varnolt" -r 2>&1); do
        tries=$((tries + 1))
        [ "$tries" -lt 40 ] || fail "varnolt -r: $out"
        sleep 0.25
    done
    printf '%s\n' "$out"
    serial=$(printf '%s\n' "$out" | sed -n 's/^Serial Number : //p')
    cbus=$(printf '%s\n' "$out" | sed -n 's/^CBUS0-4       : //p' | tr -d ',')
    printf '%s\n' "$out" | grep -q '^Serial Number : ' || fail "no serial number line"
    printf '%s\n' "$cbus" | grep -Eq '^[0-9a-f]{2}( [0-9a-f]{2}){4}$' || fail "bad CBUS line: $cbus"
}

program() {
    echo "\$ varnolt -s '$1' -c $2"
    # $2 is five words on purpose.
    # shellcheck disable=SC2086
    out=$("$varnolt" -s "$1" -c $2 2>&1) || fail "programming failed: $out"
    printf '%s\n' "$out"
    printf '%s\n' "$out" | grep -q '^Done$' || fail "no Done after programming"
}

case $step in
read)
    read_device
    first="$serial / $cbus"
    read_device
    [ "$serial / $cbus" = "$first" ] || fail "two reads differ"
    ;;
change-verify-restore)
    read_device
    old_serial=$serial
    old_cbus=$cbus
    if [ "$old_serial" = VNHWTEST ]; then new_serial=VNHW2; else new_serial=VNHWTEST; fi
    # By default CBUS0 and CBUS1 trade places; where they are equal, CBUS0
    # becomes RXLED# (02) if it was TXLED# (03), TXLED# otherwise.
    # shellcheck disable=SC2086 # five words
    set -- $old_cbus
    if [ "$1" != "$2" ]; then swap="$2 $1"; elif [ "$1" = 03 ]; then swap="02 $2"; else swap="03 $2"; fi
    new_cbus=${VARNOLT_HARDWARE_CBUS:-$swap $3 $4 $5}
    # From here on, whatever happens, the old values go back.
    restore() {
        echo "restoring serial '$old_serial' and CBUS $old_cbus"
        program "$old_serial" "$old_cbus"
        read_device
        if [ "$serial" != "$old_serial" ] || [ "$cbus" != "$old_cbus" ]; then
            fail "restore: read back '$serial' / $cbus"
        fi
    }
    status=0
    trap 'status=$?; trap - EXIT; if [ "$status" -ne 0 ]; then (restore); fi; exit "$status"' EXIT

    program "$new_serial" "$new_cbus"
    read_device
    [ "$serial" = "$new_serial" ] || fail "serial read back '$serial', wrote '$new_serial'"
    [ "$cbus" = "$new_cbus" ] || fail "CBUS read back $cbus, wrote $new_cbus"

    trap - EXIT
    restore
    ;;
*)
    fail "unknown step $step"
    ;;
esac
echo "ok: $step"
