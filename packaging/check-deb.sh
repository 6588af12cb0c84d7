#!/bin/sh
# check-deb.sh SOURCE_DIR BUILD_DIR VERSION [ARCH]: builds the Debian package
# the way Debian builds it (dpkg-buildpackage with debian/ and debhelper)
# from a copy of the sources in BUILD_DIR/deb (unless the .deb there was built
# from the same inputs), runs lintian on it (any error or warning fails),
# checks what it holds and what it depends on, unpacks it into a temporary
# root and runs the installed varnolt from there.
# ARCH (a Debian architecture, default this machine's) other than this
# machine's makes it a cross build (dpkg-buildpackage -a ARCH); the target's
# libftdi1-dev is then either installed through multiarch or unpacked in the
# folder VARNOLT_CROSS_DEV_ROOT names (debian/rules configures through the
# project's toolchain file, as the cross build does), and the installed
# tool runs under qemu-user.  Every architecture's package holds the same
# paths.  Exits 77 (skipped) when a tool it needs is not installed.
set -eu
src=$1
build=$2
version=$3
native=$(dpkg --print-architecture)
arch=${4:-$native}

fail() {
    echo "check-deb: $*" >&2
    exit 1
}
for tool in dpkg-buildpackage dh lintian; do
    command -v "$tool" >/dev/null 2>&1 ||
        { echo "SKIPPED: no $tool (Debian: dpkg-dev, debhelper, lintian)"; exit 77; }
done
# The ELF machine of the packaged programs (readelf -h), and the qemu-user
# that runs them here.
case $arch in
amd64) machine='Advanced Micro Devices X86-64' qemu= ;;
arm64) machine=AArch64 qemu=qemu-aarch64 ;;
armhf) machine=ARM qemu=qemu-arm ;;
*) fail "no ELF machine known for $arch" ;;
esac
set --
if [ "$arch" != "$native" ]; then
    triple=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    command -v "$triple-g++" >/dev/null 2>&1 ||
        { echo "SKIPPED: no $triple-g++ (Debian: g++-$triple)"; exit 77; }
    # dh_auto_configure names the target's pkg-config in a cross build.
    command -v "$triple-pkg-config" >/dev/null 2>&1 ||
        { echo "SKIPPED: no $triple-pkg-config (Debian: pkgconf:$arch)"; exit 77; }
    set -- -a "$arch"
    # An unpacked libftdi1-dev is invisible to dpkg's build-dependency check.
    [ -z "${VARNOLT_CROSS_DEV_ROOT:-}" ] || set -- "$@" -d
else
    qemu=
fi

# dpkg-buildpackage writes beside the source folder (../*.deb) and into
# debian/: it builds from a copy of the tree, without git metadata or build
# trees (any folder holding a CMakeCache.txt, wherever BUILD_DIR points).
# Built once per architecture and input: while the sources, the installed
# packages (compilers, libraries, debhelper) and the target's unpacked
# libraries stay those of the last build, that build's .deb is checked again.
work=$build/deb
# A build tree at the top would take the whole source folder with it.
[ ! -f "$src/CMakeCache.txt" ] ||
    fail "$src holds a build tree (CMakeCache.txt): build the package test in another folder"
source_tree() {
    tar -C "$src" --exclude=./.git --exclude='./build*' --exclude='./obj-*' \
        --exclude-tag-all=CMakeCache.txt "$@" -cf - .
}
key=$({
    source_tree --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner
    echo "$arch $*"
    dpkg-query -W
    [ -z "${VARNOLT_CROSS_DEV_ROOT:-}" ] || cat "$VARNOLT_CROSS_DEV_ROOT/.packages"
} | sha256sum)
deb=$work/varnolt_${version}_$arch.deb
if [ -f "$deb" ] && [ "$(cat "$work/input" 2>/dev/null)" = "$key" ]; then
    echo "$(basename "$deb") is up to date: same sources and packages as its build"
