#!/bin/sh
# varnolt-production.sh: gives the FT232R on this bench station the next
# serial number of a production run, checks that it took, and logs it.
#
#   sh varnolt-production.sh [-d DIR] [-p PREFIX] [-n DIGITS] [-c "C0 C1 C2 C3 C4"] [-P PORT]
#
#   -d DIR     the run's folder (default: the current one): DIR/counter holds
#              the next number (1 when missing), DIR/production.csv the log
#   -p PREFIX  serial number prefix (default VN); -n DIGITS: the number's
#              width, zero-padded (default 6): VN000001, VN000002, ...
#   -c CODES   also set the five CBUS codes (hexadecimal), as varnolt -c
#   -P PORT    the USB port path of the device (as `varnolt-eeprom list` shows
#              it, e.g. 1-1.4); needed when more than one FT232R is attached
#
# Each run takes one number: the counter is read and advanced under flock, so
# two runs on one machine (two stations) never take the same.  A number the
# log already holds is refused (the counter was set back), as is a device
# whose serial number the log records as programmed.  When a run fails (a
# cable pulled, a chip that does not keep what is written), the number stays
# with that port: run the script again and it finishes the same number, which
# also repairs an interrupted write.  Each run appends one line to the log:
#   time,port,old serial,new serial,CBUS,result
# Exit status: 0 programmed and checked, 1 failed or refused, 2 usage.
#
# VARNOLT and VARNOLT_EEPROM name the two programs (default: from PATH);
# VARNOLT_WAIT the seconds to wait for the device to come back (default 10).
set -u

varnolt=${VARNOLT:-varnolt}
eeprom=${VARNOLT_EEPROM:-varnolt-eeprom}
wait_seconds=${VARNOLT_WAIT:-10}
dir=.
prefix=VN
digits=6
cbus=
port=

usage() {
    echo "usage: $0 [-d DIR] [-p PREFIX] [-n DIGITS] [-c \"C0 C1 C2 C3 C4\"] [-P PORT]" >&2
    exit 2
}

while getopts d:p:n:c:P: option; do
    case $option in
    d) dir=$OPTARG ;;
    p) prefix=$OPTARG ;;
    n) digits=$OPTARG ;;
    c) cbus=$OPTARG ;;
    P) port=$OPTARG ;;
    *) usage ;;
    esac
done
[ "$OPTIND" -gt $# ] || usage
case $digits in '' | *[!0-9]*) usage ;; esac
case $prefix in *[!A-Za-z0-9_-]*) echo "the prefix takes letters, digits, _ and - only" >&2; exit 2 ;; esac
if [ -n "$cbus" ]; then
    # shellcheck disable=SC2086 # the five codes are five words
    set -- $cbus
    [ $# -eq 5 ] || usage
fi

counter=$dir/counter
log=$dir/production.csv
lock=$dir/lock

say() { printf '%s\n' "$*"; }
refuse() {
    say "REFUSED: $*" >&2
    exit 1
}

# The devices the EEPROM tool lists: port, serial number, product, tab-separated.
listing() {
    if [ -n "$port" ]; then
        FTD2XX_DEVICE=$port "$eeprom" list
    else
        "$eeprom" list
    fi
}

# One CSV line, under the lock: serial numbers read from a device are kept
# to what a CSV field can hold without quoting.
append() {
    (
        flock 9
        [ -s "$log" ] || echo "time,port,old serial,new serial,CBUS,result" >"$log"
        printf '%s,%s,%s,%s,%s,%s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$device_port" \
            "$(printf '%s' "$old" | tr ',"\n' '???')" "$serial" "$cbus" "$1" >>"$log"
    ) 9>>"$lock"
}

fail() {
    append "failed: $1"
    say "FAILED: $1" >&2
    say "Run this script again with the device at port $device_port: it finishes $serial (no new number is taken)." >&2
    exit 1
}

mkdir -p "$dir" || exit 1

devices=$(listing) || refuse "cannot list the devices ($eeprom list)"
count=$(printf '%s' "$devices" | grep -c .)
if [ "$count" -eq 0 ]; then
    refuse "no FT232R device found${port:+ at port $port}"
fi
if [ "$count" -gt 1 ]; then
    refuse "$count FT232R devices attached (ports $(printf '%s\n' "$devices" | cut -f1 | paste -sd' ' -)): choose one with -P PORT"
fi
device_port=$(printf '%s\n' "$devices" | cut -f1)
old=$(printf '%s\n' "$devices" | cut -f2)
pending=$dir/pending-$device_port

# The number: the one an earlier failed run on this port took, or the next
# from the counter.
serial=$(
    (
        flock 9
        if [ -s "$pending" ]; then
            cat "$pending"
            exit 0
        fi
        if [ -n "$old" ] && [ -s "$log" ] &&
            awk -F, -v s="$old" '$4 == s && $6 == "ok" { found = 1 } END { exit !found }' "$log"; then
            refuse "the device at $device_port already holds $old, which the log records as programmed: not programming it again"
        fi
        number=1
        [ -s "$counter" ] && number=$(cat "$counter")
        case $number in '' | *[!0-9]*) refuse "$counter does not hold a number" ;; esac
        candidate=$(printf "%s%0${digits}d" "$prefix" "$number")
        if [ -s "$log" ] && awk -F, -v s="$candidate" '$4 == s { found = 1 } END { exit !found }' "$log"; then
            refuse "$candidate is already in $log: the counter $counter is behind; set it past the last number used"
        fi
        echo $((number + 1)) >"$counter.tmp" && mv "$counter.tmp" "$counter" &&
            echo "$candidate" >"$pending" || exit 1
        echo "$candidate"
    ) 9>>"$lock"
) || exit 1

say "Programming $serial into the device at $device_port (now ${old:-without a serial number})"
# shellcheck disable=SC2086 # the five CBUS codes are five words
if ! FTD2XX_DEVICE=$device_port "$varnolt" -s "$serial" ${cbus:+-c $cbus}; then
    # A device that lists no serial number may have a blank or broken EEPROM.
    [ -n "$old" ] || say "A blank or broken EEPROM is brought back with: $eeprom new FILE --serial $serial, then FTD2XX_DEVICE=$device_port $eeprom write FILE" >&2
    fail "varnolt -s $serial failed"
fi

# The device comes back from its port reset with the new serial number.
waited=0
until FTD2XX_DEVICE=$device_port "$eeprom" list 2>/dev/null | cut -f2 | grep -qx "$serial"; do
    [ "$waited" -lt "$wait_seconds" ] || fail "the device did not come back as $serial"
    sleep 1
    waited=$((waited + 1))
done

report=$(FTD2XX_DEVICE=$device_port "$varnolt" -r) || fail "varnolt -r failed"
printf '%s\n' "$report" | grep -qx "Serial Number : $serial" ||
    fail "varnolt -r does not show $serial"
if [ -n "$cbus" ]; then
    expected=$(for code in $cbus; do printf '%02x\n' "0x${code#0[xX]}"; done | paste -sd, - | sed 's/,/, /g')
    printf '%s\n' "$report" | grep -qx "CBUS0-4       : $expected" ||
        fail "varnolt -r does not show CBUS $expected"
fi

append ok
rm -f "$pending"
say "OK: $serial at port $device_port, checked with varnolt -r"
