#!/bin/sh
# The run's page of a large formula-only study: the study of formula_designs.sh (a DOE agent,
# a Latin hypercube of N runs, two formula responses, no design folders) is run once, then
# `karvo report` rebuilds its page. Prints the run's wall time, the page's size (aim: under
# 2 MB for 100 000 designs), the time `karvo report` takes to build it, and, when chromium is
# installed, the time a headless browser takes to load it (aim: under 2 s).
# Usage: bench/run_page.sh [karvo] [runs]     default: build/karvo 100000
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
karvo=${1:-$root/build/karvo}
runs=${2:-100000}
[ -x "$karvo" ] || { echo "run_page.sh: $karvo not found" >&2; exit 1; }
karvo=$(cd "$(dirname "$karvo")" && pwd)/$(basename "$karvo")
dir=$(mktemp -d /tmp/karvo-page-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
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
printf '*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x1 + 2*x2 + 3*x3 + 4*x4 + 5*x5\n*END\n' >> "$dir/Definitions.in"
printf '%s*END\n' "$factors" >> "$dir/Representation0.in"
printf '*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n' > "$dir/Performance0.in"
printf '*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n' > "$dir/Process0.in"
printf '*STUDY\nname: doe\nstartAgent: 0\nendAgent: 0\nfilePrefix: doe\nrandomSeed: 0.5\nmode: newStudy\n*RUN_OPTIONS\nnoFolderWithoutAnalysis: 1\n*AGENT\nid: 0\nmethod: DOE\nsampleMethod: OtherLHC\nnumEvals: %s\ngenRSMAfterStudy: 0\n*END\n' "$runs" > "$dir/study.in"
cd "$dir"
KARVO_ROOT=$dir /usr/bin/time -f '%e' -o run.txt "$karvo" i=study.in > /dev/null 2>&1
/usr/bin/time -f '%e' -o report.txt "$karvo" report study.in --out report.html > /dev/null
open=-
if command -v chromium > /dev/null; then
  /usr/bin/time -f '%e' -o open.txt chromium --headless --no-sandbox --disable-gpu --dump-dom "file://$dir/study.html" > /dev/null 2>&1
  open=$(cat open.txt)
fi
printf '%8s %10s %12s %10s %10s\n' designs "run s" "page bytes" "report s" "open s"
printf '%8s %10s %12s %10s %10s\n' "$runs" "$(cat run.txt)" "$(wc -c < study.html)" "$(cat report.txt)" "$open"