else
    rm -rf "$work"
    mkdir -p "$work/varnolt-$version"
    source_tree | tar -C "$work/varnolt-$version" -xf -
    # The package's own test run is skipped: this suite is that run.
    (cd "$work/varnolt-$version" &&
        DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage "$@" -us -uc -b -Pnocheck) \
        >"$work/build.log" 2>&1 ||
        { tail -n 40 "$work/build.log" >&2; fail "dpkg-buildpackage failed"; }
    [ -f "$deb" ] || fail "no $(basename "$deb") from dpkg-buildpackage"
    printf '%s\n' "$key" >"$work/input"
    echo "built $(basename "$deb")"
fi
# What the checks below write, from a clean start.
rm -rf "$work/root" "$work/control" "$work"/ld.*
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture is not $arch"

# Every tag is shown, informational ones too; an error or a warning fails.
status=0
lintian --fail-on error,warning --info --display-info "$deb" >"$work/lintian.txt" 2>&1 ||
    status=$?
cat "$work/lintian.txt"
if [ "$status" -ne 0 ] || grep -q '^[EW]: ' "$work/lintian.txt"; then
    fail "lintian reports errors or warnings (exit $status)"
fi
echo "lintian: no error, no warning"

# Exactly these files and their folders, on every architecture: test
# fixtures (the emulator, the image tool) stay out.
dpkg-deb -c "$deb" >"$work/contents"
cat "$work/contents"
printf '%s\n' ./usr/bin/varnolt ./usr/lib/varnolt/libftd2xx.so \
    ./usr/lib/udev/rules.d/60-varnolt.rules ./usr/share/man/man1/varnolt.1.gz \
    ./usr/share/bash-completion/completions/varnolt ./usr/share/doc/varnolt/copyright \
    ./usr/share/doc/varnolt/changelog.gz ./usr/bin/varnolt-eeprom \
    ./usr/share/man/man1/varnolt-eeprom.1.gz \
    ./usr/share/bash-completion/completions/varnolt-eeprom ./usr/bin/varnolt-station \
    ./usr/share/man/man1/varnolt-station.1.gz \
    ./usr/share/bash-completion/completions/varnolt-station |
    awk -F/ '{ p = ""; for (i = 1; i < NF; i++) { p = p $i "/"; print p } print }' |
    sort -u >"$work/paths.expected"
awk '{ print $6 }' "$work/contents" | sort >"$work/paths"
diff -u "$work/paths.expected" "$work/paths" >&2 || fail "unexpected package contents"

# Versioned through dpkg-shlibdeps, from the target's own libraries.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libftdi1-2 libstdc++6 libsqlite3-0 libpq5; do
    case ", $depends," in
    *", $package (>= "*) ;;
    *) fail "no versioned dependency on $package" ;;
    esac
done

dpkg-deb -e "$deb" "$work/control"
grep -q 'udevadm trigger' "$work/control/postinst" || fail "postinst does not trigger udev"

# Unpacked as dpkg would install it, the tool runs from its installed path.
dpkg -x "$deb" "$work/root"
grep -q 'TAG+="uaccess"' "$work/root/usr/lib/udev/rules.d/60-varnolt.rules" ||
    fail "the udev rule gives no seat access"
grep -q 'ATTRS{bcdDevice}=="0600"' "$work/root/usr/lib/udev/rules.d/60-varnolt.rules" ||
    fail "the udev rule does not cover FT232R chips under other product IDs"
