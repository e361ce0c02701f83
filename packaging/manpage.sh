#!/bin/sh
# Writes a program's manual page from its --help, so the two cannot drift
# apart: packaging/manpage.sh PROGRAM VERSION OUTPUT SUMMARY
set -eu
program=$1
version=$2
output=$3
summary=$4
name=$(basename "$program")
help=$("$program" --help)
# Roff escapes: backslashes, hyphens, and lines that would read as requests.
roff() {
    sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}
# The usage line's arguments after the program, "[options]" in italics.
synopsis=$(printf '%s\n' "$help" | head -1 | sed 's/^Usage: [^ ]* *//' | roff | sed 's/\[options\]/[\\fIoptions\\fR]/')
{
    printf '.TH %s 1 "" "orbisto %s" "User Commands"\n' "$(echo "$name" | tr '[:lower:]' '[:upper:]')" "$version"
    printf '.SH NAME\n%s \\- %s\n' "$(echo "$name" | roff)" "$summary"
    printf '.SH SYNOPSIS\n.B %s\n%s\n.SH DESCRIPTION\n' "$(echo "$name" | roff)" "$synopsis"
    printf '%s\n' "$help" | roff | awk '
        NR == 1 { next }                                  # the usage line, a synopsis above
        /^Options:$/ { print ".SH OPTIONS"; options = 1; next }
        /^Arguments:$/ { print ".SH ARGUMENTS"; arguments = 1; next }
        # "  NAME   Help..." names an argument.
        arguments && /^  [^ ]/ {
            line = $0; sub(/^  /, "", line)
            split(line, parts, /   +/)
            print ".TP"; print ".B " parts[1]; print parts[2]; next
        }
        !options && /^$/ { print ".PP"; next }
        !options && /^  / { print ".nf"; print; print ".fi"; next }
        !options { print; next }
        # "  --name <VALUE>   Help..." starts an option; deeper lines continue it.
        /^  \\-/ {
            line = $0; sub(/^  /, "", line)
            split(line, parts, /  +/)
            print ".TP"; print ".B " parts[1]
            text = line; sub(/^[^ ]+( <[^>]*>)?( *, [^ ]+)? +/, "", text)
            if (parts[1] ~ /, /) { text = line; sub(/^.*, [^ ]+ +/, "", text) }
            print text; next
        }
        { sub(/^ +/, ""); print }
    '
} >"$output"
