#!/usr/bin/env bash
# Builds the contract, the plug-in, the host and the tools with clazy, the
# Qt-aware checker KDE's CI runs, as the compiler: its checks of levels 0 to 2,
# warnings as errors. Qt's headers and the moc and uic output are not checked,
# nor the tests and benchmarks, whose Qt Test macros fight its allocation checks.
#   scripts/clazy.sh [BUILD_DIR]    (default build/clazy)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build/clazy}
ORBISTO_BOOTSTRAP_CLAZY=1 scripts/bootstrap.sh

# What the contract imposes, marked where clazy sees it with a clazy:exclude
# comment; nothing else may be excluded:
#   - COrbisto has no Q_OBJECT: hosts know only the contract's meta-object;
#   - hosts create the controller through the entry function, without a
#     parent, and the contract class's constructor takes none.
exceptions="plug-ins/Orbisto/Orbisto.h: missing-qobject-macro,ctor-missing-parent-argument
sdk/CAbstractTurntableController.h: ctor-missing-parent-argument"
marked=$({ grep -rnoE 'clazy:(exclude|excludeall|skip)[=a-z0-9,-]*' sdk plug-ins host simulator || true; } \
    | sed -E 's/:[0-9]+:clazy:exclude=/: /' | sort)
if [ "$marked" != "$(sort <<<"$exceptions")" ]; then
    printf 'clazy: the exclusions in the code are not the ones %s names:\n%s\n' "$0" "$marked" >&2
    exit 1
fi

export CLAZY_CHECKS=level0,level1,level2
export CLAZY_IGNORE_DIRS='.*_autogen.*'
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clazy -DCMAKE_BUILD_TYPE= -DORBISTO_WERROR=ON \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
echo "clazy: no warnings at levels 0 to 2"