varnolt=$work/root/usr/bin/varnolt
# Built for ARCH, stripped, hardened (full RELRO), and on the shared C++ runtime.
for elf in "$varnolt" "$work/root/usr/lib/varnolt/libftd2xx.so" "$work/root/usr/bin/varnolt-eeprom" \
    "$work/root/usr/bin/varnolt-station"; do
    readelf -h "$elf" | grep -Eq "^ *Machine: *$machine\$" || fail "$elf is not built for $arch"
    ! readelf -S "$elf" | grep -q '\.symtab' || fail "$elf is not stripped"
    readelf -d "$elf" | grep -q 'NEEDED.*\[libstdc++\.so\.6\]' ||
        fail "$elf does not load the shared C++ runtime"
    readelf -d "$elf" | grep -q 'FLAGS.*BIND_NOW' || fail "$elf is not linked with -z now"
    readelf -l "$elf" | grep -q 'GNU_RELRO' || fail "$elf has no RELRO segment"
done
# shellcheck disable=SC2016 # $ORIGIN is the loader's, not the shell's
readelf -d "$varnolt" | grep -q 'RUNPATH.*\[\$ORIGIN/\.\./lib/varnolt\]' ||
    fail "installed varnolt has no RUNPATH \$ORIGIN/../lib/varnolt"
# A foreign architecture's tool runs under qemu-user, on the target's
# multiarch libraries (-L / as in cmake/toolchains/linux-cross-common.cmake).
if [ -n "$qemu" ] && ! command -v "$qemu" >/dev/null 2>&1; then
    echo "not run: no $qemu (Debian: qemu-user)"
    echo "check-deb: ok"
    exit 0
fi
status=0
env -u LD_LIBRARY_PATH ${qemu:+"$qemu" -L /} "$varnolt" >"$work/out.txt" 2>"$work/err.txt" ||
    status=$?
[ "$status" -eq 0 ] || fail "varnolt with no arguments exited $status"
[ ! -s "$work/out.txt" ] || fail "varnolt with no arguments wrote to standard output"
[ "$(cat "$work/err.txt")" = "Usage: varnolt <-r> <-s Serial_Number> <-c b1 b2 b3 b4>" ] ||
    fail "unexpected usage line: $(cat "$work/err.txt")"
echo "installed varnolt prints its usage line"
# The other programs: PROGRAM, then a line of their usage (exit 2).
for usage in 'varnolt-eeprom ^usage: varnolt-eeprom list$' \
    'varnolt-station ^varnolt-station: usage: varnolt-station '; do
    program=${usage%% *}
    status=0
    env -u LD_LIBRARY_PATH ${qemu:+"$qemu" -L /} "$work/root/usr/bin/$program" \
        >"$work/out.txt" 2>"$work/err.txt" || status=$?
    if [ "$status" -ne 2 ] || ! grep -q "${usage#* }" "$work/err.txt"; then
        fail "$program with no arguments: exit $status, $(cat "$work/err.txt")"
    fi
    echo "installed $program prints its usage"
done

# The installed tool loads the installed library (nothing attached here):
# the loader's trace shows the library taken from the unpacked root.
# Under qemu, QEMU_SET_ENV gives the variables to the guest's loader only.
status=0
if [ -n "$qemu" ]; then
    QEMU_SET_ENV="LD_DEBUG=libs,LD_DEBUG_OUTPUT=$work/ld" \
        env -u LD_LIBRARY_PATH "$qemu" -L / "$varnolt" -r >"$work/out.txt" 2>"$work/err.txt" ||
        status=$?
else
    env -u LD_LIBRARY_PATH LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/ld" "$varnolt" -r \
        >"$work/out.txt" 2>"$work/err.txt" || status=$?
fi
grep -qs "calling init: $work/root/usr/bin/../lib/varnolt/libftd2xx.so" "$work"/ld.* ||
    fail "installed varnolt did not load the installed libftd2xx.so"
if [ "$(cat "$work/err.txt")" = "Error: may be not connected a beacon" ]; then
    [ "$status" -eq 255 ] || fail "no device: exit $status"
fi
echo "installed varnolt loads $(grep -ho 'calling init: .*libftd2xx.so' "$work"/ld.* | head -n1 |
    sed 's/calling init: //')"
echo "check-deb: ok"
