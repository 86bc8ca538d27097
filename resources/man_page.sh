#!/bin/sh
# Writes the manual page korvel-recorder.1 with help2man from the program's own
# --help texts: the overview from `korvel-recorder --help`, one section per
# command from `korvel-recorder COMMAND --help`, so the page never tells other
# than the program. The texts are laid out already; they go in verbatim.
# Usage: man_page.sh PROGRAM HELP2MAN OUTPUT
set -eu
program=$1
help2man=$2
output=$3
include=$output.h2m

# A block of text as roff that keeps its lines: backslashes and leading dots escaped.
verbatim() {
    printf '.nf\n'
    sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
    printf '.fi\n'
}

# The lines of one section ("SYNOPSIS", "DESCRIPTION", ...) of a --help text, without their indent.
section() {
    awk -v name="$1" '/^[A-Z][A-Z ]*$/ { inside = ($0 == name); next } inside' | sed 's/^    //'
}

overview=$("$program" --help)
name=$(printf '%s\n' "$overview" | section NAME | sed -n 's/^ *korvel-recorder - //p')
{
    printf '[SYNOPSIS]\n'
    printf '%s\n' "$overview" | section SYNOPSIS | verbatim
    printf '[=DESCRIPTION]\n'
    printf '%s\n' "$overview" | section DESCRIPTION | verbatim
    printf '[COMMANDS]\n'
    for command in $(printf '%s\n' "$overview" | section SYNOPSIS | sed -n 's/^korvel-recorder \([a-z]\+\) .*/\1/p'); do
        printf '.SS "korvel-recorder %s"\n' "$command"
        "$program" "$command" --help | verbatim
    done
    printf '[EXIT STATUS]\n'
    printf '%s\n' "$overview" | section 'EXIT STATUS' | verbatim
} > "$include"

"$help2man" --no-info --section 1 --name "$name" --include "$include" --output "$output" "$program"
