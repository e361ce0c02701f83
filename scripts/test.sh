#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, then does it again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then under valgrind's
# memcheck, and fuzzes the device replies for a minute. All widgets run offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

scripts/build.sh build/test -DORBISTO_WERROR=ON
(cd build/test && ctest --output-on-failure --timeout 300)

scripts/build.sh build/sanitize -DORBISTO_WERROR=ON -DORBISTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build/sanitize && ctest --output-on-failure --timeout 600)

# The first build has no sanitizers, so valgrind checks its programs as they are.
ORBISTO_MEMCHECK_BUILD_DIR=build/test scripts/memcheck.sh
scripts/fuzz.sh 60
