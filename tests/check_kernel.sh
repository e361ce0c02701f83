#!/bin/sh
# The kernel check: tst_kernel of the build in BUILD_DIR runs in a guest of
# Debian's own kernel, where the turntables are USB gadgets on dummy_hcd and
# cdc_acm and udev are the system's (kernel/kernel-rig.sh). Needs root.
#   tests/check_kernel.sh BUILD_DIR
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: tests/check_kernel.sh BUILD_DIR}" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    # As root (as in CI) it always runs, and a rig that cannot start fails.
    echo "kernel check: skipped, it needs root to fetch the kernel and make USB gadgets: sudo $0 $*"
    exit 0
fi
started=$(date +%s)
ORBISTO_BOOTSTRAP_KERNEL=1 "$root/scripts/bootstrap.sh"
# Two controllers: the most turntables one case plugs in at once.
"$root/kernel/kernel-rig.sh" --controllers 2 "$build/kernel-guest" -- "$build/tests/tst_kernel"
echo "kernel check: passed in $(($(date +%s) - started)) s"
