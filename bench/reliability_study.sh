#!/bin/sh
# Whole reliability studies of the real karvo binary on the formula-only limit state
# g = x1^3 + x2^3 - 18 (x1, x2 normal, mean 10, standard deviation 5; failure when g < 0):
#   - Monte Carlo, 100 000 samples (the speed figure: wall time, and the solver's share of it),
#   - Latin hypercube, 10 000 samples,
#   - the first-order iteration.
# Prints each run's wall time and the beta and probability of failure of its results file;
# bench/reliability_peer.py gives the NumPy and SciPy figures of the same limit state.
# Usage: bench/reliability_study.sh [path to karvo] [Monte Carlo samples]
# (default build/karvo, 100000). Needs /usr/bin/time.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
karvo=${1:-$root/build/karvo}
samples=${2:-100000}
[ -x "$karvo" ] || { echo "reliability_study.sh: $karvo not found" >&2; exit 1; }
karvo=$(cd "$(dirname "$karvo")" && pwd)/$(basename "$karvo")
work=$(mktemp -d "${TMPDIR:-/tmp}/karvo-reliability-bench.XXXXXX")

# study <folder> <method lines...>
study() {
  dir=$1; shift
  mkdir -p "$dir"
  printf '*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: cubic\ntype: reliability and robustness\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n' > "$dir/Assembly.in"
  cat > "$dir/Definitions.in" <<'DEFS'
*DEFINE_VARIABLE
name: w
type: Continuous
id: 1
min: 0
baseline: 0.5
max: 1
*DEFINE_DIST
name: scatter
type: Normal
standardDeviation: 5
*DEFINE_VARIABLE
name: x1
type: Parameter
id: 2
baseline: 10
distribution: scatter
*DEFINE_VARIABLE
name: x2
type: Parameter
id: 3
baseline: 10
distribution: scatter
*DEFINE_RESPONSE
name: g
type: Formula
formula: x1*x1*x1 + x2*x2*x2 - 18
*END
DEFS
  printf '*VARIABLE\nname: w\nid: 1\nresolution: 11\n*END\n' > "$dir/Representation0.in"
  printf '*RESPONSE\nname: g\ntype: constraint\noption: greater_equal\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n' > "$dir/Performance0.in"
  printf '*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n' > "$dir/Process0.in"
  {
    printf '*STUDY\nname: cubic\nstartAgent: 0\nendAgent: 0\nfilePrefix: cubic\nrandomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: reliability\n'
    for line in "$@"; do printf '%s\n' "$line"; done
    printf 'genRSMAfterStudy: 0\n*END\n'
  } > "$dir/study.in"
}

# run <folder> <label>
run() {
  (cd "$1" && KARVO_ROOT="$root" /usr/bin/time -f '%e %U %S %M' -o time.txt "$karvo" i=study.in > /dev/null)
  read -r wall user system memory < "$1/time.txt"
  beta=$(sed -n 's/^ *Beta: //p' "$1/RandR_0_g.out")
  p=$(sed -n 's/^ *Probability of failure: //p' "$1/RandR_0_g.out")
  designs=$(grep -c '^' "$1/cubic0.hst" 2>/dev/null || echo "?")
  echo "$2: beta $beta, p $p; wall ${wall} s (user ${user} s, system ${system} s), peak ${memory} KB"
}

study "$work/mc" "sampleMethod: OtherMonteCarlo" "numEvals: $samples"
run "$work/mc" "Monte Carlo, $samples samples"
study "$work/lhs" "sampleMethod: OtherLHC" "numEvals: 10000"
run "$work/lhs" "Latin hypercube, 10000 samples"
study "$work/form" "sampleMethod: OtherFORM" "numEvals: 100"
run "$work/form" "First order, at most 100 designs"
echo "Study folders: $work"
