#!/bin/sh
# check-completion.sh COMPLETION_FILE: sources varnolt's bash completion in
# bash and checks what it offers at each position of a command line, as an
# interactive bash would ask for it on TAB (COMP_WORDS, COMP_CWORD).
set -eu
command -v bash >/dev/null 2>&1 || { echo "SKIPPED: no bash"; exit 77; }
exec bash -c '
. "$1" || exit 1
status=0
# expect "WORDS BEFORE THE CURSOR|CURRENT WORD" "EXPECTED CANDIDATES"
expect() {
    read -r -a COMP_WORDS <<<"varnolt ${1%|*}"
    COMP_WORDS+=("${1#*|}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _varnolt varnolt "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    if [ "${COMPREPLY[*]}" != "$2" ]; then
        echo "varnolt ${1%|*} ${1#*|}<TAB>: got \"${COMPREPLY[*]}\", expected \"$2\""
        status=1
    fi
}
codes="00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d"
cbus4="00 01 02 03 04 05 06 07 08 09"
expect "|" "-r -s -c"
expect "|-" "-r -s -c"
expect "|-s" "-s"
expect "|-S" "-S"
expect "|-C" "-C"
expect "-r|" "-r -s -c"
expect "-s|" ""
expect "-s|V" ""
expect "-S -r|" "-r -s -c"
expect "-s -c|" "-r -s -c"
expect "-c|" "$codes"
expect "-C 03|" "$codes"
expect "-c 03 02|0" "$codes"
expect "-c 03 02 00|" "$codes"
expect "-c 03 02 00 01|" "$cbus4"
expect "-c 03 02 00 01|0" "$cbus4"
expect "-c 03 02 00 01|0a" ""
expect "-c 03 02 00 01 05|" "-r -s -c"
expect "-s -c -c|" "$codes"
expect "-r -s VN1 -c 3 2 0 1 5 -R|-" "-r -s -c"
complete -p varnolt | grep -q -- "-F _varnolt varnolt" || { echo "not registered for varnolt"; status=1; }
[ $status -eq 0 ] && echo "check-completion: ok"
exit $status
' check-completion "$1"
