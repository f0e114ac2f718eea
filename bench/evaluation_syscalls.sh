#!/bin/sh
# System calls per design of the evaluation flow: `strace -c -f` over one evaluation_bench
# batch (a trivial sh analysis, the analysis's children included), divided by the number of
# designs, for the calls that make up the solver's per-design file and launch work.
#
#   bench/evaluation_syscalls.sh [designs=200] [parallel=2]
# BUILD_DIR (default build-bench) names the build folder; SKIP_BUILD=1 uses it as it is;
# TMPDIR chooses the file system the study runs on (/tmp, /dev/shm).
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

out=$(mktemp "${TMPDIR:-/tmp}/karvo-strace-XXXXXX")
trap 'rm -f "$out"' EXIT
strace -c -f -o "$out" "$build/evaluation_bench" "$designs" "$parallel" | sed 's/^/solver: /'
# strace -c columns: % time, seconds, usecs/call, calls, errors, syscall.
awk -v n="$designs" '
  $NF ~ /^[a-z_0-9]+$/ && $1 ~ /^[0-9.]+$/ {
    name = $NF; calls = $4; errors = (NF == 6) ? $5 : 0
    total += calls; failed += errors
    c[name] = calls; e[name] = errors
  }
  END {
    split("openat stat newfstatat statx fstat access mkdir rt_sigaction rt_sigprocmask " \
          "write read close lseek unlink rename getdents64 clone clone3 vfork execve wait4", list, " ")
    printf "%-16s %10s %10s %12s\n", "syscall", "calls", "failed", "per design"
    for (i = 1; i in list; ++i) {
      s = list[i]
      if (s in c) printf "%-16s %10d %10d %12.1f\n", s, c[s], e[s], c[s] / n
    }
    printf "%-16s %10d %10d %12.1f\n", "all", total, failed, total / n
  }' "$out"
