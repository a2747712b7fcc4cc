#!/usr/bin/env bash
# The generated manual pages render without a warning from man and groff, and scryde.1 has a section
# for every command scryde lists and every option each command's help names.
#   man_pages.sh SCRYDE GENERATED_DIR
set -euo pipefail
scryde=$1 gen=$2
command -v man >/dev/null || { echo "man is not installed (scripts/deps installs man-db)"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

for page in scryde ScrydeReader Chekra; do
  [ -f "$gen/$page.1.gz" ] || fail "no $page.1.gz"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$gen/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$gen/$page.1.gz" 2>/dev/null | col -b)
  for section in NAME SYNOPSIS DESCRIPTION; do
    grep -q "^$section" <<<"$text" || fail "$page.1 has no $section"
  done
done

text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$gen/scryde.1.gz" 2>/dev/null | col -b)
commands=$("$scryde" --help | sed -n '/^Commands:/,/^$/p' | awk 'NF > 1 {print $1}')
[ -n "$commands" ] || fail "scryde --help lists no commands"
for command in $commands; do
  grep -q "^   $command\$" <<<"$text" || fail "scryde.1 has no section for $command"
  for option in $("$scryde" "$command" --help | grep -o -- '--[a-z][a-z0-9-]*' | sort -u); do
    sed -n "/^   $command\$/,/^   [a-z]/p" <<<"$text" | grep -q -- "$option" ||
      fail "scryde.1 does not show $command's $option"
  done
done
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$gen/ScrydeReader.1.gz" | col -b | grep -q -- '--open PATH' ||
  fail "ScrydeReader.1 does not show --open"
echo "manual pages render cleanly and cover: $(echo $commands)"
