#!/bin/bash
# The one message catalogue, of the command line, the host's renderers, the host's unworded messages (host::Message) and the console: `po/messages.sh update` writes po/vanto.pot from the sources;
# `po/messages.sh check` fails when the template is not up to date with the sources, or when a
# message of the template has no Simplified Chinese translation in po/zh_CN.po (plural forms
# included). New entries go at the end of po/zh_CN.po.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
extract() {
  xgettext --from-code=UTF-8 -C --keyword=Tr --keyword=TrFill --keyword=Message --keyword=TrN:1,2 --keyword=TrNFill:1,2 \
    --keyword=TrLater --keyword=TrLaterContext:1c,2 --keyword=TrInContext:2c,3 \
    --keyword=TrIn:2 --keyword=TrInFill:2 --keyword=TrInN:2,3 --keyword=TrInNFill:2,3 --no-location --sort-output --package-name=vanto -o "$1" \
    cli/*.cpp cli/*.h host/*.cpp host/*.h host/*/*.cpp host/*/*.h present/*.cpp present/*.h present/*/*.cpp present/*/*.h web/*.cpp web/*.h
  sed -i 's/charset=CHARSET/charset=UTF-8/' "$1"
}
case "${1:-check}" in
  update) extract po/vanto.pot ;;
  check)
    fresh=$(mktemp)
    trap 'rm -f "$fresh"' EXIT
    extract "$fresh"
    # The same messages in the template as in the sources, both ways.
    msgcmp --use-untranslated "$fresh" po/vanto.pot ||
      { echo "po/vanto.pot lacks messages of the sources: run po/messages.sh update" >&2; exit 1; }
    msgcmp --use-untranslated po/vanto.pot "$fresh" ||
      { echo "po/vanto.pot holds messages the sources no longer use: run po/messages.sh update" >&2; exit 1; }
    # Every one translated (an empty msgstr counts as missing), and the catalogue compiles.
    msgcmp po/zh_CN.po po/vanto.pot 2> >(grep -v "warning: this message is not used" >&2)
    msgfmt --check -o /dev/null po/zh_CN.po
    ;;
  *) echo "usage: po/messages.sh [update|check]" >&2; exit 2 ;;
esac
