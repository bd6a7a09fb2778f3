#!/bin/sh
# deps.sh GROUP... - makes sure that what the named parts of the build need is here.
#
# The one list of the project's prerequisites, by Debian/Ubuntu package. Each group
# names what one leg needs:
#   build    compiler, CMake, make, zlib, libdeflate, GoogleTest and the JSON reader of
#            the tests (make, make demo, make test, make test-asan, make test-tsan)
#   windows  the MinGW-w64 cross compiler and its zlib (make windows)
#   wine     GoogleTest's sources and Wine, to run the suite on Windows (make test-windows)
#   fuzz     clang and its fuzzer runtime (make fuzz)
#   package  dpkg-shlibdeps, groff and the package checks: lintian, unzip (make package)
#
# Nothing is done when everything is present. Otherwise, as root or where `sudo -n`
# works, the missing packages are installed with apt-get (one update, then one
# non-interactive install), saying so; elsewhere, or with QUILLO_NO_INSTALL=1 in the
# environment, the command to run is printed and the script fails.
set -eu

missing=""
need() {
  case " $missing " in
    *" $1 "*) ;;
    *) missing="$missing $1" ;;
  esac
}
has() { command -v "$1" >/dev/null 2>&1; }
has_glob() {
  for f in $1; do
    [ -e "$f" ] && return 0
  done
  return 1
}

for group in "$@"; do
  case "$group" in
    build)
      has g++ || need g++
      has cmake || need cmake
      has make || need make
      [ -f /usr/include/zlib.h ] || need zlib1g-dev
      [ -f /usr/include/gtest/gtest.h ] || need libgtest-dev
      [ -f /usr/include/libdeflate.h ] || need libdeflate-dev
      [ -f /usr/include/nlohmann/json.hpp ] || need nlohmann-json3-dev
      ;;
    windows)
      has x86_64-w64-mingw32-g++-posix || need g++-mingw-w64-x86-64-posix
      [ -f /usr/x86_64-w64-mingw32/include/zlib.h ] || need libz-mingw-w64-dev
      ;;
    wine)
      [ -f /usr/src/googletest/CMakeLists.txt ] || need googletest
      has wine || { need wine64; need wine; }
      ;;
    fuzz)
      has clang++ || need clang
      has_glob "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" ||
        need libclang-rt-14-dev
      ;;
    package)
      has dpkg-shlibdeps || need dpkg-dev
      has groff || need groff-base
      has lintian || need lintian
      has unzip || need unzip
      ;;
    *)
      echo "deps.sh: unknown group '$group' (build, windows, wine, fuzz, package)" >&2
      exit 2
      ;;
  esac
done

[ -z "$missing" ] && exit 0
missing=${missing# }

if [ "${QUILLO_NO_INSTALL:-}" != 1 ] && has apt-get; then
  if [ "$(id -u)" = 0 ]; then
    as_root=""
  elif has sudo && sudo -n true 2>/dev/null; then
    as_root="sudo -n"
  else
    as_root="no"
  fi
  if [ "$as_root" != no ]; then
    echo "quillo: installing what the build needs: $missing"
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    # shellcheck disable=SC2086
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
    exit 0
  fi
fi

echo "quillo: missing what the build needs: $missing" >&2
echo "quillo: install it with:  sudo apt-get install $missing" >&2
exit 1
