#!/usr/bin/env python3
"""gen_upcase_table.py [UnicodeData.txt] - writes lib/ntfs_upcase_table.inc.

NTFS keeps one upcase table per volume: for each of the 65536 UTF-16 code units,
the unit that a name's unit becomes before names are compared. The table built
here holds Unicode's simple uppercase mapping of every unit of the Basic
Multilingual Plane that has one: field 12 of UnicodeData.txt, where the mapping is
a single code point inside the plane. Surrogate units, and every unit without such
a mapping (digits, punctuation, CJK, U+00DF sharp s, the titlecase letters),
map to themselves.

Source of the mapping, in this order:
  1. the UnicodeData.txt given as the argument, or /usr/share/unicode/UnicodeData.txt
     (Debian's unicode-data package) when it is there;
  2. otherwise Python's own character database: str.upper() of each unit where it
     gives a single code point inside the plane. str.upper() applies the full
     mapping, so the 27 Greek letters with ypogegrammeni (U+1F80..U+1FF3), whose
     full uppercase is two characters, then keep themselves where field 12 maps
     them to the letters with prosgegrammeni; the script says so when it falls back.

The table is stored as runs, not as 64K units: a run is (first, last, stride,
delta): every stride-th unit from first to last maps to itself plus delta (modulo
65536). Stride 1 covers blocks such as a-z, stride 2 the alternating pairs of
Latin Extended-A and Cyrillic.

Run from the root of the repository: python3 tools/gen_upcase_table.py
"""

import os
import re
import sys
import unicodedata

OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib",
                      "ntfs_upcase_table.inc")
DEFAULT_SOURCE = "/usr/share/unicode/UnicodeData.txt"


def is_surrogate(unit):
    return 0xD800 <= unit <= 0xDFFF


def mapping_from_file(path):
    """unit -> simple uppercase unit, from field 12 of UnicodeData.txt."""
    mapping = {}
    with open(path, encoding="ascii") as data:
        for line in data:
            fields = line.rstrip("\n").split(";")
            if len(fields) < 15 or not fields[12]:
                continue
            unit = int(fields[0], 16)
            upper = int(fields[12], 16)
            if unit <= 0xFFFF and upper <= 0xFFFF and not is_surrogate(unit) and upper != unit:
                mapping[unit] = upper
    return mapping


def unicode_version_of(path):
    """The version in the first line of DerivedAge.txt beside the file, if it is there."""
    candidate = os.path.join(os.path.dirname(path), "DerivedAge.txt")
    if os.path.exists(candidate):
        with open(candidate, encoding="utf-8", errors="replace") as text:
            found = re.search(r"DerivedAge-(\d+\.\d+\.\d+)\.txt", text.readline())
            if found:
                return found.group(1)
    return "of unknown version"


def mapping_from_python():
    mapping = {}
    for unit in range(0x10000):
        if is_surrogate(unit):
            continue
        upper = chr(unit).upper()
        if len(upper) == 1 and ord(upper) <= 0xFFFF and ord(upper) != unit:
            mapping[unit] = ord(upper)
    return mapping


def build_runs(mapping):
    """Greedy runs of (first, last, stride, delta) that cover exactly `mapping`."""
    units = sorted(mapping)
    runs = []
    i = 0
    while i < len(units):
        first = units[i]
        delta = (mapping[first] - first) % 0x10000
        stride = 0
        last = first
        j = i + 1
        while j < len(units):
            unit = units[j]
            if (mapping[unit] - unit) % 0x10000 != delta:
                break
            step = unit - last
            if stride == 0 and step in (1, 2):
                stride = step
            elif step != stride:
                break
            last = unit
            j += 1
        runs.append((first, last, stride or 1, delta))
        i = j
    return runs


def check(runs, mapping):
    for unit in range(0x10000):
        expected = mapping.get(unit, unit)
        got = unit
        for first, last, stride, delta in runs:
            if first <= unit <= last and (unit - first) % stride == 0:
                got = (unit + delta) % 0x10000
                break
        if got != expected:
            sys.exit("run table wrong at U+%04X" % unit)


def main():
    source = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_SOURCE
    if os.path.exists(source):
        mapping = mapping_from_file(source)
        origin = "field 12 (simple uppercase\n// mapping) of UnicodeData.txt, Unicode %s" % unicode_version_of(source)
    else:
        if len(sys.argv) > 1:
            sys.exit("%s: no such file" % source)
        print("no %s: using Python's str.upper(), Unicode %s; the Greek letters with "
              "ypogegrammeni map to themselves" % (DEFAULT_SOURCE, unicodedata.unidata_version),
              file=sys.stderr)
        mapping = mapping_from_python()
        origin = "Python's str.upper() of single\n// code points, Unicode %s" % unicodedata.unidata_version
    runs = build_runs(mapping)
    check(runs, mapping)
    lines = [
        "// ntfs_upcase_table.inc - the upcase table of NTFS names, as runs. Generated by",
        "// tools/gen_upcase_table.py: do not edit. Source: %s." % origin,
        "// %d units map to another unit; all others (surrogates included) to themselves." % (
            len(mapping)),
        "// Each run {first, last, stride, delta}: every stride-th unit from first to last",
        "// maps to itself plus delta, modulo 65536. Sorted by first; runs never overlap.",
    ]
    for first, last, stride, delta in runs:
        lines.append("{0x%04X, 0x%04X, %d, 0x%04X}," % (first, last, stride, delta))
    with open(OUTPUT, "w", encoding="ascii", newline="\n") as out:
        out.write("\n".join(lines) + "\n")
    print("%s: %d runs for %d units" % (os.path.normpath(OUTPUT), len(runs), len(mapping)))


if __name__ == "__main__":
    main()
