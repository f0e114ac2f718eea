#!/bin/sh
# The evaluation flow against the plainest way to run the same work: 200 designs of a
# trivial analysis with 2 at a time through evaluation_bench, then the same 200 commands
# launched by `xargs -P 2`, each doing what the flow does for a design (create the design
# and analysis folders, copy the script, write the tagged input, run the script, read the
# output). Prints both wall times, the ratio and the solver's own CPU seconds.
#
#   bench/evaluation_vs_xargs.sh [designs=200] [parallel=2]
# BUILD_DIR (default build-bench) names the build folder; SKIP_BUILD=1 uses it as it is.
set -eu

designs=${1:-200}
parallel=${2:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BENCH=ON >/dev/null
  cmake --build "$build" --target evaluation_bench -j2 >/dev/null
fi

solver=$("$build/evaluation_bench" "$designs" "$parallel")
echo "$solver" | sed 's/^/solver: /'
solver_wall=$(echo "$solver" | awk '$1 == "wall_s" { print $2 }')
solver_cpu=$(echo "$solver" | awk '$1 == "solver_cpu_s" { print $2 }')

work=$(mktemp -d "${TMPDIR:-/tmp}/karvo-xargs-XXXXXX")
trap 'rm -rf "$work"' EXIT
cat >"$work/trivial.sh" <<'EOF'
read x < trivial.inp
echo "RESULT F = $x" > trivial.out
EOF
# One design: its folders, the copied script, the input, the run and the read-back.
cat >"$work/design.sh" <<'EOF'
n=$1
mkdir -p "Design$n/trivial"
cd "Design$n/trivial"
cp ../../trivial.sh .
echo "$n" > trivial.inp
sh trivial.sh
read line < trivial.out
EOF

start=$(date +%s.%N)
(cd "$work" && seq 1 "$designs" | xargs -P "$parallel" -n 1 sh design.sh)
end=$(date +%s.%N)
xargs_wall=$(echo "$start $end" | awk '{ printf "%.3f", $2 - $1 }')

echo "xargs: wall_s $xargs_wall"
echo "$solver_wall $xargs_wall $solver_cpu" |
  awk '{ printf "ratio (solver / xargs wall): %.2f\nsolver CPU: %.3f s (%.2f ms per design)\n",
         $1 / $2, $3, 1000 * $3 / '"$designs"' }'
