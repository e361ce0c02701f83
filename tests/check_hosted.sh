#!/bin/sh
# Builds exactly what the hosted Windows and macOS jobs build, with the traits
# of their toolchains that this machine can show, and runs the tests they run:
# - Clang, warnings as errors: Apple's compiler is Clang, whose -Wall reports
#   what GCC's does not (a constant left unused, for one);
# - the switches a non-Linux platform takes (ORBISTO_LINUX=OFF), so code that
#   only the simulator or the sandbox keep alive shows up as unused;
# - a multi-configuration generator (Ninja Multi-Config), whose per-configuration
#   folders (Release/, include_Release/) are the layout Visual Studio's has.
#   tests/check_hosted.sh BUILD_DIR QT_MAJOR_VERSION     (5 or 6)
set -eu
cd "$(dirname "$0")/.."
build_dir=${1:?usage: tests/check_hosted.sh BUILD_DIR QT_MAJOR_VERSION}
major=${2:?usage: tests/check_hosted.sh BUILD_DIR QT_MAJOR_VERSION}
ORBISTO_BOOTSTRAP_QT=$major ORBISTO_BOOTSTRAP_HOSTED=1 scripts/bootstrap.sh
# The hosted jobs build their Release configuration.
configuration=Release
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G "Ninja Multi-Config" \
    -DORBISTO_LINUX=OFF -DORBISTO_WERROR=ON -DORBISTO_QT_MAJOR_VERSION="$major" >/dev/null
cmake --build "$build_dir" --config "$configuration" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
# Everything this configuration builds is what the hosted jobs build, and its
# tests are theirs: all of them need no device.
(cd "$build_dir" && ctest -C "$configuration" --output-on-failure --timeout 300) >"$build_dir/ctest.log" 2>&1 || {
    cat "$build_dir/ctest.log" >&2
    echo "hosted: Qt $major: the tests failed in the hosted configuration" >&2
    exit 1
}
count=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$build_dir/ctest.log")
plugin=$(find "$build_dir/plug-ins/Orbisto/$configuration" -maxdepth 1 -name 'libOrbisto.so' -print)
[ -n "$plugin" ] || { echo "hosted: no plug-in in $build_dir/plug-ins/Orbisto/$configuration" >&2; exit 1; }
echo "hosted: Qt $major: Clang, non-Linux switches, Ninja Multi-Config ($configuration): built, $count tests passed"
