#!/usr/bin/env bash
# The bash completion of vexsrv against the tool itself: every group's verbs
# and every verb's options are those the tool's help lists, and a few
# completions come out as a user would type them.
# Usage: completion_test.sh VEXSRV COMPLETION_FILE
set -uo pipefail
vexsrv=$1
# The completion's helper from bash-completion, reduced to what it needs.
_init_completion() {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
}
complete() { :; }
# shellcheck source=/dev/null
source "$2"
failures=0

complete_line() { # words of a command line, the last one being completed
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _vexsrv
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}
expect() { # expected, then the command line
    local want=$1
    shift
    local got
    got=$(complete_line "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$*' completes to '$got', expected '$want'"
        failures=$((failures + 1))
    fi
}

words_of() { # one line of sorted words, each followed by a blank
    tr -s ' \n' '\n\n' <<<"$1" | grep -v '^$' | sort | tr '\n' ' '
}

# The verbs and options the tool's own help lists.
for group in db task process order boot subsystem lock audit group snapshot; do
    from_tool=$("$vexsrv" help "$group" | awk '/^Subcommands:/{on=1; next} on && /^  [a-z]/{print $1}' | sort | tr '\n' ' ')
    from_completion=$(words_of "$(_vexsrv_verbs "$group")")
    if [ "$from_tool" != "$from_completion" ]; then
        echo "FAIL: verbs of $group: tool '$from_tool', completion '$from_completion'"
        failures=$((failures + 1))
    fi
    for verb in $(_vexsrv_verbs "$group"); do
        from_tool=$("$vexsrv" help "$group" "$verb" | grep -oE '^  (-h,)?--[a-z-]+' | sed 's/^ *//; s/^-h,//' |
            grep -v '^--help$' | sort | tr '\n' ' ')
        from_completion=$(words_of "$(_vexsrv_options "$group" "$verb")")
        if [ "$from_tool" != "$from_completion" ]; then
            echo "FAIL: options of $group $verb: tool '$from_tool', completion '$from_completion'"
            failures=$((failures + 1))
        fi
    done
done

expect "start status stop stop-external" vexsrv db st
expect "db discover" vexsrv --suffix _A d
expect "remove restart run" vexsrv --json task r
expect "--command-line" vexsrv task add pump --comm
expect "1 2 3 4 5" vexsrv task add pump --layout ""
expect "" vexsrv --node ""
expect "add list remove restart run start stop update" vexsrv help task ""
expect "--json" vexsrv db status --js

[ "$failures" -eq 0 ] && echo "completion matches the tool"
exit $((failures > 0))
