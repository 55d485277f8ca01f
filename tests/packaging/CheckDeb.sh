#!/usr/bin/env bash
# Builds the Debian package from the build folder $1 into the scratch folder $2 and checks it:
# its name, what it installs, lintian (no errors), AppStream and the desktop entry.
set -euo pipefail
build=$1 out=$2
fail() { echo "CheckDeb: $*" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$out/tevro-console_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; made: $(ls "$out")"

dpkg-deb -x "$deb" "$out/root"
for f in usr/bin/tevro-console usr/bin/tevro-devsim \
         usr/share/applications/tevro-console.desktop \
         usr/share/icons/hicolor/scalable/apps/tevro-console.svg \
         usr/share/man/man1/tevro-console.1.gz usr/share/man/man1/tevro-devsim.1.gz \
         usr/share/doc/tevro-console/copyright usr/share/doc/tevro-console/changelog.gz; do
    [ -e "$out/root/$f" ] || fail "not in the package: /$f"
done
metainfo=$(ls "$out"/root/usr/share/metainfo/*.metainfo.xml) || fail "no AppStream metainfo"
# The dependencies come from the libraries the binaries link.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6core6 libqt6widgets6; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
# The manual pages are roff that man formats without complaint.
for page in tevro-console tevro-devsim; do
    gzip -t "$out/root/usr/share/man/man1/$page.1.gz" || fail "$page.1.gz is not gzip"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$out/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null) || true
    [ -z "$warnings" ] || fail "$page(1): $warnings"
done
# The metainfo names this version as its release and a screenshot.
grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in $metainfo"
grep -q "<screenshot" "$metainfo" || fail "no screenshot in $metainfo"

appstreamcli validate --no-net "$metainfo" || fail "appstreamcli refuses $metainfo"
desktop-file-validate "$out/root/usr/share/applications/tevro-console.desktop" ||
    fail "desktop-file-validate refuses the desktop entry"
# Errors fail; warnings and notes are printed for the log.
lintian --tag-display-limit 0 "$deb" >"$out/lintian.log" 2>&1 || true
cat "$out/lintian.log"
if grep -q '^E: ' "$out/lintian.log"; then
    fail "lintian reports errors"
fi
echo "CheckDeb: $(basename "$deb") passes"
