#!/usr/bin/env bash
# Runs COMMAND with simulated Orbisto turntables shown to it as USB serial
# ports /dev/ttyACM<n> made by "STMicroelectronics" (or TEXT), as a
# photographer's machine shows the real one. The ports live in a umockdev
# testbed that only COMMAND and what it starts see, and that goes away with
# COMMAND; nothing changes outside it, and no root is needed. Each port's
# number is one no other port of the machine uses (printed, and given to
# COMMAND in ORBISTO_SANDBOX_PORTS), so sandboxes never meet each other or a
# real turntable.
#   scripts/usb-sandbox.sh [--maker TEXT] [--count N] [--hang-up-after S] [--log] -- COMMAND [ARGS...]
# Uses build/release, built first when the sandbox's sources are newer than it
# (and only then: a build that is up to date is used as it is, even when this
# user may not write to it). ORBISTO_BUILD_DIR names another build to use as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${ORBISTO_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
    build_dir=$root/build/release
    sandbox=$build_dir/simulator/orbisto-usb-sandbox
    if [ ! -x "$sandbox" ] || [ -n "$(find "$root/simulator" "$root/CMakeLists.txt" -newer "$sandbox" -print -quit)" ]; then
        parent=$build_dir
        [ -e "$parent" ] || parent=$(dirname "$parent")
        if [ ! -w "$parent" ]; then
            echo "usb-sandbox: $build_dir needs building and is not yours to write: run scripts/build.sh build/release as its owner, or set ORBISTO_BUILD_DIR to a build of your own" >&2
            exit 1
        fi
        log=$(mktemp)
        if ! "$root/scripts/build.sh" "$build_dir" >"$log" 2>&1; then
            echo "usb-sandbox: building $build_dir failed (its output is in $log): run scripts/build.sh build/release to see why" >&2
            exit 1
        fi
        rm -f "$log"
    fi
fi
exec "$build_dir/simulator/orbisto-usb-sandbox" "$@"
