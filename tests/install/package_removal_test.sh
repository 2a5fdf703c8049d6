#!/usr/bin/env bash
# package_removal_test.sh DEB_DIR - installs the driver package into a throwaway root (dpkg --root, the
# maintainer scripts run outside a chroot with DPKG_ROOT set, as they would inside one), lets it hold the
# marker file the driver writes at its first match-on-chip open, and checks what removal and purge leave:
# `dpkg -r` keeps the marker, `dpkg -P` removes it and the driver's folders when nothing else is in
# them, and keeps them with the vendor's SDK in them. Nothing is installed on the machine.
set -uo pipefail
deb=$(ls "$1"/kelvra-dactylen-driver_*.deb)
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-dpkg-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
driver_dir=usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen

dpkg_in() {
  local root=$1; shift
  local force=depends,script-chrootless
  [ "$(id -u)" -eq 0 ] || force=$force,not-root
  dpkg --root="$root" --log="$work/dpkg.log" --force-$force "$@" >>"$work/dpkg.out" 2>&1 ||
    { cat "$work/dpkg.out" >&2; fail "dpkg $* in $root"; }
}

for vendor_sdk in no yes; do
  root=$work/root-$vendor_sdk
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  dpkg_in "$root" -i "$deb"
  [ -e "$root/$driver_dir/libkelvra.so" ] || fail "$root: the module is not installed"
  : >"$root/$driver_dir/KELAUTHENFILE"  # what the first match-on-chip open writes
  [ "$vendor_sdk" = no ] || printf 'the vendor SDK\n' >"$root/$driver_dir/libKelDactylen.so"

  dpkg_in "$root" -r kelvra-dactylen-driver
  [ ! -e "$root/$driver_dir/libkelvra.so" ] || fail "$root: dpkg -r left the module"
  [ -e "$root/$driver_dir/KELAUTHENFILE" ] || fail "$root: dpkg -r removed the marker"

  dpkg_in "$root" -P kelvra-dactylen-driver
  [ ! -e "$root/$driver_dir/KELAUTHENFILE" ] || fail "$root: dpkg -P left the marker"
  if [ "$vendor_sdk" = yes ]; then
    [ -e "$root/$driver_dir/libKelDactylen.so" ] || fail "$root: dpkg -P removed the vendor's SDK"
  else
    left=$(cd "$root" && find usr ! -type d 2>/dev/null | sort)
    [ -z "$left" ] || fail "$root: dpkg -P left $(echo "$left" | tr '\n' ' ')"
    [ ! -e "$root/usr/lib/biometric-authentication" ] || fail "$root: dpkg -P left the driver's folders"
  fi
done
[ "$failures" -eq 0 ] && echo "package_removal_test: dpkg -r keeps the marker, dpkg -P leaves no file of the driver package"
exit $((failures > 0))
