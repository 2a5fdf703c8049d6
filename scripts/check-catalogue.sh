#!/usr/bin/env bash
# check-catalogue.sh SOURCE_DIR - every message id the driver translates has a zh_CN translation, and
# every translation keeps its id's placeholders.
set -euo pipefail
src=$1
pot=$(mktemp --suffix=.pot)
trap 'rm -f "$pot"' EXIT
xgettext --language=C++ --from-code=UTF-8 --keyword=tr -o "$pot" "$src"/src/libkelvra/*.cpp
msgcmp "$src/po/zh_CN.po" "$pot"
msgfmt --check-format --check-header -o /dev/null "$src/po/zh_CN.po"
echo "catalogue covers every message id"
