#!/usr/bin/env bash
# lint.sh: the habits the tree keeps, checked (scripts/test.sh runs it
# first): every C and C++ source laid out as .clang-format says, and every
# shell script clean under shellcheck (sources followed).  Prints what
# differs; exits 1 when anything does.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-packages.sh
ensure_packages clang-format shellcheck

# The tracked files (the working tree's, in a checkout without git).
files() {
    if git rev-parse --git-dir >/dev/null 2>&1; then
        git ls-files "$@"
    else
        local pattern args=()
        for pattern in "$@"; do args+=(-o -path "./$pattern"); done
        find . -type f \( -false "${args[@]}" \) -printf '%P\n'
    fi
}

status=0
mapfile -t sources < <(files '*.c' '*.cpp' '*.h' '*.hpp')
clang-format --dry-run -Werror "${sources[@]}" || status=1
mapfile -t scripts < <(files '*.sh' '*.sh.in' '*.bash-completion' .ci/run 'debian/*.postinst' \
    'debian/*.postrm')
shellcheck -x "${scripts[@]}" || status=1
if [ "$status" -eq 0 ]; then
    echo "lint.sh: ${#sources[@]} C/C++ sources formatted, ${#scripts[@]} shell scripts clean"
fi
exit "$status"
