#!/usr/bin/env bash
# install_test.sh BUILD_DIR - an install under DESTDIR puts the module and the SDK in the driver's
# directory and gives the module that directory, and nothing else, as its run path.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
dir="$stage/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen"
for f in libkelvra.so libKelDactylen.so; do
  [ -f "$dir/$f" ] || { echo "missing $dir/$f"; exit 1; }
done
runpath=$(readelf -d "$dir/libkelvra.so" | sed -n 's/.*runpath: \[\(.*\)\]/\1/p')
[ "$runpath" = "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen" ] || {
  echo "installed module's run path is '$runpath'"; exit 1; }
[ -f "$stage/usr/share/locale/zh_CN/LC_MESSAGES/biometric-driver-kelvra-dactylen.mo" ] || {
  echo "catalogue not installed"; exit 1; }
for f in bio_host.h kelfpscan.h; do [ -f "$stage/usr/include/$f" ] || { echo "missing header $f"; exit 1; }; done
for f in biometric-host.pc kelfpscan.pc; do
  [ -n "$(find "$stage/usr" -path "*/pkgconfig/$f")" ] || { echo "missing $f"; exit 1; }
done
echo "installed layout and run path as expected"
