#!/bin/sh
# Times the tool on a generated tree of many small files: create at -1 and 9,
# list, extract, repack at -1 and at 9. Prints seconds per step for one run.
set -e
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
scratch=$(mktemp -d /tmp/quillo-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
python3 - <<'PY'
import os, random
r = random.Random(3)
words = [b"alpha", b"beta", b"gamma", b"delta", b"\n", b" ", b"0123", b"npc", b"model"]
for d in range(40):
    os.makedirs(f"tree/d{d:02}", exist_ok=True)
    for f in range(50):
        size = r.choice([0, 100, 900, 3000, 20000])
        data = b"".join(r.choice(words) for _ in range(size // 4))
        open(f"tree/d{d:02}/f{f:03}.txt", "wb").write(data)
PY
step() {
  label=$1; shift
  start=$(date +%s.%N)
  "$tool" "$@" >/dev/null || true
  end=$(date +%s.%N)
  awk -v l="$label" -v s="$start" -v e="$end" 'BEGIN { printf "%-28s %6.3f s\n", l, e - s }'
}
step "create 2000 files, -z -1" -c tree a.pck
step "create 2000 files, -z 9" -z 9 -c tree b.pck
step "list" -l a.pck
step "extract" -x a.pck
step "repack -z -1" -r a.pck
rm -f a.pck.old
step "repack -z 9" -r -z 9 a.pck
ls -l a.pck b.pck | awk '{print $5, $9}'
