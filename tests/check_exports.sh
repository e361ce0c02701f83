#!/bin/sh
# Checks what the plug-in offers a host: the entry function and the contract
# class, nothing of the standard library, of Qt or of the controller; and that
# it is a module, without a soname, since nothing links against it.
set -eu
plugin=$1
symbols=$(nm -D --defined-only "$plugin" | c++filt | cut -d' ' -f3-)
echo "$symbols" | grep -qx 'NXSDK_RegisterTurntableController' ||
    { echo "$plugin does not export NXSDK_RegisterTurntableController"; exit 1; }
stray=$(echo "$symbols" | grep -vx -e 'NXSDK_RegisterTurntableController' \
    -e 'CAbstractTurntableController::.*' \
    -e '\(typeinfo\|typeinfo name\|vtable\) for CAbstractTurntableController' || true)
if [ -n "$stray" ]; then
    echo "$plugin exports more than the entry and the contract:"
    echo "$stray"
    exit 1
fi
if readelf -d "$plugin" | grep -q SONAME; then
    echo "$plugin has a soname; a plug-in is a module"; exit 1
fi
echo "exports ok: $(echo "$symbols" | wc -l) symbols"
