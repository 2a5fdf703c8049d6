#!/usr/bin/env bash
# install_test.sh BUILD_DIR TEST_DIR - installs the build into a DESTDIR tree (prefix /usr) and into a
# prefix of its own. Each must hold the module in the driver directory with exactly that folder of the
# system as its run path, keep the stand-in libraries in the private folder (a libbiometric.so* anywhere
# else would replace the host framework's library, a libKelDactylen.so in the driver directory the
# vendor's SDK), run `kelvractl demo` with no environment variable, speak Chinese from both catalogues
# in a zh_CN session, and build a C program from its .pc files. The virtual sensor becomes the system's sensor only when asked, never over a foreign file.
set -uo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

libdir=$(cache CMAKE_INSTALL_LIBDIR)
private="$libdir/kelvra-dactylen"
tools="$(cache CMAKE_INSTALL_LIBEXECDIR)/kelvra-dactylen"
driver_dir=$(cache KELVRA_DRIVER_DIR)
system_driver_dir=/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen

DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 &&
  cmake --install "$build" --prefix "$work/prefix" >>"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }

runpath() { readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; }

for root in "$work/stage/usr" "$work/prefix"; do
  for f in "$driver_dir/libkelvra.so" "$private/libbiometric.so.0" "$private/libKelDactylen.so" \
           "$tools/kelvractl" bin/kelvractl include/kelvra-dactylen/bio_host.h include/kelvra-dactylen/kelfpscan.h \
           share/locale/zh_CN/LC_MESSAGES/biometric-driver-kelvra-dactylen.mo \
           share/locale/zh_CN/LC_MESSAGES/kelvractl.mo share/man/man1/kelvractl.1 \
           "$libdir/pkgconfig/biometric-host.pc" "$libdir/pkgconfig/kelfpscan.pc"; do
    [ -e "$root/$f" ] || fail "$root: $f not installed"
  done
  [ "$(runpath "$root/$driver_dir/libkelvra.so")" = "$system_driver_dir" ] ||
    fail "$root: the module's run path is '$(runpath "$root/$driver_dir/libkelvra.so")'"
  IFS=: read -ra entries <<<"$(runpath "$root/$tools/kelvractl")"
  for entry in "${entries[@]}"; do
    [[ $entry == '$ORIGIN'/* ]] || fail "$root: kelvractl's run path holds '$entry'"
  done

  # Files of the host framework, the vendor's SDK and other packages' headers.
  while IFS= read -r f; do
    fail "$root: ${f#"$root"/} would replace the host framework's library"
  done < <(find "$root" -name 'libbiometric.so*' -not -path "$root/$private/*")
  [ ! -e "$root/$driver_dir/libKelDactylen.so" ] || fail "$root: the virtual sensor lies where the vendor's SDK does"
  while IFS= read -r f; do
    fail "$root: ${f#"$root"/} lies at the top of include/"
  done < <(find "$root/include" -maxdepth 1 -type f)

  export PKG_CONFIG_PATH="$root/$libdir/pkgconfig"
  [ "$(realpath -m "$(pkg-config --variable=libdir kelfpscan)")" = "$root/$private" ] ||
    fail "$root: kelfpscan.pc names libdir $(pkg-config --variable=libdir kelfpscan)"
  # shellcheck disable=SC2046  # the flags are words
  cc -o "$work/contract_user" "$here/contract_user.c" $(pkg-config --cflags --libs biometric-host kelfpscan) \
    >"$work/cc.log" 2>&1 || fail "$root: building from the .pc files: $(cat "$work/cc.log")"
  unset PKG_CONFIG_PATH
done

# kelvractl through the link on the PATH of the DESTDIR tree and from its private home in the prefix;
# the two demos run side by side (each takes tens of seconds of finger timelines, not CPU).
demo() { env -i PATH=/usr/bin:/bin "$1" demo >"$2" 2>&1; }
demo "$work/stage/usr/bin/kelvractl" "$work/stage.out" & stage_demo=$!
demo "$work/prefix/$tools/kelvractl" "$work/prefix.out" & prefix_demo=$!
wait "$stage_demo" || fail "demo from the DESTDIR tree: $(tail -n 5 "$work/stage.out")"
wait "$prefix_demo" || fail "demo from the prefix: $(tail -n 5 "$work/prefix.out")"

# A zh_CN session speaks Chinese from both catalogues installed beside kelvractl: its own, and the
# driver's, which the module looks for under the prefix the build was configured for until kelvractl
# points it at the one that came with it. (An enrollment with no finger: the driver's first prompt,
# then a time-out, in a second.)
zh_session() {
  env -i PATH=/usr/bin:/bin LANGUAGE=zh_CN LC_ALL=zh_CN.UTF-8 "$1" --db :memory: --timeout-ms 200 \
    enroll --uid 1 --name x 2>&1
}
for kelvractl in "$work/stage/usr/bin/kelvractl" "$work/prefix/$tools/kelvractl"; do
  said=$(zh_session "$kelvractl")
  while IFS='|' read -r domain text; do
    [[ $said == *"$text"* ]] || fail "$kelvractl in zh_CN: no '$text' from the $domain catalogue: $said"
  done <<'CASES'
kelvractl|正在录入用户 1 的手指 0
kelvractl|超时前没有检测到手指
driver|正在采集指纹，请按压手指的不同部位
CASES
done

# --vendor-sdk leaves the virtual sensor out and takes the vendor's SDK in the system's driver directory,
# which holds none here (the test runs in a private root): kelvractl says so and never falls back to the
# virtual sensor installed with it.
env -i PATH=/usr/bin:/bin "$work/stage/usr/bin/kelvractl" --vendor-sdk discover >"$work/vendor.out" 2>&1
status=$?
if [ "$status" -ne 3 ] || ! grep -q "there is no vendor's SDK $system_driver_dir/libKelDactylen.so" "$work/vendor.out"; then
  fail "--vendor-sdk without a vendor's SDK (exit $status): $(cat "$work/vendor.out")"
fi

# The explicit option: what lies in the driver directory before -> whether the install goes on.
system_sdk="$work/system/usr/$driver_dir/libKelDactylen.so"
install_as_system_sdk() {
  DESTDIR="$work/system" cmake -DCMAKE_INSTALL_PREFIX=/usr -DKELVRA_INSTALL_VIRTUAL_SENSOR_AS_SYSTEM_SDK=ON \
    -P "$build/src/virtual-sensor/cmake_install.cmake" >"$work/system.log" 2>&1
}
sdk_state() { ls -l "$system_sdk" 2>/dev/null; md5sum <"$system_sdk" 2>/dev/null; }
while read -r before expected; do
  case $before in
    vendor-file) printf 'vendor SDK\n' >"$system_sdk" ;;
    vendor-link) rm -f "$system_sdk"; ln -s "$build/lib/libKelDactylen.so" "$system_sdk" ;;
  esac
  kept=$(sdk_state)
  if install_as_system_sdk; then outcome=installed; else outcome=refused; fi
  [ "$outcome" = "$expected" ] || fail "system sensor over $before: $outcome, not $expected: $(tail -n 5 "$work/system.log")"
  if [ "$expected" = installed ]; then
    cmp -s "$system_sdk" "$build/lib/libKelDactylen.so" || fail "system sensor over $before: not the virtual sensor"
  else
    [ "$(sdk_state)" = "$kept" ] || fail "system sensor over $before: file changed"
  fi
done <<'CASES'
nothing installed
virtual-sensor installed
vendor-file refused
vendor-link refused
CASES

[ "$failures" -eq 0 ] || { echo "$failures install check(s) failed"; exit 1; }
echo "installs into a DESTDIR tree and a prefix: layout, run paths, demos, pkg-config and the system sensor as expected"
