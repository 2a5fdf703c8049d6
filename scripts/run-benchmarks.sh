#!/usr/bin/env bash
# run-benchmarks.sh - runs every benchmark behind docs/benchmarks.md in one go and prints its figures.
#
# Usage: scripts/run-benchmarks.sh BUILD_DIR [BEFORE_BUILD_DIR]
#
# BUILD_DIR: a Release or RelWithDebInfo build (not a sanitizer build); the three benchmark programs are
# built here if they are not yet. Prints the machine and its load, then
#   - search_walk_bench: per stored template, the driver's walk, the host read path and the two floors
#     (SQLite + modp, with and without a copy per text), medians of 5, and their ratios;
#   - identify_memory_peak: resident and anonymous peaks of one identify over 100 and 1000 templates;
#   - estimator_bench: the estimator on an empty, a fully pressed and its slowest 96 x 96 frame, medians
#     of 5, and the processor time of a two-second wait without a finger.
# With BEFORE_BUILD_DIR, the lib/ and bin/ of a build of an earlier commit (used as they are, never
# rebuilt), the walk and the peaks are also taken with that build's host library (its libbiometric.so.0
# loaded in place of BUILD_DIR's), and the estimator frames with that build's estimator_bench; before and
# after run alternately, twice each, so that both meet the same load. The machine may be shared: the load
# average is printed before every program.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 BUILD_DIR [BEFORE_BUILD_DIR]" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
before="${2:+$(cd "$2" && pwd)}"
root="$(cd "$(dirname "$0")/.." && pwd)"
programs=(search_walk_bench identify_memory_peak estimator_bench)

# An empty build type is the project's default, RelWithDebInfo.
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")"
build_type="${build_type:-RelWithDebInfo}"
sanitize="$(sed -n 's/^KELVRA_SANITIZE:STRING=//p' "$build/CMakeCache.txt")"
if [[ "$build_type" != Release && "$build_type" != RelWithDebInfo ]] || [[ -n "$sanitize" ]]; then
  echo "$build is a '$build_type' build${sanitize:+ with $sanitize}: measure a Release or RelWithDebInfo build" >&2
  exit 2
fi
ninja -C "$build" "${programs[@]}" >/dev/null

errors="$(mktemp "${TMPDIR:-/tmp}/kelvra-bench-errors-XXXXXX")"
trap 'rm -f "$errors"' EXIT
trap 'cat "$errors" >&2' ERR

load() { cut -d' ' -f1-3 /proc/loadavg; }
section() { printf '\n== %s (load average %s) ==\n' "$1" "$(load)"; }

echo "source $(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown), build $build ($build_type)"
echo "machine: $(nproc) processors, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
     "$(uname -sr), $(${CXX:-c++} --version | head -1)"

# walk [LIBDIR]: the walk benchmark, with the host library of LIBDIR when given.
walk() {
  LD_LIBRARY_PATH="${1:-}" "$build/bin/search_walk_bench" 2>"$errors" | sed -E 's/\x1b\[[0-9;]*m//g' |
    sed -n -e '/^clear_template_area.*_median/p' -e '/^per stored template/,$p'
}
peaks() { LD_LIBRARY_PATH="${1:-}" "$build/bin/identify_memory_peak" 100 1000; }
# estimator BUILD [FILTER]
estimator() {
  "$1/bin/estimator_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
      --benchmark_color=false --benchmark_filter="${2:-.}" 2>"$errors" | grep -E '_median'
}

if [[ -z "$before" ]]; then
  section "host-side template walk (search_walk_bench)"
  walk
  section "memory of one identify (identify_memory_peak)"
  peaks
  section "finger-area estimator and presence wait (estimator_bench)"
  estimator "$build"
else
  for round in 1 2; do
    section "walk, round $round: BEFORE (host library of $before)"
    walk "$before/lib"
    section "walk, round $round: AFTER"
    walk
  done
  for round in 1 2; do
    section "memory, round $round: BEFORE"
    peaks "$before/lib"
    section "memory, round $round: AFTER"
    peaks
  done
  for round in 1 2; do
    section "estimator, round $round: BEFORE ($before/bin/estimator_bench)"
    estimator "$before" Estimator
    section "estimator, round $round: AFTER"
    estimator "$build" Estimator
  done
fi
printf '\nload average at the end: %s\n' "$(load)"
