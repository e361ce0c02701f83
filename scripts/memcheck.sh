#!/usr/bin/env bash
# Runs every test program under valgrind's memcheck, on a build without
# sanitizers. Fails on an invalid read or write, a jump on uninitialised memory,
# or a definite leak; tests/valgrind.supp holds Qt's own one-time allocations.
#   scripts/memcheck.sh [TEST...]      (default: every test program CTest knows)
# ORBISTO_MEMCHECK_BUILD_DIR moves the build (default build/memcheck).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${ORBISTO_MEMCHECK_BUILD_DIR:-build/memcheck}

ORBISTO_BOOTSTRAP_TOOLS=1 scripts/bootstrap.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBISTO_WERROR=ON >/dev/null

tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
    # The test programs CTest knows; checks that run a shell command are not programs of ours.
    mapfile -t tests < <(cd "$build_dir" && ctest -N |
        sed -n 's/^ *Test *#[0-9]*: *\(tst_[A-Za-z0-9_]*\)$/\1/p')
fi
# Only the test programs and what they load or start.
cmake --build "$build_dir" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    --target "${tests[@]}"

export QT_QPA_PLATFORM=offscreen
# Regular expressions matched by JIT-compiled code read as uninitialised to
# valgrind, which cannot see that code's stores; the interpreter it checks.
export QT_ENABLE_REGEXP_JIT=0
logs="$build_dir/memcheck-logs"
mkdir -p "$logs"
failed=()
for name in "${tests[@]}"; do
    start=$SECONDS
    # Child processes (the host that tst_host starts) run without valgrind.
    # tst_system's devices need umockdev's preload from the start.
    preload=${LD_PRELOAD:-}
    [ "$name" = tst_system ] && preload="libumockdev-preload.so.0 $preload"
    if LD_PRELOAD=$preload valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
            --errors-for-leak-kinds=definite --error-exitcode=1 --num-callers=40 \
            --suppressions=tests/valgrind.supp --log-file="$logs/$name.valgrind" \
            "$build_dir/tests/$name" >"$logs/$name.out" 2>&1; then
        echo "memcheck: $name passed in $((SECONDS - start)) s"
    else
        echo "memcheck: $name FAILED in $((SECONDS - start)) s" >&2
        tail -n 40 "$logs/$name.out" >&2
        cat "$logs/$name.valgrind" >&2
        failed+=("$name")
    fi
done
# The host the tests start runs without valgrind, so one short capture runs under it here.
if [ "$#" -eq 0 ]; then
    cmake --build "$build_dir" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target orbisto-host
    start=$SECONDS
    if valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
            --errors-for-leak-kinds=definite --error-exitcode=1 --num-callers=40 \
            --suppressions=tests/valgrind.supp --log-file="$logs/orbisto-host.valgrind" \
            "$build_dir/host/orbisto-host" --frames 8 >"$logs/orbisto-host.out" 2>&1; then
        echo "memcheck: orbisto-host capture passed in $((SECONDS - start)) s"
    else
        echo "memcheck: orbisto-host capture FAILED in $((SECONDS - start)) s" >&2
        tail -n 40 "$logs/orbisto-host.out" >&2
        cat "$logs/orbisto-host.valgrind" >&2
        failed+=(orbisto-host)
    fi
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "memcheck: failed: ${failed[*]} (logs in $logs)" >&2
    exit 1
fi
