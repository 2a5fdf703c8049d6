#!/usr/bin/env bash
# ctest.sh BUILD_DIR [ctest args...] - runs a build's tests; a test that did not run fails the run.
set -uo pipefail
build=$1; shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
ctest --test-dir "$build" --output-on-failure "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if grep -q "The following tests did not run" "$log"; then
  echo "ctest.sh: some tests were skipped; a skipped test counts as a failure" >&2
  exit 1
fi
if grep -q "No tests were found" "$log"; then
  echo "ctest.sh: no tests ran" >&2
  exit 1
fi
exit "$status"
