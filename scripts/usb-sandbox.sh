#!/usr/bin/env bash
# Runs COMMAND with simulated Orbisto turntables shown to it as USB serial
# ports /dev/ttyACM0, ... made by "STMicroelectronics" (or TEXT), as a
# photographer's machine shows the real one. The ports live in a umockdev
# testbed that only COMMAND and what it starts see, and that goes away with
# COMMAND; nothing changes outside it, and no root is needed.
#   scripts/usb-sandbox.sh [--maker TEXT] [--count N] [--hang-up-after S] [--log] -- COMMAND [ARGS...]
# Builds build/release first, unless ORBISTO_BUILD_DIR names a build to use as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${ORBISTO_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
    build_dir=$root/build/release
    "$root/scripts/build.sh" "$build_dir" >/dev/null
fi
exec "$build_dir/simulator/orbisto-usb-sandbox" "$@"
