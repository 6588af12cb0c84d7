#!/usr/bin/env bash
# ensure-packages.sh PACKAGE...: installs the Debian packages that are
# missing when run as root; otherwise prints the apt-get line to run and
# fails.  Sourced by the other scripts.
ensure_packages() {
    local missing=()
    local package status
    for package in "$@"; do
        # A line per architecture the package is installed for; read whole,
        # as foreign_architecture says why.
        status=$(dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null) || true
        grep -qx "install ok installed" <<<"$status" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        # Without their recommended packages (clang alone would bring LLVM's
        # whole development kit), except those in WITH_RECOMMENDS.
        local plain=() recommended=()
        for package in "${missing[@]}"; do
            case " ${WITH_RECOMMENDS[*]} " in
            *" $package "*) recommended+=("$package") ;;
            *) plain+=("$package") ;;
            esac
        done
        apt_update
        # The two cross tests may install at the same time: the second waits
        # for dpkg's lock rather than fail.
        local install=(apt-get install -y -qq -o DPkg::Lock::Timeout=300)
        if [ ${#plain[@]} -gt 0 ]; then
            DEBIAN_FRONTEND=noninteractive "${install[@]}" --no-install-recommends \
                "${plain[@]}" >/dev/null || return 1
        fi
        if [ ${#recommended[@]} -gt 0 ]; then
            DEBIAN_FRONTEND=noninteractive "${install[@]}" "${recommended[@]}" >/dev/null ||
                return 1
        fi
    else
        echo "Missing Debian packages. Run:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

# Installed with what they recommend: 32-bit Wine (not tried here without
# them: this kind of machine runs no 32-bit code), and the benchmark's plots,
# which need matplotlib's image backends.  64-bit Wine runs the console
# tests with the wine wrapper alone, named in WINDOWS_PACKAGES: its other
# recommends (fonts, sound, graphics: over 300 packages) cost two minutes.
WITH_RECOMMENDS=(wine32:i386 python3-matplotlib)

# apt_update: apt-get update, once for each set of architectures in one run
# of the scripts (VARNOLT_APT_UPDATED, exported to the scripts it starts).
# A mirror in the middle of a sync answers an index wrong now and then ("File
# has unexpected size"): asked again a little later.  An index still missing
# after that shows as a package the install cannot find, or, for a foreign
# architecture, as versions that cannot go beside the build machine's
# (archive_incomplete).
apt_update() {
    local native foreign architectures tries arch
    native=$(dpkg --print-architecture)
    foreign=$(dpkg --print-foreign-architectures)
    architectures="$native $(tr '\n' ' ' <<<"$foreign")"
    [ "${VARNOLT_APT_UPDATED:-}" = "$architectures" ] && return 0
    export VARNOLT_APT_UPDATED=$architectures
    for tries in 1 2 3; do
        apt-get update -qq && return 0
        [ "$tries" -eq 3 ] || sleep 15
    done
    # apt keeps none of a repository's new indexes when one of them fails:
    # each foreign architecture asked for again on its own, beside this
    # machine's, keeps those that come whole (a failed update keeps the old
    # ones), and the whole list once more, where it now comes.
    for arch in $foreign; do
        apt-get update -qq -o APT::Architectures::="$native" -o APT::Architectures::="$arch" \
            >/dev/null 2>&1 || true
    done
    apt-get update -qq >/dev/null 2>&1 || true
}

# archive_incomplete ARCH: whether the last apt-get update went without an
# index of ARCH that it has for this machine's architecture.  A foreign
# architecture's libraries must then be of another version than the build
# machine's (Multi-Arch: same, the security updates missing): nothing of
# ARCH can be installed until the mirror answers whole again.
archive_incomplete() {
    local native list
    native=$(dpkg --print-architecture)
    for list in /var/lib/apt/lists/*_binary-"$native"_Packages*; do
        [ -e "$list" ] || continue
        [ -e "${list/_binary-${native}_/_binary-${1}_}" ] || return 0
    done
    return 1
}

# foreign_architecture ARCH: whether dpkg knows ARCH as a foreign architecture.
# Its list is read whole, not piped into grep -q: under pipefail, grep leaving
# at the first match fails dpkg with SIGPIPE now and then (it writes a line at
# a time), and the architecture was then added again, racing the other cross
# test's dpkg on /var/lib/dpkg/arch.
foreign_architecture() {
    local foreign
    foreign=$(dpkg --print-foreign-architectures)
    grep -qx "$1" <<<"$foreign"
}

# ensure_architectures ARCH...: Debian architectures whose packages the
# cross tests install (multiarch); added when missing, as root.
ensure_architectures() {
    local arch
    for arch in "$@"; do
        foreign_architecture "$arch" && continue
        if [ "$(id -u)" -ne 0 ]; then
            echo "Run: sudo dpkg --add-architecture $arch" >&2
            return 1
        fi
        dpkg --add-architecture "$arch"
    done
}

# The packages every build needs.
BASE_PACKAGES=(cmake make g++ libgtest-dev)
# The libftdi1-backed D2XX library and the Debian package (dpkg-shlibdeps).
BASE_PACKAGES+=(pkg-config libftdi1-dev libusb-1.0-0-dev dpkg-dev)
# The USB kernel tier: FT232R chips emulated under the real libusb and libftdi1.
BASE_PACKAGES+=(umockdev libumockdev-dev)
# The production station's ledger: its SQLite and PostgreSQL client
# libraries, and the PostgreSQL server its tests start and stop (binaries in
# /usr/lib/postgresql/<version>/bin).
BASE_PACKAGES+=(libsqlite3-dev libpq-dev postgresql)
# The Windows cross builds (MinGW-w64), and wine64 with its wrapper to run
# their tests.
# shellcheck disable=SC2034 # for the scripts that source this one
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine)
# The Debian package test: dpkg-buildpackage with debhelper (which checks
# for build-essential, and runs as fakeroot for a user other than root),
# lintian on the result; bash-completion, which loads the packaged
# completion.
DEB_PACKAGES=(build-essential fakeroot debhelper lintian bash-completion)
# The libFuzzer targets: clang-14's libFuzzer and sanitizer runtimes come in
# libclang-rt-14-dev, which clang only recommends.
# shellcheck disable=SC2034 # for the scripts that source this one
FUZZ_PACKAGES=(cmake make clang libclang-rt-14-dev)

# cross_triple ARCH: the GNU triple of a Debian ARM architecture.
cross_triple() {
    case $1 in
    arm64) echo aarch64-linux-gnu ;;
    armhf) echo arm-linux-gnueabihf ;;
    *) echo "unknown architecture: $1 (arm64 or armhf)" >&2; return 2 ;;
    esac
}

# cross_packages ARCH: what scripts/cross-test.sh ARCH installs.  The cross
# compiler (building against the C library and C++ runtime in
# /usr/<triple>), qemu-user, and through multiarch the target's GoogleTest
# and the runtime the programs run on under qemu: the C++ runtime and the
# libftdi1 (with libusb and the C library) that the libftdi1 layer loads;
# for the package, debhelper and lintian, and the target's pkgconf, whose
# <triple>-pkg-config dh_auto_configure names in a cross build; and the
# station's database clients (libsqlite3, libpq), whose own dependencies
# the linker must find for the target too.
cross_packages() {
    local triple
    triple=$(cross_triple "$1") || return
    echo "${BASE_PACKAGES[@]}" "${DEB_PACKAGES[@]}" "g++-$triple" qemu-user \
        "libgtest-dev:$1" "libstdc++6:$1" "libftdi1-2:$1" "pkgconf:$1" "libsqlite3-0:$1" "libpq5:$1"
}

# ensure_wine32: 32-bit Wine (Debian's wine32, from the i386 architecture),
# which runs the shipped 32-bit varnolt.exe.  Call it only where
# tests/windows/probe-i386.sh says 32-bit code runs.
# Where the archive gives no whole i386 index, wine32 is left out and says
# so: its tests then report themselves skipped, with the reason.
ensure_wine32() {
    if ! foreign_architecture i386; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "Missing 32-bit Wine. Run:" >&2
            echo "  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y wine32:i386" >&2
            return 1
        fi
        dpkg --add-architecture i386
    fi
    ensure_packages wine32:i386 && return 0
    archive_incomplete i386 || return 1
    echo "ensure-packages: the package archive gave no whole i386 index (a mirror in the" \
        "middle of a sync): wine32:i386 left out, the 32-bit Wine tests will be skipped" >&2
}
