#!/usr/bin/env bash
# check-catalogue.sh SOURCE_DIR [DOMAIN] - every message id of a text domain has a zh_CN translation,
# and every translation keeps its id's placeholders.
#   DOMAIN driver (the default): the driver's texts, po/zh_CN.po; and po/en.po, which translates every
#     text the driver has in Chinese for English sessions.
#   DOMAIN kelvractl: kelvractl's own texts and the host's texts it shows, po/kelvractl/zh_CN.po.
set -euo pipefail
src=$1
domain=${2:-driver}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case "$domain" in
  driver)
    po="$src/po/zh_CN.po"
    xgettext --language=C++ --from-code=UTF-8 --keyword=tr -o "$work/ids.pot" "$src"/src/libkelvra/*.cpp
    ;;
  kelvractl)
    po="$src/po/kelvractl/zh_CN.po"
    "$src/scripts/kelvractl-message-ids.sh" "$src" "$work/ids.pot"
    ;;
  *)
    echo "check-catalogue.sh: unknown domain $domain (driver or kelvractl)" >&2
    exit 2
    ;;
esac
msgcmp "$po" "$work/ids.pot"
msgfmt --check-format --check-header -o /dev/null "$po"
if [ "$domain" = driver ]; then
  LC_ALL=C.UTF-8 msggrep --msgid --extended-regexp -e '[一-鿿]' -o "$work/chinese-ids.pot" "$work/ids.pot"
  grep -q '^msgid "..*"' "$work/chinese-ids.pot" || { echo "check-catalogue.sh: no Chinese message id found" >&2; exit 1; }
  msgcmp "$src/po/en.po" "$work/chinese-ids.pot"
  msgfmt --check-format --check-header -o /dev/null "$src/po/en.po"
fi
echo "the $domain catalogue covers every message id"
