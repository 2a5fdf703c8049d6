#!/usr/bin/env bash
# run-valgrind-demo.sh - runs the whole `kelvractl demo` under valgrind memcheck and prints its summary.
#
# Usage: scripts/run-valgrind-demo.sh BUILD_DIR
# BUILD_DIR is a build without sanitizers (valgrind and ASan do not mix) holding bin/kelvractl and the
# module next to it. Exits 1 when memcheck reports an error or a definite leak, or when the demo itself
# does not pass (a demo that stops early has not run the paths it is meant to check).
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
kelvractl="$build/bin/kelvractl"
if [[ ! -x "$kelvractl" ]]; then
  echo "no $kelvractl: build the project in $build first" >&2
  exit 2
fi
if nm -D "$kelvractl" 2>/dev/null | grep -q '__asan_init\|__tsan_init'; then
  echo "$kelvractl is built with a sanitizer; valgrind needs a plain build" >&2
  exit 2
fi

log="$(mktemp "${TMPDIR:-/tmp}/kelvra-valgrind-XXXXXX")"
out="$(mktemp "${TMPDIR:-/tmp}/kelvra-demo-XXXXXX")"
trap 'rm -f "$log" "$out"' EXIT

suppressions=()
[[ -f "$root/scripts/valgrind.supp" ]] && suppressions=(--suppressions="$root/scripts/valgrind.supp")

# memcheck's verdict is read from its log, since its exit code 1 and the demo's own may look alike.
rc=0
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1 \
  --num-callers=40 --track-fds=no "${suppressions[@]}" --log-file="$log" \
  "$kelvractl" demo >"$out" 2>&1 || rc=$?

echo "== kelvractl demo =="
grep -E 'steps behaved|Demo (passed|FAILED)' "$out" || tail -n 20 "$out"
echo "== memcheck =="
sed -n 's/^==[0-9]*== //p' "$log" | grep -E '^(HEAP SUMMARY|    in use at exit|  total heap usage|LEAK SUMMARY| +(definitely|indirectly|possibly) lost| +still reachable| +suppressed|ERROR SUMMARY)' || true

errors="$(sed -n 's/^==[0-9]*== ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)"
definite="$(sed -n 's/^==[0-9]*==    definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)"
if [[ -z "$errors" ]]; then
  echo "memcheck did not finish; its log:" >&2
  cat "$log" >&2
  exit 1
fi
if [[ "$errors" != 0 || "${definite:-0}" != 0 ]]; then
  echo "== memcheck reports =="
  sed -n 's/^==[0-9]*== //p' "$log" | sed -n '/are definitely lost/,/^$/p' | head -n 200
  sed -n 's/^==[0-9]*== //p' "$log" | sed -n '1,/^HEAP SUMMARY/p' | grep -B1 -A30 -E '^(Invalid|Conditional|Use of|Syscall|Mismatched|Source and destination)' | head -n 200
  echo "valgrind: memory errors or definite leaks in kelvractl demo"
  exit 1
fi
if [[ $rc -ne 0 ]]; then
  tail -n 40 "$out"
  echo "valgrind: clean, but kelvractl demo exited with $rc"
  exit 1
fi
echo "valgrind: no memory errors, no definite leaks"
