#!/usr/bin/env bash
# build-debs.sh [OUT_DIR] - builds the Debian packages of the working tree with
# `dpkg-buildpackage -us -uc -b` in a copy under OUT_DIR (default build-deb/), so that the tree stays
# clean and the packages land in OUT_DIR, then has lintian check them: an error, or a warning that is not
# overridden in debian/ with its reason, fails the run. An override is a line of a
# debian/*.lintian-overrides file; its reason is the comment right above it. Last, the driver package is
# installed, removed and purged in a throwaway root (tests/install/package_removal_test.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "${1:-$root/build-deb}"
out=$(cd "${1:-$root/build-deb}" && pwd)
# Every override says why: a tag line with no comment right above it fails before anything is built.
overrides=()
for f in "$root"/debian/*.lintian-overrides "$root"/debian/source/lintian-overrides; do
  [ ! -e "$f" ] || overrides+=("$f")
done
unexplained=$([ ${#overrides[@]} -eq 0 ] || awk 'FNR == 1 { reason = 0 }
                   /^[[:space:]]*#/ { reason = 1; next }
                   /^[[:space:]]*$/ { reason = 0; next }
                   !reason { print FILENAME ": " $0 }' "${overrides[@]}")
if [ -n "$unexplained" ]; then
  echo "$unexplained"
  echo "build-debs: a lintian override above has no reason (a comment line right above it)" >&2
  exit 1
fi

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
src="$out/kelvra-dactylen-$version"
rm -rf "$src" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$src"

# The sources as git sees them (committed or not, ignored files and build trees left out).
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    tar -C "$root" --null --ignore-failed-read -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$root" --exclude='./build*' --exclude=./obj-* -cf - . | tar -C "$src" -xf -
fi

echo "build-debs: dpkg-buildpackage -us -uc -b in $src (log: $out/build.log)"
if ! (cd "$src" && dpkg-buildpackage -us -uc -b -J"${JOBS:-$(nproc)}") >"$out/build.log" 2>&1; then
  tail -n 60 "$out/build.log"
  echo "build-debs: the package build failed" >&2
  exit 1
fi
rm -rf "$src"
ls -1 "$out"/*.deb

changes=$(ls "$out"/kelvra-dactylen_"$version"_*.changes)
echo "build-debs: lintian $changes"
# Overridden tags are shown (O:) with their reasons; lintian counts them in its exit status, so the
# verdict comes from its lines (2 is lintian's "tags found", anything else beside 0 is lintian itself
# failing).
status=0
lintian --show-overrides --tag-display-limit 0 "$changes" | tee "$out/lintian.log" || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 2 ] || { echo "build-debs: lintian failed ($status)" >&2; exit 1; }
if grep -q '^[EW]:' "$out/lintian.log"; then
  echo "build-debs: lintian reports an error or a warning that debian/ does not override with a reason" >&2
  exit 1
fi
echo "build-debs: lintian reports no error and no warning left unexplained"

# What removal and purge of the driver package leave, in a throwaway root.
"$root/tests/install/package_removal_test.sh" "$out"
