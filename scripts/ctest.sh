#!/usr/bin/env bash
# ctest.sh BUILD_DIR [ctest args...] - runs a build's tests; a test that did not run fails the run, and so
# does a file or folder the tests leave behind in the temporary folder. The tests get a temporary folder
# of their own (TMPDIR, a sticky world-writable folder like /tmp, since some tests run a step as another
# user) that must be empty when they end.
set -uo pipefail
build=$1; shift
log=$(mktemp)
tests_tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-tests-XXXXXX")
chmod 1777 "$tests_tmp"
trap 'rm -f "$log"; rm -rf "$tests_tmp"' EXIT
TMPDIR=$tests_tmp ctest --test-dir "$build" --output-on-failure "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if grep -q "The following tests did not run" "$log"; then
  echo "ctest.sh: some tests were skipped; a skipped test counts as a failure" >&2
  exit 1
fi
if grep -q "No tests were found" "$log"; then
  echo "ctest.sh: no tests ran" >&2
  exit 1
fi
left=$(find "$tests_tmp" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort)
if [ -n "$left" ]; then
  echo "ctest.sh: the tests left these behind in the temporary folder:" >&2
  echo "$left" | head -n 20 >&2
  exit 1
fi
exit "$status"
