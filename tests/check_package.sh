#!/bin/sh
# Builds the Debian package from a build tree and checks that it carries the
# plug-in, the contract header and the udev rule, and nothing of the tests.
set -eu
build_dir=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build_dir/CPackConfig.cmake" -B "$out" >/dev/null
package=$(ls "$out"/orbisto_*.deb)
contents=$(dpkg-deb -c "$package")
for expected in nxsdk/plug-ins/libOrbisto.so include/nxsdk/CAbstractTurntableController.h \
                udev/rules.d/60-orbisto-turntable.rules; do
    echo "$contents" | grep -q "$expected" || { echo "missing from $package: $expected"; exit 1; }
done
if echo "$contents" | grep -qE 'tst_|orbisto-host|orbisto-bench'; then
    echo "test or tool programs in $package"; exit 1
fi
dpkg-deb -f "$package" Depends | grep -q libqt5serialport5
echo "package ok: $(basename "$package")"
