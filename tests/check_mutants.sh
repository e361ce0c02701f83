#!/usr/bin/env bash
# The mutation gate: each mutant of the state machine listed in
# tests/machine_mutants.txt is applied to a copy of its source, only the model
# test is rebuilt against it, and the test must fail. A mutant marked
# equivalent is skipped; one whose text no longer occurs exactly once in the
# source fails the gate, so the list follows the code.
#   tests/check_mutants.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tests/check_mutants.sh BUILD_DIR}
list=tests/machine_mutants.txt
original=$(cat plug-ins/Orbisto/OrbistoMachine.cpp)
copy=$build/tests/mutant/OrbistoMachine.cpp
test=$build/tests/tst_machine_mutant
log=$(mktemp)
trap 'printf "%s\n" "$original" > "$copy"; rm -f "$log"' EXIT

# Builds the test against the given source and runs it: "passes", "fails",
# or "does not compile".
run_against() {
    printf '%s\n' "$1" > "$copy"
    if ! cmake --build "$build" --target tst_machine_mutant > "$log" 2>&1; then
        echo "does not compile"
    elif "$test" -silent > "$log" 2>&1; then
        echo "passes"
    else
        echo "fails"
    fi
}

if [ "$(run_against "$original")" != passes ]; then
    cat "$log"
    echo "mutants: the unchanged machine does not pass the model test" >&2
    exit 1
fi

killed=0 equivalent=0 failures=0
check_mutant() {
    local name=$1 from=$2 to=$3 reason=$4
    # "\n" in the list stands for a line break.
    from=${from//\\n/$'\n'}
    to=${to//\\n/$'\n'}
    local rest=${original#*"$from"}
    if [ "$rest" = "$original" ] || [ "${rest#*"$from"}" != "$rest" ]; then
        echo "mutant '$name': its text does not occur exactly once in OrbistoMachine.cpp" >&2
        failures=$((failures + 1))
        return
    fi
    if [ -n "$reason" ]; then
        echo "mutant '$name': equivalent ($reason)"
        equivalent=$((equivalent + 1))
        return
    fi
    case $(run_against "${original/"$from"/"$to"}") in
        fails) echo "mutant '$name': killed: $(grep -m1 'FAIL!' "$log" | sed 's/^FAIL! *: //')"; killed=$((killed + 1)) ;;
        passes) echo "mutant '$name': SURVIVED" >&2; failures=$((failures + 1)) ;;
        *) echo "mutant '$name': does not compile" >&2; cat "$log" >&2; failures=$((failures + 1)) ;;
    esac
}

# Blocks of "name:", "from:", "to:" and an optional "equivalent:" line.
name='' from='' to='' reason=''
while IFS= read -r line || [ -n "$line" ]; do
    case $line in
        name:*)
            [ -n "$name" ] && check_mutant "$name" "$from" "$to" "$reason"
            name=${line#name: } from='' to='' reason='' ;;
        from:*) from=${line#from: } ;;
        to:*) to=${line#to: } ; [ "$to" = "to:" ] && to='' ;;
        equivalent:*) reason=${line#equivalent: } ;;
    esac
done < "$list"
[ -n "$name" ] && check_mutant "$name" "$from" "$to" "$reason"

echo "mutants: $killed killed, $equivalent equivalent, $failures failing the gate"
[ "$failures" -eq 0 ] && [ "$killed" -ge 25 ]
