#!/usr/bin/env bash
# run-unpacked-demo.sh DEB_DIR - unpacks the project's .deb files (dpkg-deb -x) into a temporary root
# and runs the packages' own test (debian/tests/demo: `kelvractl demo`) on that root, with no environment
# besides a PATH that starts at the root's usr/bin. Nothing is installed on the machine.
set -euo pipefail
root_dir=$(cd "$(dirname "$0")/.." && pwd)
debs=("$1"/kelvra-dactylen-*.deb)
[ -e "${debs[0]}" ] || { echo "run-unpacked-demo: no kelvra-dactylen-*.deb in $1" >&2; exit 2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/root" "$tmp/work"
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$tmp/root"
  echo "run-unpacked-demo: unpacked $(basename "$deb")"
done
if env -i PATH="$tmp/root/usr/bin:/usr/bin:/bin" AUTOPKGTEST_TMP="$tmp/work" "$root_dir/debian/tests/demo" \
     >"$tmp/demo.out" 2>&1; then
  tail -n 1 "$tmp/demo.out"
else
  tail -n 40 "$tmp/demo.out"
  echo "run-unpacked-demo: kelvractl demo failed from the unpacked packages" >&2
  exit 1
fi
