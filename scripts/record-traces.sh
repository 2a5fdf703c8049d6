#!/usr/bin/env bash
# record-traces.sh BUILD_DIR - records the sessions under tests/traces again, through the recorder over
# the virtual sensor. Run it after an intended change of the driver's calls to the sensor, then commit
# the new traces: the replay suite (ctest -L replay_traces) checks every change against them.
set -euo pipefail
build=${1:?usage: scripts/record-traces.sh BUILD_DIR}
build=$(cd "$build" && pwd)
kelvractl="$build/bin/kelvractl"
out="$(cd "$(dirname "$0")/.." && pwd)/tests/traces"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Clean frames and a brisk finger keep the traces small: a trace stores each distinct frame once.
cat >session.conf <<'CONF'
[Sensor]
Noise=0
CaptureMs=20
[Finger]
StartMs=150
LandMs=80
PressMs=300
LeaveMs=80
AwayMs=300
CONF

record() {  # record NAME KELVRACTL-ARGUMENTS...
  local name=$1
  shift
  rm -f "$out/$name.trace"
  # Relative paths keep the machine's folders out of the recorded command.
  "$kelvractl" --config session.conf --record "$out/$name.trace" "$@" >/dev/null || true
}

# record_interrupted NAME STOP_AFTER_S UNPLUG_AFTER_S|- KELVRACTL-ARGUMENTS...: Ctrl-C after a while,
# with the sensor pulled out first when asked.
record_interrupted() {
  local name=$1 stop_after=$2 unplug_after=$3
  shift 3
  rm -f "$out/$name.trace"
  "$kelvractl" --config session.conf --record "$out/$name.trace" "$@" >/dev/null &
  local pid=$!
  if [ "$unplug_after" != - ]; then
    sleep "$unplug_after"
    "$kelvractl" --db "$db" finger unplug >/dev/null
  fi
  sleep "$stop_after"
  kill -INT "$pid"
  wait "$pid" || true
}

for mode in host chip; do
  db="$mode.db"
  common=(--db "$db" --mode "$mode" --timeout-ms 8000)
  record "$mode-enroll" "${common[@]}" --finger alice enroll --uid 1 --index 0 --name alice
  record "$mode-verify" "${common[@]}" --finger alice verify --uid 1 --index 0
  record "$mode-identify" "${common[@]}" --finger alice identify --uid -1
  record_interrupted "$mode-stop" 1 - "${common[@]}" --finger none identify --uid -1
  record_interrupted "$mode-failing-capture" 1 0.7 "${common[@]}" --finger none identify --uid -1
  record "$mode-clean" "${common[@]}" clean --uid 1
done
ls -l "$out"/*.trace
