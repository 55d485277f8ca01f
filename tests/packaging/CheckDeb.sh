#!/usr/bin/env bash
# Builds the Debian package from the build folder $1 into the scratch folder $2 and checks its
# name, what it installs and its dependencies, then lintian (errors fail; the rest is printed),
# appstreamcli and desktop-file-validate.
set -euo pipefail
build=$1 out=$2
fail() { echo "CheckDeb: $*" >&2; exit 1; }
rm -rf "$out" && mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$out/tevro-console_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; made: $(ls "$out")"
dpkg-deb -x "$deb" "$out/root"
for f in bin/tevro-console bin/tevro-devsim share/applications/tevro-console.desktop \
         share/icons/hicolor/scalable/apps/tevro-console.svg share/doc/tevro-console/copyright \
         share/man/man1/tevro-console.1.gz share/man/man1/tevro-devsim.1.gz; do
    [ -e "$out/root/usr/$f" ] || fail "not in the package: /usr/$f"
done
for page in "$out"/root/usr/share/man/man1/*.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$page"
    [ -z "$warnings" ] || fail "$page: $warnings"
done
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libqt6widgets6* && $depends == *libc6* ]] || fail "Depends: $depends"
metainfo=$(ls "$out"/root/usr/share/metainfo/*.metainfo.xml) || fail "no AppStream metainfo"
grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in $metainfo"
grep -q "<screenshot" "$metainfo" || fail "no screenshot in $metainfo"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli refuses $metainfo"
desktop-file-validate "$out/root/usr/share/applications/tevro-console.desktop" || fail "desktop entry"
lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' | tee "$out/lintian.log" || true
! grep -q '^E: ' "$out/lintian.log" || fail "lintian reports errors"
echo "CheckDeb: $(basename "$deb") passes"
