#!/usr/bin/env bash
# man_page_lint.sh PAGE - renders a manual page as man-db and lintian do (UTF-8, 80 columns, groff's
# warnings on) and fails on any message: a line roff cannot break or adjust, an unknown request, a
# broken escape.
set -euo pipefail
messages=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 >/dev/null)
if [ -n "$messages" ]; then
  echo "$messages"
  exit 1
fi
echo "$1 renders without a message"
