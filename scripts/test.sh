#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, then does it again under
# AddressSanitizer and UndefinedBehaviorSanitizer. All widgets run offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

scripts/build.sh build/test -DORBISTO_WERROR=ON
(cd build/test && ctest --output-on-failure --timeout 300)

scripts/build.sh build/sanitize -DORBISTO_WERROR=ON -DORBISTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build/sanitize && ctest --output-on-failure --timeout 600)
