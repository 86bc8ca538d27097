#!/bin/bash
# The command line's packaging follows the program: the bash completion offers
# every command and, per command, exactly the options its --help lists, and the
# manual page holds a section for every command with each of its options.
# Usage: check_command_packaging.sh PROGRAM COMPLETION [MANPAGE]
set -u
program=$1
completion=$2
manpage=${3-}
status=0
complain() {
    echo "$*" >&2
    status=1
}

# What the completion offers with the words typed so far (the last one being completed).
offers() {
    COMP_WORDS=(korvel-recorder "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _korvel_recorder
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

source "$completion"
commands=$("$program" --help | sed -n 's/^    korvel-recorder \([a-z]\+\) .*/\1/p' | sort -u)
[ -n "$commands" ] || complain "no commands in $program --help"
for command in $commands; do
    offers '' | grep -qx "$command" || complain "completion does not offer the command $command"
    listed=$( (echo --help; "$program" "$command" --help | sed -n '/^OPTIONS/,/^[A-Z]/p' | grep -E '^ +--' |
        grep -oE -- '--[a-z][a-z-]*') | sort -u)
    offered=$(offers "$command" -- | grep -- '^--')
    [ "$listed" = "$offered" ] || complain "$command: --help lists" $listed "but the completion offers" $offered
    if [ -n "$manpage" ]; then
        grep -q "^\.SS \"korvel-recorder $command\"" "$manpage" || complain "$manpage has no section for $command"
        for option in $listed; do
            grep -q -- "$option" "$manpage" || complain "$manpage does not name $command $option"
        done
    fi
done
[ "$(offers play --pace '')" = "$(printf 'every\nfirst-two')" ] || complain "play --pace does not offer its values"
exit $status
