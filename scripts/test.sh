#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, then does it again under
# AddressSanitizer and UndefinedBehaviorSanitizer. All widgets run offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

scripts/build.sh build/test -DORBISTO_WERROR=ON
(cd build/test && ctest --output-on-failure --timeout 300)

scripts/build.sh build/sanitize -DORBISTO_WERROR=ON -DORBISTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build/sanitize && ctest --output-on-failure --timeout 600)
