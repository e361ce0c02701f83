#!/bin/sh
# Checks what the plug-in offers a host against tests/surface/plugin-exports.txt:
# the entry function and the contract class, nothing of the standard library,
# of Qt or of the controller, and the same list whichever Qt it was built on.
# A plug-in is a module, without a soname, since nothing links against it.
#   check_exports.sh PLUGIN EXPECTED_LIST
set -eu
plugin=$1
expected=$2
actual=$(nm -D --defined-only "$plugin" | cut -d' ' -f2- | c++filt | LC_ALL=C sort)
if [ "$actual" != "$(cat "$expected")" ]; then
    echo "$plugin exports other symbols than $expected lists (< expected, > exported):"
    echo "$actual" | diff "$expected" - || true
    exit 1
fi
if readelf -d "$plugin" | grep -q SONAME; then
    echo "$plugin has a soname; a plug-in is a module"; exit 1
fi
echo "exports ok: $(echo "$actual" | wc -l) symbols"
