#!/bin/sh
# The round trip on the sample tree: create, list, extract, repack at level 9,
# extract again, and compare both extracted trees with the sample.
set -e
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(dirname "$tool")/demo
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
cp -R "$here/sample" sample

echo '$ quillo (no arguments)'
"$tool" || true
echo
echo '$ quillo -c sample sample.pck'
"$tool" -c sample sample.pck | tr '\r' '\n' | grep -v '^ *$' || true
echo
echo '$ quillo -l sample.pck'
"$tool" -l sample.pck || true
echo '--- sample.lst.txt'
iconv -f UTF-16 -t UTF-8 sample.lst.txt | tr -d '\r'
echo
echo '$ quillo -x sample.pck'
"$tool" -x sample.pck | tr '\r' '\n' | grep -v '^ *$' || true
echo '$ diff -r sample sample.pck.files'
diff -r sample sample.pck.files
echo 'identical'
echo
size_before=$(wc -c < sample.pck)
echo '$ quillo -r -z 9 sample.pck'
"$tool" -r -z 9 sample.pck | tr '\r' '\n' | grep -v '^ *$' || true
echo "size at the default level: $size_before bytes, at level 9: $(wc -c < sample.pck) bytes; backup: sample.pck.old"
rm -rf sample.pck.files
"$tool" -x sample.pck >/dev/null || true
echo '$ quillo -x sample.pck && diff -r sample sample.pck.files'
diff -r sample sample.pck.files
echo 'identical'
