#!/bin/sh
# The workflow for GitHub's Windows and macOS runners cannot run here. It is
# checked against the schema of GitHub's workflows, with the validator from the
# npm registry (node and npm come from Debian when missing), and its portable
# jobs must run every test that tests/CMakeLists.txt builds on Windows and
# macOS: the ones declared before its Linux-only part.
#   tests/check_workflow.sh
set -eu
cd "$(dirname "$0")/.."
ORBISTO_BOOTSTRAP_NODE=1 scripts/bootstrap.sh
npx --yes @action-validator/cli@0.6.0 .github/workflows/*.yml

built=$(sed -n '/^if(NOT ORBISTO_LINUX)/q; s/^orbisto_test(\(tst_[a-z]*\).*/\1/p' tests/CMakeLists.txt | LC_ALL=C sort)
run=$(sed -n 's/.*-R "^(\(tst_[a-z_|]*\))\$".*/\1/p' .github/workflows/ci.yml | tr '|' '\n' | LC_ALL=C sort)
if [ -z "$built" ] || [ "$built" != "$run" ]; then
    echo "workflow: the portable jobs run" $run "but Windows and macOS build" $built >&2
    exit 1
fi
echo "workflow: .github/workflows is valid; the portable jobs run all $(echo "$built" | wc -l) device-free tests"
