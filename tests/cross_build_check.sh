#!/bin/sh
# cross_build_check.sh LINUX_TOOL WINDOWS_TOOL WINE SAMPLE_DIR - the Linux and the
# Windows build of the tool write the same package bytes from the same tree at the
# same level whenever they list its files in the same order, and each extracts the
# packages of the other back to the tree.
#
# In a tree with one item per folder the order is fixed on every host, so there the
# packages must be identical; for the trees with more items in a folder (the sample,
# and one file and one folder per folder) they must be identical when both
# packages list their entries in the same order. With --sort every folder is taken
# in NTFS's order on both hosts, so there the packages must be identical always.
set -eu
linux=$1
windows=$2
wine=$3
sample=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/quillo-cross-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# The tool's exit status is 1 whatever happens; its output is checked elsewhere.
# Paths are relative: on Windows an argument that begins with '/' is an option.
on_linux() { "$linux" "$@" </dev/null >/dev/null 2>&1 || true; }
on_windows() { "$wine" "$windows" "$@" </dev/null >/dev/null 2>&1 || true; }

# One item per folder: a chain of folders with code page 936 names, text that
# compresses, bytes that do not, an empty file.
mkdir -p chain/数据/子 noise empty/e
seq 1 4000 | sed 's/$/ 说明文字/' >chain/数据/子/说明.txt
head -c 30000 /dev/urandom >noise/noise.bin
: >empty/e/empty.txt
cp -R "$sample" sample
mkdir -p deep/s/t
echo one >deep/f1.txt
head -c 5000 /dev/urandom >deep/s/f2.bin
seq 1 999 >deep/s/t/f3.txt

for tree in chain noise empty deep sample; do
  for level in -1 0 1 9; do
    what="$tree at level $level"
    rm -rf l.pck w.pck l.lst.txt w.lst.txt x*.pck*
    on_linux -c "$tree" -z "$level" l.pck
    on_windows -c "$tree" -z "$level" w.pck
    [ -s l.pck ] || fail "$what: the Linux tool wrote no package"
    [ -s w.pck ] || fail "$what: the Windows tool wrote no package"
    on_linux -l l.pck
    on_linux -l w.pck
    if cmp -s l.lst.txt w.lst.txt; then
      cmp -s l.pck w.pck || fail "$what: same entry order, different package bytes"
      same="identical"
    elif [ "$tree" = sample ] || [ "$tree" = deep ]; then
      same="listed in another order"
    else
      fail "$what: one item per folder, yet another entry order"
      same="different"
    fi
    cp l.pck xl.pck
    cp w.pck xw.pck
    on_windows -x xl.pck
    on_linux -x xw.pck
    diff -r "$tree" xl.pck.files >/dev/null || fail "$what: Windows extraction of the Linux package"
    diff -r "$tree" xw.pck.files >/dev/null || fail "$what: Linux extraction of the Windows package"
    echo "$what: $(wc -c <l.pck) bytes, $same; each extracts the other's"
  done
done
# --sort: a tree with many items in a folder, whose names order differently by case,
# digits, '_', non-ASCII letters and folders among the files, made in an order that
# is not NTFS's. Both hosts write the same bytes, with the entries in NTFS's order.
mkdir -p order/B order/中
for name in ab Zed B/_.txt 9.txt 中/文.txt é.txt Б.txt a.b Ａ.txt B/Y.txt _x α.txt 10.txt \
  а.txt c.txt 中/a.txt ü.txt ё.txt ax B/z.txt ｂ.txt Β.txt a; do
  seq 1 300 | sed "s|^|$name |" >"order/$name"
done
expected='10.txt 9.txt a a.b ab ax B\Y.txt B\z.txt B\_.txt c.txt Zed _x é.txt ü.txt α.txt Β.txt ё.txt а.txt Б.txt 中\a.txt 中\文.txt Ａ.txt ｂ.txt '
names() { "$linux" --ls "$1" | sed '$d' | awk '{print $NF}' | tr '\n' ' '; }
"$linux" -c order -- h.pck >/dev/null 2>&1 </dev/null || fail "order: the Linux tool failed"
if [ "$(names h.pck)" = "$expected" ]; then
  echo "order: this host lists the tree in NTFS's order already"
else
  echo "order: this host lists the tree in another order than NTFS's"
fi
for tree in order sample deep; do
  for level in -1 0 9; do
    what="$tree with --sort at level $level"
    rm -f l.pck w.pck
    "$linux" -c "$tree" -z "$level" --sort l.pck </dev/null >/dev/null 2>&1 ||
      fail "$what: the Linux tool failed"
    "$wine" "$windows" -c "$tree" -z "$level" --sort w.pck </dev/null >/dev/null 2>&1 ||
      fail "$what: the Windows tool failed"
    cmp -s l.pck w.pck || fail "$what: different package bytes"
    if [ "$tree" = order ] && [ "$(names l.pck)" != "$expected" ]; then
      fail "$what: entries in the order $(names l.pck)"
    fi
    echo "$what: $(wc -c <l.pck) bytes, identical"
  done
done
[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
