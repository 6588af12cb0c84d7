#!/bin/sh
# on_emulator.sh VARNOLT EMULATOR_DIR IMAGE_TOOL: runs the hardware tier's
# steps against an emulated FT232R, so that the script is exercised on
# every run of the suite, and checks that the device ends as it began.
set -eu
varnolt=$1
emulator=$2
image_tool=$3
here=$(dirname "$0")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$image_tool" new "$work/device.bin" --serial A1B2C3D4 >/dev/null
cp "$work/device.bin" "$work/before.bin"

export LD_LIBRARY_PATH="$emulator" FT232R_EMULATOR_DEVICES="$work/device.bin"
export VARNOLT_HARDWARE_TEST=1
unset VARNOLT_HARDWARE_CBUS
for step in read change-verify-restore; do
    sh "$here/hardware_test.sh" "$step" "$varnolt"
done
cmp "$work/before.bin" "$work/device.bin"

# A write the device does not keep: the step fails, and the old values are
# written back all the same.
status=0
FT232R_EMULATOR_FAULT=clone sh "$here/hardware_test.sh" change-verify-restore "$varnolt" ||
    status=$?
[ "$status" -eq 1 ] || { echo "a failed change exited $status" >&2; exit 1; }
cmp "$work/before.bin" "$work/device.bin"
echo "ok: hardware steps on the emulator"
