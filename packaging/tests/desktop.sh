#!/usr/bin/env bash
# The desktop entries validate; launched on a recording, the reader's entry runs
# `ScrydeReader --open FILE` (and plain `ScrydeReader` from the menu); the MIME types map the
# recordings' extensions.
#   desktop.sh DESKTOP_DIR
set -euo pipefail
dir=$1
for tool in desktop-file-validate update-mime-database gio; do
  command -v $tool >/dev/null || { echo "$tool is not installed (scripts/deps installs it)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for entry in scryde-reader scryde-chekra; do
  out=$(desktop-file-validate "$dir/$entry.desktop" 2>&1) || fail "$entry.desktop: $out"
  [ -z "$out" ] || fail "$entry.desktop: $out"
  icon=$(sed -n 's/^Icon=//p' "$dir/$entry.desktop")
  xmllint --noout "$dir/$icon.svg" 2>/dev/null || grep -q '<svg' "$dir/$icon.svg" || fail "no icon $icon.svg"
done

# A stand-in reader that records its arguments, launched the way a file manager launches the entry.
mkdir "$work/bin"
printf '#!/bin/sh\nprintf "%%s|" "$@" > "$ARGS_OUT.tmp" && mv "$ARGS_OUT.tmp" "$ARGS_OUT"\n' >"$work/bin/ScrydeReader"
chmod +x "$work/bin/ScrydeReader"
launch() {
  rm -f "$work/args"
  PATH=$work/bin:$PATH ARGS_OUT=$work/args gio launch "$dir/scryde-reader.desktop" "$@" 2>/dev/null
  for _ in $(seq 50); do [ -f "$work/args" ] && break; sleep 0.1; done
  cat "$work/args" 2>/dev/null || fail "the entry did not start the reader"
}
[ "$(launch "$work/my recording.tav")" = "--open|$work/my recording.tav|" ] || fail "opened with: $(launch "$work/my recording.tav")"
[ "$(launch)" = "|" ] || fail "started from the menu with: $(launch)"

mkdir -p "$work/mime/packages"
cp "$dir/scryde.xml" "$work/mime/packages/"
update-mime-database "$work/mime" >"$work/mime.log" 2>&1 || fail "update-mime-database: $(cat "$work/mime.log")"
for pair in orm:application/x-scryde-orma-image avr:application/x-scryde-orma-image \
            tav:application/x-scryde-tav-image arv:application/x-scryde-stream; do
  grep -q ":${pair#*:}:\*\.${pair%%:*}$" "$work/mime/globs2" || fail "*.${pair%%:*} is not ${pair#*:}"
  grep -q "^MimeType=.*${pair#*:};" "$dir/scryde-reader.desktop" || fail "the reader does not open ${pair#*:}"
done
echo "desktop entries valid, reader launched with --open, MIME globs registered"
