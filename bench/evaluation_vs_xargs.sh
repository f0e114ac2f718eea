#!/bin/sh
# The evaluation flow against the plainest way to run the same work: N designs of a trivial
# analysis with 2 at a time, then the same N commands launched by `xargs -P 2`, each doing
# what the solver does for a design (create the design and analysis folders, copy the
# script, write the tagged input, run the script, read the output). Prints both wall times
# and their ratio.
#
#   bench/evaluation_vs_xargs.sh [designs=200] [parallel=2]
#
# By default the solver side is one batch through evaluation_bench (the flow alone; its own
# CPU seconds are printed too). With KARVO=<path to karvo> it is a whole run of the real
# binary instead: a study with one DOE agent, a Latin hypercube of N runs over two variables
# (the analysis reads one; a hypercube needs two factors), `nParallel` as given, history on; its wall time covers start-up, the array,
# the designs, the history and the results files.
# BUILD_DIR (default build-bench) names evaluation_bench's build folder; SKIP_BUILD=1 uses it
# as it is. The study folders go under $TMPDIR (default /tmp).
set -eu

designs=${1:-200}
parallel=${2:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
karvo=${KARVO:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/karvo-xargs-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cat >"$work/trivial.sh" <<'SCRIPT'
read x < trivial.inp
echo "RESULT F = $x" > trivial.out
SCRIPT

if [ -z "$karvo" ]; then
  if [ "${SKIP_BUILD:-0}" != 1 ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BENCH=ON >/dev/null
    cmake --build "$build" --target evaluation_bench -j2 >/dev/null
  fi
  solver=$("$build/evaluation_bench" "$designs" "$parallel")
  echo "$solver" | sed 's/^/solver: /'
  solver_wall=$(echo "$solver" | awk '$1 == "wall_s" { print $2 }')
  solver_cpu=$(echo "$solver" | awk '$1 == "solver_cpu_s" { print $2 }')
else
  case $karvo in /*) ;; *) karvo=$PWD/$karvo ;; esac
  [ -x "$karvo" ] || { echo "evaluation_vs_xargs.sh: $karvo not found" >&2; exit 1; }
  study=$work/study
  mkdir "$study"
  cp "$work/trivial.sh" "$study/"
  printf '{{x}}\n' > "$study/trivial.tpl"
  printf 'file: trivial.out\nanchor: RESULT F\nword: 4\n' > "$study/f.def"
  printf '*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: doe\ntype: doe\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n' > "$study/Assembly.in"
  printf '*DEFINE_FORMAT\nname: Default\ntype: automatic\n*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 2\n*DEFINE_RESPONSE\nname: f\ntype: File\n*END\n' > "$study/Definitions.in"
  printf '*VARIABLE\nname: x\nid: 1\nresolution: 5\n*VARIABLE\nname: y\nid: 2\nresolution: 5\n*FACTOR\nname: x\nlevels: 0, 2\n*FACTOR\nname: y\nlevels: 0, 2\n*END\n' > "$study/Representation0.in"
  printf '*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n' > "$study/Performance0.in"
  printf '*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: trivial\nid: 1\ninputFile: trivial.sh, studyFolder, , file, yes\ninputTagFile: trivial.tpl, trivial.inp\noutputFile: trivial.out\noutputTagFile: f, f.def\noutputResponse: f\n*EXECUTION_DEFINITION\ntoolCmd: sh trivial.sh\nsuccessReturnValue: 0\nnumDesigns: %s\n*END\n' "$parallel" > "$study/Process0.in"
  printf '*STUDY\nname: doe\nstartAgent: 0\nendAgent: 0\nfilePrefix: doe\nrandomSeed: 0.5\nnParallel: %s\nmode: newStudy\n*AGENT\nid: 0\nmethod: DOE\nsampleMethod: OtherLHC\nnumEvals: %s\ngenRSMAfterStudy: 0\n*END\n' "$parallel" "$designs" > "$study/study.in"
  sync
  (cd "$study" && KARVO_ROOT=$root /usr/bin/time -f '%e %U %S' -o time.txt "$karvo" i=study.in > console.txt)
  read -r solver_wall user system < "$study/time.txt"
  evaluated=$(find "$study" -name trivial.out | wc -l)
  [ "$evaluated" -eq "$designs" ] || {
    echo "evaluation_vs_xargs.sh: the study evaluated $evaluated of $designs designs" >&2
    exit 1
  }
  echo "solver: whole karvo run, wall_s $solver_wall (user $user s, system $system s, analyses included)"
  [ -n "${KEEP:-}" ] || rm -rf "$study"
  solver_cpu=
fi

# One design: its folders, the copied script, the input, the run and the read-back.
cat >"$work/design.sh" <<'SCRIPT'
n=$1
mkdir -p "Design$n/trivial"
cd "Design$n/trivial"
cp ../../trivial.sh .
echo "$n" > trivial.inp
sh trivial.sh
read line < trivial.out
SCRIPT

sync
start=$(date +%s.%N)
(cd "$work" && seq 1 "$designs" | xargs -P "$parallel" -n 1 sh design.sh)
end=$(date +%s.%N)
xargs_wall=$(echo "$start $end" | awk '{ printf "%.3f", $2 - $1 }')

echo "xargs: wall_s $xargs_wall"
echo "$solver_wall $xargs_wall" |
  awk '{ printf "ratio (solver / xargs wall): %.2f\n", $1 / $2 }'
if [ -n "$solver_cpu" ]; then
  echo "$solver_cpu" |
    awk '{ printf "solver CPU: %.3f s (%.2f ms per design)\n", $1, 1000 * $1 / '"$designs"' }'
fi
