#!/bin/sh
# Wall time and peak memory of whole design-of-experiments runs of the real karvo binary on
# formula-only studies (no analysis program, so the solver's own work is all there is):
#   - a 10 000-run Latin hypercube over 5 factors,
#   - a two-level full factorial of 13 factors (8192 runs, the full analysis of 8191 terms),
#   - a D-optimal design of 20 factors and 200 runs.
# Usage: bench/doe_study.sh [path to karvo]   (default build/karvo). Needs /usr/bin/time.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
karvo=${1:-$root/build/karvo}
[ -x "$karvo" ] || { echo "doe_study.sh: $karvo not found" >&2; exit 1; }

# study <folder> <factors> <method lines...>
study() {
  dir=$1; factors=$2; shift 2
  rm -rf "$dir"; mkdir -p "$dir"
  printf '*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: doe\ntype: doe\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n' > "$dir/Assembly.in"
  : > "$dir/Definitions.in"; : > "$dir/Representation0.in"; factorRecords=""
  formula="0"
  i=1
  while [ "$i" -le "$factors" ]; do
    printf '*DEFINE_VARIABLE\nname: x%d\ntype: Continuous\nid: %d\nmin: 0\nbaseline: 0.5\nmax: 1\n' "$i" "$i" >> "$dir/Definitions.in"
    printf '*VARIABLE\nname: x%d\nid: %d\nresolution: 11\n' "$i" "$i" >> "$dir/Representation0.in"
    factorRecords="$factorRecords*FACTOR
name: x$i
levels: 0, 1
"
    formula="$formula + $i*x$i"
    i=$((i + 1))
  done
  printf '*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: %s + x1*x2\n*END\n' "$formula" >> "$dir/Definitions.in"
  printf '%s*END\n' "$factorRecords" >> "$dir/Representation0.in"
  printf '*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n' > "$dir/Performance0.in"
  printf '*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n' > "$dir/Process0.in"
  {
    printf '*STUDY\nname: doe\nstartAgent: 0\nendAgent: 0\nfilePrefix: doe\nrandomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: DOE\n'
    for line in "$@"; do printf '%s\n' "$line"; done
    printf 'genRSMAfterStudy: 0\n*END\n'
  } > "$dir/study.in"
}

measure() {
  label=$1; dir=$2
  (cd "$dir" && KARVO_ROOT=$root /usr/bin/time -f '%e %M' -o time.txt "$karvo" i=study.in > /dev/null)
  read -r seconds kbytes < "$dir/time.txt"
  runs=$(sed -n 's/^Number of Runs: *//p' "$dir/DOE_0_f.out")
  printf '%-44s %6s runs  %6.2f s  %4d MB peak\n' "$label" "$runs" "$seconds" $((kbytes / 1024))
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/karvo-doe-bench.XXXXXX")
study "$scratch/lhs" 5 "sampleMethod: OtherLHC" "numEvals: 10000"
measure "Latin hypercube, 5 factors" "$scratch/lhs"
study "$scratch/full" 13 "sampleMethod: 2LevelFull"
measure "two-level full factorial, 13 factors" "$scratch/full"
study "$scratch/dopt" 20 "sampleMethod: OtherDO" "numEvals: 200"
measure "D-optimal, 20 factors" "$scratch/dopt"
rm -rf "$scratch"
