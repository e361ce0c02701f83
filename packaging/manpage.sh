#!/bin/sh
# Writes the manual page of orbisto-host from its --help, so the two cannot
# drift apart: packaging/manpage.sh HOST VERSION OUTPUT
set -eu
host=$1
version=$2
output=$3
help=$("$host" --help)
{
    printf '.TH ORBISTO-HOST 1 "" "orbisto %s" "User Commands"\n' "$version"
    printf '.SH NAME\norbisto\\-host \\- reference host for the Orbisto turntable plug-in\n'
    printf '.SH SYNOPSIS\n.B orbisto\\-host\n[\\fIoptions\\fR]\n.SH DESCRIPTION\n'
    # Roff escapes first: backslashes, hyphens, and lines that would read as requests.
    printf '%s\n' "$help" | sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" | awk '
        NR == 1 { next }                                  # the usage line, a synopsis above
        /^Options:$/ { print ".SH OPTIONS"; options = 1; next }
        !options && /^$/ { print ".PP"; next }
        !options && /^  / { print ".nf"; print; print ".fi"; next }
        !options { print; next }
        # "  --name <VALUE>   Help..." starts an option; deeper lines continue it.
        /^  \\-/ {
            line = $0; sub(/^  /, "", line)
            split(line, parts, /   +/)
            print ".TP"; print ".B " parts[1]
            text = line; sub(/^[^ ]+( <[^>]*>)?( *, [^ ]+)? +/, "", text)
            if (parts[1] ~ /, /) { text = line; sub(/^.*, [^ ]+ +/, "", text) }
            print text; next
        }
        { sub(/^ +/, ""); print }
    '
} >"$output"
