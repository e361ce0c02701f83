#!/usr/bin/env bash
# Runs COMMAND with simulated Orbisto turntables shown to it as USB serial
# ports /dev/ttyACM0, ... made by "STMicroelectronics" (or TEXT), as a
# photographer's machine shows the real one. Everything lives in a private
# mount namespace that goes away with COMMAND; nothing changes outside it.
#   scripts/usb-sandbox.sh [--maker TEXT] [--count N] [--hang-up-after S] -- COMMAND [ARGS...]
# Needs root. Builds build/release first, unless ORBISTO_BUILD_DIR names a
# build to use as it is.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "usb-sandbox: needs root, to mount the simulated ports in a private namespace: sudo $0 $*" >&2
    exit 1
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${ORBISTO_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
    build_dir=$root/build/release
    "$root/scripts/build.sh" "$build_dir" >/dev/null
fi
exec "$build_dir/simulator/orbisto-usb-sandbox" "$@"
