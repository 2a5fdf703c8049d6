#!/usr/bin/env bash
# run-model.sh [STEPS] [SEED] - a campaign of random operation sequences against the driver's invariants,
# in both work modes, with shrunk rerun lines for what it finds.
#
# STEPS (default 1000000) steps in sequences of 60, seeds counted up from SEED (default 1); the sequences
# alternate between match-on-host and match-on-chip mode. Prints every 500 sequences, then the steps run,
# the sequences, the invariant checks, the distinct invariants checked and the findings by invariant.
# BUILD_DIR (default build) is where model_tests is built; MODEL_ARGS adds options of model_tests (for
# example --known-faults-open=none, or --mode chip). Exits non-zero when anything was found.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
steps="${1:-1000000}"
seed="${2:-1}"
ninja -C "$build" model_tests >/dev/null
# shellcheck disable=SC2086
exec "$build/bin/model_tests" --steps "$steps" --seed "$seed" ${MODEL_ARGS:-}
