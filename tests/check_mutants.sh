#!/usr/bin/env bash
# The mutation gate. tests/mutants.py makes every mutant of the pure units by
# rule, all behind switches in one build; each unit's own test then runs once
# per mutant, under a timeout, and must fail: a failure, a crash or a timeout
# kills it. Each unit's test must kill at least 90% of its mutants that are not
# listed in tests/mutants_equivalent.txt, each listed with its reason; every
# survivor is named. Mutants that do not compile are left out, as mutation
# tools do. A listed mutant that no longer exists, or that its test kills,
# fails the gate: the list follows the code.
#   tests/check_mutants.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tests/check_mutants.sh BUILD_DIR}
out=$build/tests/mutants
units=(plug-ins/Orbisto/OrbistoMachine.cpp plug-ins/Orbisto/OrbistoMachine.h plug-ins/Orbisto/OrbistoReply.cpp)
equivalents=tests/mutants_equivalent.txt
log=$(mktemp)
results=$out/verdicts.txt
trap 'rm -f "$log"' EXIT

# Generates and builds; a mutant that does not compile is named by the line
# of the error (each switch starts a line) and left out, then again. Which
# ones do not compile is kept for the same sources, so that the next run
# compiles once.
sources=$(cat "${units[@]}" tests/mutants.py | sha256sum | cut -d' ' -f1)
dropped=()
if [ -f "$out/dropped.txt" ] && [ "$(head -n1 "$out/dropped.txt")" = "$sources" ]; then
    read -r -a dropped < <(sed -n 2p "$out/dropped.txt")
fi
for round in 1 2 3 4 5 6 7 8; do
    python3 tests/mutants.py "$out" "${units[@]}" ${dropped[@]+--drop "${dropped[@]}"}
    if cmake --build "$build" --target tst_machine_mutants tst_reply_mutants > "$log" 2>&1; then
        break
    fi
    before=${#dropped[@]}
    while read -r file line; do
        # The nearest switch on or before the line of the error.
        id=$(awk -F'\t' -v f="$file" -v l="$line" '$2 == f && $3 <= l && $3 >= best { best = $3; id = $1 }
            END { print id }' "$out/mutants.tsv")
        [ -n "$id" ] && dropped+=("$id")
    done < <(sed -n 's|^\(.*/\)\{0,1\}mutants/\([A-Za-z.]*\):\([0-9]*\):[0-9]*: error:.*|\2 \3|p' "$log" | sort -u)
    if [ "${#dropped[@]}" = "$before" ] || [ "$round" = 8 ]; then
        cat "$log" >&2
        echo "mutants: the switched copies do not compile, and no mutant is to blame" >&2
        exit 1
    fi
done
printf '%s\n%s\n' "$sources" "${dropped[*]}" > "$out/dropped.txt"
if [ "${#dropped[@]}" -gt 0 ]; then
    echo "mutants: ${#dropped[@]} do not compile and are left out"
fi

machine=$build/tests/tst_machine_mutants
reply=$build/tests/tst_reply_mutants
# The unchanged units must pass; their time sets the timeout.
start=$(date +%s%N)
ORBISTO_MUTANT=0 "$machine" -silent > "$log" 2>&1 || { cat "$log"; echo "mutants: tst_machine fails with no mutant" >&2; exit 1; }
ORBISTO_MUTANT=0 "$reply" -silent > "$log" 2>&1 || { cat "$log"; echo "mutants: tst_reply fails with no mutant" >&2; exit 1; }
limit=$(( ($(date +%s%N) - start) / 1000000000 * 4 + 10 ))

# The verdict of each mutant, on every core. A mutant listed as equivalent
# runs a shallower model, enough to see whether it has come to be killed.
equivalent_ids=" $(awk -F'\t' 'NR == FNR { if ($0 !~ /^(#|    why: |$)/) listed[$0] = 1; next }
    $5 in listed { printf "%s ", $1 }' "$equivalents" "$out/mutants.tsv")"
export machine reply limit equivalent_ids
cut -f1,2 "$out/mutants.tsv" | xargs -P "$(nproc)" -L 1 sh -c '
    case $1 in OrbistoReply.*) test=$reply ;; *) test=$machine ;; esac
    depth=
    case $equivalent_ids in *" $0 "*) depth=3 ;; esac
    if ORBISTO_MUTANT=$0 ORBISTO_MODEL_DEPTH=$depth timeout "$limit" "$test" -silent > /dev/null 2>&1; then
        echo "$0 survived"
    else
        echo "$0 killed"
    fi' > "$results"

python3 - "$out/mutants.tsv" "$results" "$equivalents" << 'EOF'
import sys

sites = {}
for row in open(sys.argv[1], encoding="utf-8"):
    site_id, file, _, line, key = row.rstrip("\n").split("\t")
    sites[site_id] = (file, int(line), key)
verdicts = dict(row.split() for row in open(sys.argv[2], encoding="utf-8"))
# Each entry: the mutant's key on one line, its reason on the next, "why: ...".
equivalent, key = {}, None
for row in open(sys.argv[3], encoding="utf-8"):
    row = row.rstrip("\n")
    if not row.strip() or row.startswith("#"):
        continue
    if row.startswith("    why: "):
        equivalent[key] = row[len("    why: "):]
    else:
        key = row
        equivalent[key] = ""

failures = []
keys = {key for _, _, key in sites.values()}
for key, reason in equivalent.items():
    if not reason:
        failures.append(f"listed as equivalent without a reason: {key}")
    if key not in keys:
        failures.append(f"listed as equivalent, but no such mutant is made: {key}")
for unit, test, files in (("OrbistoMachine", "tst_machine", ("OrbistoMachine.cpp", "OrbistoMachine.h")),
                          ("OrbistoReply", "tst_reply", ("OrbistoReply.cpp",))):
    mine = [(i, s) for i, s in sites.items() if s[0] in files]
    killed = survived = marked = 0
    for site_id, (file, line, key) in mine:
        verdict = verdicts[site_id]
        if key in equivalent:
            marked += 1
            if verdict == "killed":
                failures.append(f"listed as equivalent, yet {test} kills it: {key}")
        elif verdict == "killed":
            killed += 1
        else:
            survived += 1
            print(f"mutant {site_id} survived: {file}:{line}: {key}")
    total = killed + survived
    share = 100.0 * killed / total if total else 100.0
    print(f"mutants: {unit}: {test} kills {killed} of {total} non-equivalent mutants ({share:.1f}%); "
          f"{marked} listed as equivalent, {survived} survive")
    if share < 90.0:
        failures.append(f"{test} kills fewer than 90% of {unit}'s mutants")
for failure in failures:
    print(f"mutants: {failure}", file=sys.stderr)
sys.exit(1 if failures else 0)
EOF
