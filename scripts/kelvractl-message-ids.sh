#!/usr/bin/env bash
# kelvractl-message-ids.sh SOURCE_DIR OUTPUT_POT - the message ids of the text domain "kelvractl": what
# kelvractl's sources translate (tr, tr_n, and N_ in its tables), and the host library's English
# texts for its codes, which kelvractl shows through its own catalogue.
set -euo pipefail
src=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
xgettext --language=C++ --from-code=UTF-8 --keyword=tr --keyword=tr_n:1,2 --keyword=N_ \
  --flag=tr:1:c-format --flag=tr_n:1:c-format --flag=tr_n:2:c-format --flag=strf:1:c-format \
  --add-comments=TRANSLATORS --package-name=kelvractl --sort-by-file \
  -o "$work/kelvractl.pot" "$src"/src/kelvractl/*.cpp
# Every literal of the host's texts is a text, but for its C linkage.
xgettext --language=C++ --from-code=UTF-8 --extract-all --omit-header -o "$work/host-all.pot" "$src/src/host/texts.cpp"
msggrep --invert-match --msgid --regexp='^C$' -o "$work/host.pot" "$work/host-all.pot"
msgcat --use-first -o "$out" "$work/kelvractl.pot" "$work/host.pot"
