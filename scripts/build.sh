#!/usr/bin/env bash
# Configures and builds into the given folder: scripts/build.sh BUILD_DIR [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:?usage: scripts/build.sh BUILD_DIR [cmake options...]}
shift
# A Qt 6 build needs Qt 6's packages rather than Qt 5's.
for option in "$@"; do
    case "$option" in
        -DORBISTO_QT_MAJOR_VERSION=6 | -DORBISTO_QT_MAJOR_VERSION:STRING=6) export ORBISTO_BOOTSTRAP_QT=6 ;;
    esac
done
scripts/bootstrap.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
