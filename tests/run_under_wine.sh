#!/bin/sh
# run_under_wine.sh BUILD_DIR [JOBS] - runs the ctest suite of a Windows cross build
# under Wine, in a fresh Wine prefix of its own that is removed afterwards.
#
# Wine's helper processes would hold ctest's output pipes open (seconds per test),
# and a wine server started cold by the first test can hang ctest: so the prefix is
# made first, a persistent server is started and warmed up with every output on
# /dev/null, and the server is stopped at the end.
set -eu
build=$1
jobs=${2:-2}
command -v wine >/dev/null || { echo "wine is not installed (apt-get install wine64 wine)"; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillo-wine-XXXXXX")
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap stop EXIT INT TERM

wineboot -i </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

cd "$build"
# Now and then a Wine process does not start at all under load, and its test ends
# at once with no output: the tests that failed run once more, on their own. A
# test that fails for a reason of its own fails again and the run stays red.
if ! ctest --output-on-failure --timeout 120 -j "$jobs"; then
  echo "run_under_wine.sh: running the failed tests once more"
  ctest --rerun-failed --output-on-failure --timeout 120 -j 1
fi
