#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, then checks that the
# pure units' own tests kill their mutants, made by rule, then runs the shipped
# library and the host on Debian's own kernel and USB stack in QEMU (the kernel
# check), then does it again on Qt 6, compiles the plug-in and the portable host
# for Windows on both Qts, then builds our own targets with clazy, checks the
# hosted CI workflow, then runs every test under
# AddressSanitizer and UndefinedBehaviorSanitizer, then under valgrind's
# memcheck, and fuzzes the device replies for a minute. All widgets run offscreen.
#   scripts/test.sh [--quick]
# --quick stops after the first build and its tests, for day-to-day work.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

quick=0
case "${1:-}" in
    "") ;;
    --quick) quick=1 ;;
    *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

# Runs CTest in a build folder and adds its count of tests to the total.
passed=0
run_ctest() {
    local log
    log=$(mktemp)
    (cd "$1" && ctest --output-on-failure --timeout "$2") | tee "$log"
    passed=$((passed + $(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log")))
    rm -f "$log"
}

scripts/build.sh build/test -DORBISTO_WERROR=ON
run_ctest build/test 300
if [ "$quick" = 1 ]; then
    echo "total: $passed passed, 0 failed (quick: the kernel check, the Qt 6 and sanitizer builds, memcheck and fuzzer did not run)"
    exit 0
fi

# Mutants made by rule from the state machine and the reply unit: each unit's
# own test must kill at least 90% of those not listed as equivalent.
tests/check_mutants.sh build/test

# Once, on the first build: the real cdc_acm, udev and USB transfers, with USB
# gadgets as turntables, in a guest of Debian's own kernel.
tests/check_kernel.sh build/test

# The same sources and tests on Qt 6, for hosts that have moved to it.
scripts/build.sh build/qt6 -DORBISTO_WERROR=ON -DORBISTO_QT_MAJOR_VERSION=6
run_ctest build/qt6 300
tests/check_other_qt.sh build/test build/qt6
# No Windows machine here: the plug-in, the contract and the portable host are
# compiled for Windows with MinGW-w64, on both Qts, and their exports checked.
tests/check_windows.sh 5
tests/check_windows.sh 6
# What the hosted Windows and macOS jobs build, built as their toolchains
# would: Clang, the switches a non-Linux system takes, and a multi-configuration
# generator's layout; then the tests those jobs run.
tests/check_hosted.sh build/hosted5 5
tests/check_hosted.sh build/hosted6 6
checks=9
# Qt-aware checks of levels 0 to 2 over our own targets, warnings as errors.
scripts/clazy.sh
checks=$((checks + 1))
# The workflow for GitHub's Windows and macOS runners cannot run here; it is
# validated, and its device-free tests compared with what those systems build.
tests/check_workflow.sh
checks=$((checks + 1))

# With Clang, so that its warnings cover the Linux-only code as well.
ORBISTO_BOOTSTRAP_TOOLS=1 CC=clang CXX=clang++ \
    scripts/build.sh build/sanitize -DORBISTO_WERROR=ON -DORBISTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
run_ctest build/sanitize 600

# The first build has no sanitizers, so valgrind checks its programs as they are.
ORBISTO_MEMCHECK_BUILD_DIR=build/test scripts/memcheck.sh
scripts/fuzz.sh 60

# Every step above stops the script on a failure, so reaching here means all
# passed: the CTest tests of the three builds, the mutation gate, the kernel
# check, the plug-ins across Qt versions, the Windows compile on both Qts,
# the hosted configuration, clazy, the workflow, the memory check and the fuzzer.
echo "total: $((passed + checks)) passed, 0 failed"
