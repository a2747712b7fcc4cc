#!/usr/bin/env bash
# The Debian package, made by CPack into a temporary folder: it holds the installed tree under /usr,
# its dependencies were computed from the ELF files, and lintian finds no error in it.
#   package.sh BUILD_DIR PRIVATE_LIBDIR
set -euo pipefail
build=$1 private=$2
for tool in cpack dpkg-deb dpkg-shlibdeps file lintian; do
  command -v $tool >/dev/null || { echo "$tool is not installed (scripts/deps installs it)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(tail -20 "$work/cpack.log")"
deb=$(echo "$work"/scryde_*.deb)
[ -f "$deb" ] || fail "no package in $work"
contents=$(dpkg-deb --contents "$deb" | awk '{print substr($6, 2)}')
for f in /usr/bin/scryde /usr/bin/ScrydeReader /usr/bin/Chekra "/usr/$private/classes.reg" \
         "/usr/$private/libOrmaDisk.so" "/usr/$private/libscryde_platform.so" /usr/share/scryde/bluescreen_PAL.jpg \
         /usr/share/doc/scryde/copyright /usr/share/doc/scryde/changelog.gz /usr/share/man/man1/scryde.1.gz \
         /usr/share/bash-completion/completions/scryde /usr/share/applications/scryde-reader.desktop \
         /usr/share/mime/packages/scryde.xml; do
  grep -qx "$f" <<<"$contents" || fail "the package has no $f"
done
! grep -q -e '/tests\?/' -e ScrydeTestPlugin -e regsvr <<<"$contents" || fail "the package holds test files"
depends=$(dpkg-deb --field "$deb" Depends)
for d in libc6 libstdc++6 libqt6widgets6 libsdl2-2.0-0 libturbojpeg0 libewf2 qt6-qpa-plugins; do
  grep -q "\b$d\b" <<<"$depends" || fail "Depends lacks $d: $depends"
done
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"
echo "$(basename "$deb"): $(wc -l <<<"$contents") entries, Depends: $depends"
