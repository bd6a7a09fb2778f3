#!/bin/sh
# The prerequisite check of tools/deps.sh, on a PATH made up for each case: what it
# says, and whether it installs (through a stand-in apt-get that only records).
set -u
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# make_path DIR UID SUDO_OK COMMAND...: a PATH holding stand-ins for `id`, `sudo`,
# `apt-get` and the commands named; `env` is the real one.
make_path() {
  dir=$1 uid=$2 sudo_ok=$3
  shift 3
  mkdir -p "$dir"
  printf '#!/bin/sh\necho %s\n' "$uid" >"$dir/id"
  # sudo: refuses (SUDO_OK 1) or runs the command (0) without asking.
  printf '#!/bin/sh\n[ "$1" = -n ] && shift\n[ %s = 0 ] || exit 1\nexec "$@"\n' "$sudo_ok" >"$dir/sudo"
  printf '#!/bin/sh\necho "$*" >>"%s/apt.log"\n' "$work" >"$dir/apt-get"
  for c in true "$@"; do printf '#!/bin/sh\nexit 0\n' >"$dir/$c"; done
  chmod +x "$dir"/*
  ln -s "$(command -v env)" "$dir/env"
}

# check NAME EXPECTED_STATUS EXPECTED_OUTPUT EXPECTED_APT_LOG PATH [ENV...]
check() {
  name=$1 want_status=$2 want_out=$3 want_apt=$4 path=$5
  shift 5
  rm -f "$work/apt.log"
  out=$(env -i PATH="$path" "$@" /bin/sh "$script" build 2>&1)
  status=$?
  apt=$(cat "$work/apt.log" 2>/dev/null || true)
  if [ "$status" != "$want_status" ] || [ "$out" != "$want_out" ] || [ "$apt" != "$want_apt" ]; then
    echo "FAIL $name: status $status (want $want_status)"
    echo "  output: [$out]"
    echo "  want:   [$want_out]"
    echo "  apt-get calls: [$apt]"
    echo "  want:          [$want_apt]"
    failed=1
  else
    echo "ok   $name"
  fi
}

make_path "$work/user" 1000 1 g++ make
make_path "$work/root" 0 1 g++ make
make_path "$work/sudoer" 1000 0 g++ make
make_path "$work/complete" 1000 1 g++ make cmake

missing_msg="quillo: missing what the build needs: cmake
quillo: install it with:  sudo apt-get install cmake"

check "no cmake, not allowed to install" 1 "$missing_msg" "" "$work/user"
check "no cmake, QUILLO_NO_INSTALL as root" 1 "$missing_msg" "" "$work/root" QUILLO_NO_INSTALL=1
check "no cmake, as root" 0 "quillo: installing what the build needs: cmake" \
  "update -qq
install -y -qq cmake" "$work/root"
check "no cmake, sudo -n works" 0 "quillo: installing what the build needs: cmake" \
  "update -qq
install -y -qq cmake" "$work/sudoer"
check "everything present" 0 "" "" "$work/complete"

exit $failed
