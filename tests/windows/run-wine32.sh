#!/bin/sh
# run-wine32.sh E2E_TESTS FILTER: runs end-to-end cases against the shipped
# 32-bit varnolt.exe under 32-bit Wine (VARNOLT_E2E_WINDOWS_EXE and _DLL are
# set by the test list).  Reports skipped (exit 77), with the reason, where
# this machine cannot execute 32-bit code or Debian's wine32 is missing.
set -u
here=$(dirname "$0")
reason=$(sh "$here/probe-i386.sh") || { echo "SKIPPED: $reason"; exit 77; }
# Debian's wine32 puts its 32-bit loader beside wine64's.
loader=/usr/lib/wine/wine
[ -x "$loader" ] || {
    echo "SKIPPED: no 32-bit Wine loader (Debian: dpkg --add-architecture i386; apt-get install wine32:i386)"
    exit 77
}
VARNOLT_E2E_WINE=$loader exec "$1" --gtest_filter="$2"
