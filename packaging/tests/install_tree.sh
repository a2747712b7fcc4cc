#!/usr/bin/env bash
# Installs into a temporary prefix, then uses the installed tree from another folder as a user would:
# the installed scryde describes a simulated ORMA image and plays it through the installed plug-ins,
# found through the class registry written at install time and the programs' relative RPATH. The
# tree is then moved, and still works.
#   install_tree.sh CMAKE BUILD_DIR PRIVATE_LIBDIR
set -euo pipefail
cmake=$1 build=$2 private=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
unset SCRYDE_CLASSES SCRYDE_DATA LD_LIBRARY_PATH
export SCRYDE_HOME=$work/home

for f in bin/scryde bin/ScrydeReader bin/Chekra "$private/classes.reg" "$private/libscryde_platform.so" \
         "$private/libscryde_media.so" "$private/libOrmaDisk.so" "$private/libVTMjpegDec.so" \
         share/scryde/bluescreen_PAL.jpg share/scryde/mjpeg.avi share/doc/scryde/README.md share/doc/scryde/copyright \
         share/man/man1/scryde.1.gz share/man/man1/ScrydeReader.1.gz share/man/man1/Chekra.1.gz \
         share/bash-completion/completions/scryde share/applications/scryde-reader.desktop \
         share/applications/scryde-chekra.desktop share/mime/packages/scryde.xml \
         share/icons/hicolor/scalable/apps/scryde-reader.svg; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# Nothing of the tests is installed, and the registry names its modules relative to itself.
[ ! -e "$prefix/$private/libScrydeTestPlugin.so" ] || fail "the tests' plug-in is installed"
registry=$prefix/$private/classes.reg
grep -q '^module=libOrmaDisk.so$' "$registry" || fail "OrmaDisk is not registered"
! grep -q '^module=/' "$registry" || fail "absolute module path in the installed registry"
! grep -q ScrydeTestPlugin "$registry" || fail "the tests' plug-in is registered"
readelf -d "$prefix/bin/scryde" | grep -q 'R.*PATH.*\[\$ORIGIN/' || fail "scryde has no RPATH relative to itself"
! grep -qF "$build" <(readelf -d "$prefix/bin/scryde" "$prefix/$private"/*.so) || fail "RPATH into the build tree"

run_from_elsewhere() {
  local prefix=$1
  mkdir -p "$work/elsewhere" && cd "$work/elsewhere"
  rm -rf rec.orm sheet
  "$prefix/bin/scryde" sim orma rec.orm --image >/dev/null || fail "sim"
  "$prefix/bin/scryde" info rec.orm --json >info.json || fail "info"
  grep -q '"kind": *"orma"' info.json || fail "info says: $(head -c 300 info.json)"
  # The loader's trace shows where every plug-in came from.
  LD_DEBUG=libs LD_DEBUG_OUTPUT=$work/ld "$prefix/bin/scryde" play rec.orm --frames 20 --out sheet --json \
    >play.json || fail "play: $(cat play.json)"
  grep -q '"end"' play.json || fail "play says: $(cat play.json)"
  [ -s sheet/contact-sheet.png ] || fail "no contact sheet"
  local trace
  trace=$(cat "$work"/ld.*)
  rm -f "$work"/ld.*
  for lib in libscryde_platform.so libscryde_media.so libOrmaDisk.so libVTMjpegDec.so libMediaStock.so; do
    grep -F "calling init: $prefix/" <<<"$trace" | grep -qF "$private/$lib" ||
      fail "$lib not loaded from $prefix"
  done
  ! grep -qF "$build" <<<"$trace" || fail "something was loaded from the build tree"
}

run_from_elsewhere "$prefix"
mv "$prefix" "$work/moved"
run_from_elsewhere "$work/moved"
echo "installed tree works from $work/elsewhere, before and after moving it"
