#!/bin/sh
# check-deb.sh BUILD_DIR VERSION: builds the Debian package from a built tree,
# checks what it holds and what it depends on, unpacks it into a temporary
# root and runs the installed varnolt from there.
set -eu
build=$1
version=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-deb: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
set -- "$work"/out/varnolt_"$version"_*.deb
[ -f "$1" ] || fail "no varnolt_${version}_*.deb in the cpack output"
deb=$1
echo "built $(basename "$deb")"

dpkg-deb -c "$deb" >"$work/contents"
cat "$work/contents"
for path in ./usr/bin/varnolt ./usr/lib/varnolt/libftd2xx.so \
    ./usr/lib/udev/rules.d/60-varnolt.rules ./usr/share/man/man1/varnolt.1.gz; do
    grep -q " $path\$" "$work/contents" || fail "missing $path"
done
# Test fixtures stay out: one D2XX library, and no emulator or image tool.
[ "$(grep -c 'libftd2xx' "$work/contents")" -eq 1 ] || fail "more than one libftd2xx.so"
! grep -qE 'emulator|ft232r-image' "$work/contents" || fail "a test fixture is packaged"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -qE '(^|, )libftdi1-2( |,|$)' || fail "no dependency on libftdi1-2"

# Unpacked as dpkg would install it, the tool runs from its installed path.
dpkg -x "$deb" "$work/root"
varnolt=$work/root/usr/bin/varnolt
readelf -d "$varnolt" | grep -q 'RUNPATH.*\[\$ORIGIN/\.\./lib/varnolt\]' ||
    fail "installed varnolt has no RUNPATH \$ORIGIN/../lib/varnolt"
status=0
env -u LD_LIBRARY_PATH "$varnolt" >"$work/out.txt" 2>"$work/err.txt" || status=$?
[ "$status" -eq 0 ] || fail "varnolt with no arguments exited $status"
[ ! -s "$work/out.txt" ] || fail "varnolt with no arguments wrote to standard output"
[ "$(cat "$work/err.txt")" = "Usage: varnolt <-r> <-s Serial_Number> <-c b1 b2 b3 b4>" ] ||
    fail "unexpected usage line: $(cat "$work/err.txt")"
echo "installed varnolt prints its usage line"

# The installed tool loads the installed library (nothing attached here):
# the loader's trace shows the library taken from the unpacked root.
status=0
env -u LD_LIBRARY_PATH LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/ld" "$varnolt" -r \
    >"$work/out.txt" 2>"$work/err.txt" || status=$?
grep -qs "calling init: $work/root/usr/bin/../lib/varnolt/libftd2xx.so" "$work"/ld.* ||
    fail "installed varnolt did not load the installed libftd2xx.so"
if [ "$(cat "$work/err.txt")" = "Error: may be not connected a beacon" ]; then
    [ "$status" -eq 255 ] || fail "no device: exit $status"
fi
echo "installed varnolt loads $(grep -ho 'calling init: .*libftd2xx.so' "$work"/ld.* | head -n1 |
    sed 's/calling init: //')"
echo "check-deb: ok"
