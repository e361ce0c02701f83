#!/bin/sh
# Checks what the plug-in offers a host against tests/surface/plugin-exports.txt:
# the entry function and the contract class, nothing of the standard library,
# of Qt or of the controller, and the same list whichever Qt it was built on.
# A plug-in is a module, without a soname, since nothing links against it.
# Apple's linker gets its own list of what to export, which no build here
# links with: it must name, with Mach-O's leading underscore, each symbol
# exported here, and nothing that is not.
#   check_exports.sh PLUGIN EXPECTED_LIST MACOS_EXPORTS_LIST
set -eu
plugin=$1
expected=$2
macos=$3
# What a symbol is, code or data, matters to a host; whether the compiler made
# it weak does not: GCC emits the contract's vtable and typeinfo as weak
# objects (V), Clang as ordinary data (D, R).
actual=$(nm -D --defined-only "$plugin" | cut -d' ' -f2- | c++filt |
    sed 's/^[BDRVG] /object /; s/^[TWi] /function /' | LC_ALL=C sort)
if [ "$actual" != "$(cat "$expected")" ]; then
    echo "$plugin exports other symbols than $expected lists (< expected, > exported):"
    echo "$actual" | diff "$expected" - || true
    exit 1
fi
if readelf -d "$plugin" | grep -q SONAME; then
    echo "$plugin has a soname; a plug-in is a module"; exit 1
fi
# The patterns are for the linker, not for the shell to expand.
set -f
patterns=$(grep -v '^#' "$macos" | grep -v '^$')
for symbol in $(nm -D --defined-only "$plugin" | cut -d' ' -f3); do
    covered=0
    for pattern in $patterns; do
        # shellcheck disable=SC2254
        case "_$symbol" in $pattern) covered=1 ;; esac
    done
    [ "$covered" = 1 ] || { echo "$macos does not export _$symbol"; exit 1; }
done
for pattern in $patterns; do
    used=0
    for symbol in $(nm -D --defined-only "$plugin" | cut -d' ' -f3); do
        # shellcheck disable=SC2254
        case "_$symbol" in $pattern) used=1 ;; esac
    done
    [ "$used" = 1 ] || { echo "$macos exports $pattern, which the plug-in does not export here"; exit 1; }
done
echo "exports ok: $(echo "$actual" | wc -l) symbols, and the macOS list names the same"
