#!/bin/bash
# The bash completion of quillo, driven through bash's own machinery: the function
# that `complete -p quillo` names is called with COMP_WORDS and COMP_CWORD as bash
# would set them, in a folder of known files.
set -u
export LC_ALL=C
source "$1" || exit 1
registered=$(complete -p quillo) || { echo "FAIL: no completion registered for quillo"; exit 1; }
function=$(sed -n 's/.*-F \([^ ]*\) .*/\1/p' <<<"$registered")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir -p data/sub "my games"
touch game.pck OTHER.PCK notes.txt "my games/x.pck" data/a.txt

failed=0
# check "WORDS..." EXPECTED: the last word is the one being completed; the expected
# candidates are sorted and joined with spaces.
check() {
  local line=$1 want=$2
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "$function" quillo "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
  if [[ $got != "$want" ]]; then
    echo "FAIL [$line]: got [$got], want [$want]"
    failed=1
  else
    echo "ok   [$line]"
  fi
}

check "quillo -z " "-1 0 1 2 3 4 5 6 7 8 9"
check "quillo -z 1" "1"
check "quillo --v" "--version"
check "quillo --in" "--include"
check "quillo -" "--add --cat --delete --exclude --files-from --help --include --json --ls --sort --test --to --version -c -d -l -r -v -x -z"
check "quillo -c " "data my games"
check "quillo -c d" "data"
check "quillo -c data --so" "--sort"
check "quillo -c data --sort " "OTHER.PCK data game.pck my games"
check "quillo -x --to " "data my games"
check "quillo -x " "OTHER.PCK data game.pck my games"
check "quillo -x g" "game.pck"
check "quillo -r my" "my games"
check "quillo --files-from n" "notes.txt"
check "quillo --include " ""
check "quillo --ad" "--add"
check "quillo --add " "data my games"
check "quillo --add data " "OTHER.PCK data game.pck my games"
check "quillo --delete " ""
check "quillo --delete sub -z 1 g" "game.pck"
exit $failed
