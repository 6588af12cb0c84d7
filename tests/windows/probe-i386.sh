#!/bin/sh
# probe-i386.sh: exits 0 when this machine can execute 32-bit x86 programs
# (what 32-bit Wine needs), 1 with the reason on standard output otherwise.
# probe-i386.sh E2E_TESTS FILTER: then runs those end-to-end cases against
# the shipped 32-bit varnolt.exe under 32-bit Wine (VARNOLT_E2E_WINDOWS_EXE
# and _DLL are set by the test list), or reports them skipped (exit 77),
# with the reason, where the probe fails or Debian's wine32 is missing.
# The probe is a 96-byte i386 ELF program written out here byte by byte, so
# no compiler or 32-bit library is needed: it only calls exit(42) through
# int 0x80.  A kernel without IA32 emulation refuses it ("Exec format
# error"), and so does a machine of another architecture without binfmt.
set -u
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
# ELF header (52 bytes): 32-bit, little-endian, ET_EXEC, EM_386, entry
# 0x08048054 (just after the headers), program headers at offset 52.
# Program header (32 bytes): PT_LOAD of the whole file at 0x08048000, R+X.
# Code (12 bytes): mov ebx, 42; mov eax, 1 (exit); int 0x80.
{
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'
    printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'
    printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'
    printf '\000\000\000\000'
    printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'
    printf '\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'
    printf '\273\052\000\000\000\270\001\000\000\000\315\200'
} >"$dir/probe"
chmod +x "$dir/probe"
status=0
"$dir/probe" 2>"$dir/err" || status=$?
if [ "$status" -ne 42 ]; then
    reason="this machine cannot execute 32-bit x86 programs (a 32-bit probe gave status $status: $(head -c 200 "$dir/err" | tr '\n' ' '))"
    [ $# -eq 0 ] && { echo "$reason"; exit 1; }
    echo "SKIPPED: $reason"
    exit 77
fi
[ $# -eq 0 ] && exit 0
# Debian's wine32 puts its 32-bit loader beside wine64's.
loader=/usr/lib/wine/wine
[ -x "$loader" ] || {
    echo "SKIPPED: no 32-bit Wine loader (Debian: dpkg --add-architecture i386; apt-get install wine32:i386)"
    exit 77
}
# Not exec: the trap removes the probe's folder when the cases end.
VARNOLT_E2E_WINE=$loader "$1" --gtest_filter="$2"
