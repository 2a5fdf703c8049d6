#!/usr/bin/env bash
# installed_package_test.sh BUILD_DIR SOURCE_DIR - on a machine with the driver package installed, the
# tests that load the module still pass and leave the installed files byte for byte as they were. In a
# private root whose fixed driver directory holds an installed module and the marker of an earlier open,
# and whose update-script folder holds a script, the programs that reach the fixed paths run as CTest
# runs them (each through kelvra-private-root); afterwards every installed file is unchanged and the
# script never ran.
set -uo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-installed-XXXXXX")
trap 'rm -rf "$work"' EXIT
private_root=$build/bin/kelvra-private-root

mkdir -p "$work/installed/driver" "$work/installed/fwupdate"
cp "$build/lib/libkelvra.so" "$work/installed/driver/"
printf 'kept by the package\n' >"$work/installed/driver/KELAUTHENFILE"
printf '#!/bin/sh\necho "$0 ran" >>"%s/script-ran"\n' "$work" >"$work/installed/fwupdate/updateFW.sh"
chmod 755 "$work/installed/fwupdate/updateFW.sh"
cp -a "$work/installed" "$work/before"

"$private_root" --fixed-from "$work/installed" bash -c '
  set -e
  private_root=$1 build=$2 source=$3
  # What the machine has installed is there to be touched.
  cmp -s /usr/share/fwupdate/updateFW.sh "$4/installed/fwupdate/updateFW.sh"
  test -s /usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen/KELAUTHENFILE
  "$private_root" "$build/bin/fixed_paths_tests"
  "$private_root" "$build/bin/module_tests"
  "$private_root" "$build/bin/kelvractl_e2e_tests" \
    --gtest_filter="*ChipMode*:*Demo*:*Unplugged*:*Disabled*:*RecordedSessions*"
  for trace in chip-enroll chip-clean host-enroll; do
    "$private_root" "$build/bin/kelvractl" replay "$source/tests/traces/$trace.trace" >/dev/null
  done
' bash "$private_root" "$build" "$source" "$work" || { echo "FAIL: a test failed with the package installed" >&2; exit 1; }

status=0
diff -r "$work/before" "$work/installed" || { echo "FAIL: an installed file changed" >&2; status=1; }
if [ -e "$work/script-ran" ]; then
  echo "FAIL: the installed update script ran:" >&2
  cat "$work/script-ran" >&2
  status=1
fi
exit $status
