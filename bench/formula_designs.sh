#!/bin/sh
# Designs per second of a formula-only study through the real karvo binary: one DOE agent, a
# Latin hypercube of N runs over 5 factors, two `Formula` responses, history on, no analysis.
# Every design then costs only the solver's own work: its folders and logs, the formulas, the
# history. The same study runs with the run option `noFolderWithoutAnalysis` off and on, in
# each of the given scratch folders (a disk and a tmpfs by default).
# Usage: bench/formula_designs.sh [karvo] [runs] [scratch folder...]
#   default: build/karvo 20000 /tmp /dev/shm
# With STRACE=1 each run is also made under `strace -c -f` and the system calls per design
# are printed (strace slows the run down; its wall time is not the figure to quote).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
karvo=${1:-$root/build/karvo}
runs=${2:-20000}
[ $# -ge 2 ] && shift 2 || shift $#
[ $# -gt 0 ] || set -- /tmp /dev/shm
[ -x "$karvo" ] || { echo "formula_designs.sh: $karvo not found" >&2; exit 1; }

# study <folder> <option value>
study() {
  dir=$1; option=$2
  rm -rf "$dir"; mkdir -p "$dir"
  printf '*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: doe\ntype: doe\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n' > "$dir/Assembly.in"
  : > "$dir/Definitions.in"; : > "$dir/Representation0.in"; factors=""
  for i in 1 2 3 4 5; do
    printf '*DEFINE_VARIABLE\nname: x%d\ntype: Continuous\nid: %d\nmin: 0\nbaseline: 0.5\nmax: 1\n' "$i" "$i" >> "$dir/Definitions.in"
    printf '*VARIABLE\nname: x%d\nid: %d\nresolution: 11\n' "$i" "$i" >> "$dir/Representation0.in"
    factors="$factors*FACTOR
name: x$i
levels: 0, 1
"
  done
  printf '*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x1 + 2*x2 + 3*x3 + 4*x4 + 5*x5 + x1*x2\n' >> "$dir/Definitions.in"
  printf '*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: sqrt(x1*x1 + x2*x2)\n*END\n' >> "$dir/Definitions.in"
  printf '%s*END\n' "$factors" >> "$dir/Representation0.in"
  printf '*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n' > "$dir/Performance0.in"
  printf '*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n' > "$dir/Process0.in"
  printf '*STUDY\nname: doe\nstartAgent: 0\nendAgent: 0\nfilePrefix: doe\nrandomSeed: 0.5\nmode: newStudy\n*RUN_OPTIONS\nnoFolderWithoutAnalysis: %s\n*AGENT\nid: 0\nmethod: DOE\nsampleMethod: OtherLHC\nnumEvals: %s\ngenRSMAfterStudy: 0\n*END\n' "$option" "$runs" > "$dir/study.in"
}

printf '%-10s %-8s %8s %9s %10s %12s %10s\n' scratch option designs "wall s" "designs/s" "syscalls/d" "folders"
for base in "$@"; do
  for option in 0 1; do
    dir=$(mktemp -d "$base/karvo-formula-bench.XXXXXX")
    study "$dir" "$option"
    sync
    (cd "$dir" && KARVO_ROOT=$dir /usr/bin/time -f '%e' -o time.txt "$karvo" i=study.in > /dev/null)
    seconds=$(cat "$dir/time.txt")
    folders=$(find "$dir" -type d -name 'Design*' | wc -l)
    calls=-
    if [ "${STRACE:-0}" = 1 ]; then
      study "$dir" "$option"
      (cd "$dir" && KARVO_ROOT=$dir strace -c -f -o strace.txt "$karvo" i=study.in > /dev/null)
      total=$(awk '$NF == "total" {print $4}' "$dir/strace.txt")
      calls=$(awk -v t="$total" -v n="$runs" 'BEGIN {printf "%.1f", t / n}')
      cp "$dir/strace.txt" "${STRACE_KEEP:-/dev/null}.$(basename "$base").$option" 2>/dev/null || true
    fi
    rate=$(awk -v s="$seconds" -v n="$runs" 'BEGIN {printf "%.0f", n / s}')
    printf '%-10s %-8s %8s %9s %10s %12s %10s\n' "$base" "$option" "$runs" "$seconds" "$rate" "$calls" "$folders"
    rm -rf "$dir"
  done
done
