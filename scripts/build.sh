#!/usr/bin/env bash
# Configures and builds into the given folder: scripts/build.sh BUILD_DIR [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:?usage: scripts/build.sh BUILD_DIR [cmake options...]}
shift
scripts/bootstrap.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
