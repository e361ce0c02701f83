#!/usr/bin/env bash
# Fuzzes the reading of the device's replies: builds the libFuzzer target with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs it for SECONDS
# (default 60) on a copy of the seed corpus in fuzz/corpus. Fails on any crash,
# sanitizer report, leak or broken invariant; the input that did it is kept.
#   scripts/fuzz.sh [SECONDS]
# ORBISTO_FUZZ_BUILD_DIR moves the build (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build_dir=${ORBISTO_FUZZ_BUILD_DIR:-build/fuzz}

ORBISTO_BOOTSTRAP_TOOLS=1 scripts/bootstrap.sh
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORBISTO_WERROR=ON -DORBISTO_SANITIZE=ON -DORBISTO_FUZZ=ON >/dev/null
cmake --build "$build_dir" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target fuzz_replies

# The committed seeds stay as they are; the working corpus keeps what earlier
# runs found, so a longer or repeated run goes on from there.
corpus="$build_dir/fuzz/corpus"
artifacts="$build_dir/fuzz/artifacts"
mkdir -p "$corpus" "$artifacts"
cp fuzz/corpus/* "$corpus"/

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Replies longer than the reader's 4 KiB window must be possible; memory
# stays bounded by the RSS limit, and a stuck input fails instead of hanging.
# libFuzzer's progress and its dictionary advice go to a log; the run's
# figures are printed, and the whole log when it fails.
log="$build_dir/fuzz/last-run.log"
if ! "$build_dir/fuzz/fuzz_replies" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=1024 \
        -timeout=30 -dict=fuzz/replies.dict -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" 2>"$log"; then
    tail -n 80 "$log" >&2
    echo "fuzz: failed; reproduce with: $build_dir/fuzz/fuzz_replies $artifacts/<file above>" >&2
    exit 1
fi
grep -E '^(Done |stat::)' "$log" | sed 's/^/fuzz: /'
