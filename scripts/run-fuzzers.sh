#!/usr/bin/env bash
# run-fuzzers.sh - builds the libFuzzer targets with clang and runs each one for a bounded time.
#
# Usage: scripts/run-fuzzers.sh [SECONDS_PER_TARGET]   (default 60)
# Builds build-fuzz (clang, ASan + UBSan, coverage on the driver and kelvractl's parser), replays the
# saved inputs of earlier findings under fuzz/regressions/<target>/, then fuzzes every target starting
# from a copy of its committed corpus (the committed corpus is never grown). Prints, per target, the
# executions made and "no finding", or the finding with its input. Exits 1 when any target found
# something.
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS_PER_TARGET]" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
targets=(stored_sample_fuzz config_fuzz estimator_fuzz kelvractl_args_fuzz trace_reader_fuzz)

echo "== building the fuzz targets in $build =="
build_log="$(mktemp "${TMPDIR:-/tmp}/kelvra-fuzz-build-XXXXXX")"
if ! { CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DKELVRA_BUILD_FUZZ=ON -DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCH=OFF &&
       ninja -C "$build" "${targets[@]}"; } >"$build_log" 2>&1; then
  tail -n 40 "$build_log"
  rm -f "$build_log"
  echo "the fuzz targets did not build" >&2
  exit 2
fi
rm -f "$build_log"

work="$(mktemp -d "${TMPDIR:-/tmp}/kelvra-fuzz-run-XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Leaks are checked when each fuzzer exits. stored_sample_fuzz also skips libFuzzer's check after each
# input: SQLite's and GLib's caches change the count of live blocks between inputs, which makes that
# check run a full leak scan on nearly every input and cuts the run to a third.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for target in "${targets[@]}"; do
  bin="$build/fuzz/$target"
  out="$work/$target"
  mkdir -p "$out/corpus" "$out/artifacts"
  cp -r "$root/fuzz/corpus/$target/." "$out/corpus/"

  flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$out/artifacts/")
  # A dictionary the build made (from kelvractl's command table) comes before a committed one.
  if [[ -f "$build/fuzz/$target.dict" ]]; then
    flags+=(-dict="$build/fuzz/$target.dict")
  elif [[ -f "$root/fuzz/$target.dict" ]]; then
    flags+=(-dict="$root/fuzz/$target.dict")
  fi
  [[ "$target" == stored_sample_fuzz ]] && flags+=(-detect_leaks=0)

  echo "== $target ($seconds s) =="
  regressions="$root/fuzz/regressions/$target"
  if [[ -d "$regressions" ]] && compgen -G "$regressions/*" >/dev/null; then
    if ! "$bin" -timeout=10 "$regressions"/* >"$out/regressions.log" 2>&1; then
      echo "$target: FINDING: a saved regression input fails again"
      tail -n 40 "$out/regressions.log"
      status=1
      continue
    fi
    echo "$target: $(compgen -G "$regressions/*" | wc -l) saved regression input(s) pass"
  fi

  rc=0
  "$bin" "${flags[@]}" "$out/corpus" >"$out/fuzz.log" 2>&1 || rc=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log" | tail -n 1)"
  per_second="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/fuzz.log" | tail -n 1)"
  found=("$out"/artifacts/*)
  if [[ $rc -eq 0 && ! -e "${found[0]}" ]]; then
    echo "$target: ${execs:-?} executions (${per_second:-?}/s), no finding"
  else
    status=1
    echo "$target: FINDING after ${execs:-?} executions (exit $rc)"
    grep -E '^(FINDING|==[0-9]+==ERROR|SUMMARY)' "$out/fuzz.log" | head -n 5 || true
    for input in "${found[@]}"; do
      [[ -e "$input" ]] || continue
      keep="$build/findings/$target"
      mkdir -p "$keep"
      cp "$input" "$keep/"
      echo "  input kept as $keep/$(basename "$input")"
    done
    tail -n 60 "$out/fuzz.log"
  fi
done

exit "$status"
