#!/usr/bin/env bash
# The generated manual pages render without a warning from groff (what man runs to show them), and
# scryde.1 has a section for every command scryde lists and every option each command's help names.
# groff is called directly: man's own cache and pipeline add nothing to the check, and once made it
# fail under load.
#   man_pages.sh SCRYDE GENERATED_DIR
set -euo pipefail
scryde=$1 gen=$2
command -v groff >/dev/null || { echo "groff is not installed (scripts/deps installs man-db)"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# A page as man shows it on an 80-column terminal; with "warn", groff's warnings instead.
render() {
  if [ "${2:-}" = warn ]; then
    zcat "$1" | LC_ALL=C.UTF-8 preconv -e UTF-8 | LC_ALL=C.UTF-8 groff -man -Tutf8 -rLL=80n -ww 2>&1 >/dev/null
  else
    zcat "$1" | LC_ALL=C.UTF-8 preconv -e UTF-8 | LC_ALL=C.UTF-8 groff -man -Tutf8 -rLL=80n 2>/dev/null | col -b
  fi
}

for page in scryde ScrydeReader Chekra; do
  [ -f "$gen/$page.1.gz" ] || fail "no $page.1.gz"
  warnings=$(render "$gen/$page.1.gz" warn)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
  text=$(render "$gen/$page.1.gz")
  for section in NAME SYNOPSIS DESCRIPTION; do
    grep -q "^$section" <<<"$text" || fail "$page.1 has no $section"
  done
done

text=$(render "$gen/scryde.1.gz")
commands=$("$scryde" --help | sed -n '/^Commands:/,/^$/p' | awk 'NF > 1 {print $1}')
[ -n "$commands" ] || fail "scryde --help lists no commands"
for command in $commands; do
  grep -q "^   $command\$" <<<"$text" || fail "scryde.1 has no section for $command"
  for option in $("$scryde" "$command" --help | grep -o -- '--[a-z][a-z0-9-]*' | sort -u); do
    sed -n "/^   $command\$/,/^   [a-z]/p" <<<"$text" | grep -q -- "$option" ||
      fail "scryde.1 does not show $command's $option"
  done
done
# The page is read whole before grep looks at it: grep -q stops at the first match, and under pipefail
# the renderer's broken pipe would then fail the check.
reader=$(render "$gen/ScrydeReader.1.gz")
grep -q -- '--open PATH' <<<"$reader" || fail "ScrydeReader.1 does not show --open"
echo "manual pages render cleanly and cover: $(echo $commands)"
