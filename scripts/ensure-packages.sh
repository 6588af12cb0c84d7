#!/usr/bin/env bash
# ensure-packages.sh PACKAGE...: installs the Debian packages that are
# missing when run as root; otherwise prints the apt-get line to run and
# fails.  Sourced by the other scripts.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        # With their recommended packages: wine64 runs console programs
        # reliably only with what it recommends (the wine wrapper, fonts, ...).
        apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "Missing Debian packages. Run:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
}

# The packages every build needs.
BASE_PACKAGES=(cmake make g++ libgtest-dev)
# The libftdi1-backed D2XX library and the Debian package (dpkg-shlibdeps).
BASE_PACKAGES+=(pkg-config libftdi1-dev libusb-1.0-0-dev dpkg-dev)
# The USB kernel tier: FT232R chips emulated under the real libusb and libftdi1.
BASE_PACKAGES+=(umockdev libumockdev-dev)
# The Windows cross builds (MinGW-w64) and wine64 to run their tests.
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64)
# The Debian package test: dpkg-buildpackage with debhelper, lintian on the
# result; bash-completion, which loads the packaged completion.
DEB_PACKAGES=(debhelper lintian bash-completion)

# ensure_wine32: 32-bit Wine (Debian's wine32, from the i386 architecture),
# which runs the shipped 32-bit varnolt.exe.  Call it only where
# tests/windows/probe-i386.sh says 32-bit code runs.
ensure_wine32() {
    if dpkg --print-foreign-architectures | grep -qx i386; then
        ensure_packages wine32:i386
    elif [ "$(id -u)" -eq 0 ]; then
        dpkg --add-architecture i386 && ensure_packages wine32:i386
    else
        echo "Missing 32-bit Wine. Run:" >&2
        echo "  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y wine32:i386" >&2
        return 1
    fi
}
