#!/usr/bin/env bash
# Builds the release configuration and runs the benchmarks. They print figures
# and how they compare; nothing here passes or fails on a timing.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
scripts/build.sh build/release >/dev/null
exec build/release/bench/orbisto-bench "$@"
