#!/usr/bin/env bash
# install-deps.sh [deb] - installs the Debian packages that are missing: those the build and the tests
# need, and with "deb" also those that build and check the Debian packages (make deb).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libglib2.0-dev libsqlite3-dev sqlite3 libmodpbase64-dev
          libgtest-dev libbenchmark-dev zlib1g-dev libpng-dev gettext locales clang libclang-rt-14-dev valgrind
          man-db)
case "${1:-}" in
  "") ;;
  deb) packages+=(debhelper dpkg-dev lintian) ;;
  *) echo "usage: $0 [deb]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else echo "install-deps: need root for: $*" >&2; return 1
  fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The translation tests read the Chinese catalogue, which gettext shows only under a zh_CN locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  echo "install-deps: generating the zh_CN.UTF-8 locale"
  as_root localedef -i zh_CN -f UTF-8 zh_CN.UTF-8 || echo "install-deps: zh_CN.UTF-8 locale not generated" >&2
fi
