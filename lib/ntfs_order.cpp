// ntfs_order.cpp - NTFS's upcase table and the order of names built on it.
#include "ntfs_order.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

// Every stride-th unit from first to last maps to itself plus delta (modulo 65536).
struct UpcaseRun {
  uint16_t first;
  uint16_t last;
  uint16_t stride;
  uint16_t delta;
};

constexpr UpcaseRun kUpcaseRuns[] = {
#include "ntfs_upcase_table.inc"
};

}  // namespace

char16_t PckNtfsUpcase(char16_t unit) {
  // Most names are ASCII: no search for them.
  if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
  // The last run that begins at or before the unit is the only one that may hold it.
  const auto after =
      std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), unit,
                       [](char16_t u, const UpcaseRun& run) { return u < run.first; });
  if (after == std::begin(kUpcaseRuns)) return unit;
  const UpcaseRun& run = *std::prev(after);
  if (unit > run.last || (unit - run.first) % run.stride != 0) return unit;
  return static_cast<char16_t>(unit + run.delta);
}

bool PckNtfsNameLess(std::u16string_view a, std::u16string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;
    const char16_t upperA = PckNtfsUpcase(a[i]);
    const char16_t upperB = PckNtfsUpcase(b[i]);
    if (upperA != upperB) return upperA < upperB;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}
