#!/bin/sh
# The installed solver runs from any folder. Usage:
#   installed_karvo_test.sh install <build folder> <cmake>   cmake --install into a scratch prefix
#   installed_karvo_test.sh deb <build folder> <cpack>       cpack -G DEB, unpacked with dpkg -x
# Either way the installed karvo runs a tiny study in a folder outside the source and build
# trees, exports its history, and the manual page and the documents are where karvo(1) says.
set -eu

mode=$1
build=$(cd "$2" && pwd)
tool=$3

scratch=$(mktemp -d "${TMPDIR:-/tmp}/karvo-installed.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

case $mode in
  install)
    root="$scratch/prefix"
    "$tool" --install "$build" --prefix "$root" > "$scratch/install.log" ||
      fail "cmake --install: $(cat "$scratch/install.log")"
    ;;
  deb)
    "$tool" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" \
      > "$scratch/cpack.log" 2>&1 || fail "cpack: $(cat "$scratch/cpack.log")"
    set -- "$scratch"/package/karvo_*.deb
    [ -f "$1" ] || fail "no package in $scratch/package: $(ls "$scratch/package")"
    depends=$(dpkg-deb -f "$1" Depends)
    case $depends in
      *libpython3*libre2*) ;;
      *) fail "the package's dependencies lack the solver's libraries: $depends" ;;
    esac
    dpkg -x "$1" "$scratch/root"
    root="$scratch/root/usr"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac

karvo="$root/bin/karvo"
[ -x "$karvo" ] || fail "$karvo was not installed"
grep -q '^\.SH "EXIT STATUS"' "$root/share/man/man1/karvo.1" || fail "no manual page karvo(1)"
for document in README.md study-files.md running.md results.md examples/ten-bar-truss/truss.in; do
  [ -f "$root/share/doc/karvo/$document" ] || fail "share/doc/karvo/$document was not installed"
done

# One variable, a formula objective, a small TOLMAR budget.
study="$scratch/study"
mkdir "$study"
cd "$study"
printf '%s\n' '*TYPE' 'version: 2019.01' '*AGENT' 'id: 0' 'name: sizing' 'type: optimization' \
  'representation: 0' 'performance: 0' '*END' > Assembly.in
printf '%s\n' '*DEFINE_FORMAT' 'name: Default' 'type: automatic' '*DEFINE_VARIABLE' 'name: x' \
  'type: Continuous' 'id: 1' 'min: 0' 'baseline: 1' 'max: 2' '*DEFINE_RESPONSE' 'name: f' \
  'type: Formula' 'formula: (x - 0.4) ** 2' '*END' > Definitions.in
printf '%s\n' '*VARIABLE' 'name: x' 'id: 1' 'resolution: 11' '*END' > Representation0.in
printf '%s\n' '*RESPONSE' 'name: f' 'type: objective' 'factor: 1' 'option: min_value' 'target: 0' \
  'quadWt: 0' 'linearWt: 1' '*END' > Performance0.in
printf '%s\n' '*STUDY' 'name: tiny' 'startAgent: 0' 'endAgent: 0' 'filePrefix: tiny' \
  'randomSeed: 0.5' 'mode: newStudy' '*AGENT' 'id: 0' 'method: TOLMAR' 'numEvals: 20' '*END' \
  > tiny.in

# Only the installed folder on the way to karvo; the system's own folders for the rest.
status=0
env PATH=/usr/bin:/bin KARVO_ROOT="$root/bin" "$karvo" i=tiny.in > run.out 2> run.err || status=$?
[ "$status" -eq 0 ] || fail "karvo i=tiny.in: exit status $status; $(cat run.err); $(tail -n 20 tiny.mes 2>/dev/null)"
grep -q 'End of KARVO run\.' run.out || fail "the run did not end in order: $(tail -n 5 run.out)"
env PATH=/usr/bin:/bin KARVO_ROOT="$root/bin" "$karvo" export tiny0.hst --out tiny0.csv ||
  fail "karvo export tiny0.hst"
head -n 1 tiny0.csv | grep -q '^design,.*,x,f$' || fail "unexpected export header: $(head -n 1 tiny0.csv)"
rows=$(($(wc -l < tiny0.csv) - 1))
[ "$rows" -ge 5 ] || fail "only $rows designs in the exported history"
echo "installed karvo ($mode) ran the study: $rows designs"
