#!/usr/bin/env bash
# Builds the plug-in and the reference host, then runs a capture on the
# simulated turntable. Options go to the host: scripts/capture.sh --help
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build/release >/dev/null
exec build/release/host/orbisto-host "$@"
