// names.cpp - entry name conversion through the host's code page 936 tables.
#include "names.h"

#include <cstring>
#include <string>

#include "host/host.h"

bool IsAscii(std::u16string_view text) {
  for (char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

size_t EntryNameLength(const char16_t name[kPckNameUnits]) {
  // Four units at a time up to the group that holds the terminator: a unit that
  // is zero is the only one whose top bit the subtraction sets where the unit's
  // own top bit is clear.
  size_t n = 0;
  for (; n + 4 <= kPckNameUnits; n += 4) {
    uint64_t units;
    std::memcpy(&units, name + n, sizeof units);
    if (((units - 0x0001000100010001u) & ~units & 0x8000800080008000u) != 0) break;
  }
  while (n < kPckNameUnits && name[n] != 0) ++n;
  return n;
}

size_t RecordNameToUnits(const uint8_t field[kPckNameBytes], char16_t name[kPckNameUnits]) {
  const void* end = std::memchr(field, 0, kPckNameBytes);
  const size_t bytes =
      end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - field) : kPckNameBytes;
  uint8_t high = 0;
  for (size_t i = 0; i < bytes; ++i) high |= field[i];
  if (high < 0x80) {
    // Code page 936 keeps every byte below 0x80 as that character.
    const size_t units = bytes < kPckNameUnits - 1 ? bytes : kPckNameUnits - 1;
    for (size_t i = 0; i < units; ++i) name[i] = field[i] == '/' ? u'\\' : field[i];
    name[units] = 0;
    return units;
  }
  std::u16string text =
      host::Cp936ToUtf16(std::string_view(reinterpret_cast<const char*>(field), bytes));
  if (text.size() > kPckNameUnits - 1) text.resize(kPckNameUnits - 1);
  for (size_t i = 0; i < text.size(); ++i) name[i] = text[i] == u'/' ? u'\\' : text[i];
  name[text.size()] = 0;
  return text.size();
}

void RecordNameToEntry(const uint8_t field[kPckNameBytes], char16_t name[kPckNameUnits]) {
  const size_t units = RecordNameToUnits(field, name);
  std::memset(name + units, 0, (kPckNameUnits - units) * sizeof(char16_t));
}

bool EntryNameToRecord(const char16_t name[kPckNameUnits], uint8_t field[kPckNameBytes]) {
  const std::u16string_view text = EntryNameView(name);
  if (IsAscii(text) && text.size() <= kPckNameBytes) {
    std::memset(field, 0, kPckNameBytes);
    for (size_t i = 0; i < text.size(); ++i) field[i] = static_cast<uint8_t>(text[i]);
    return true;
  }
  std::string bytes;
  const bool complete = host::Utf16ToCp936(text, &bytes);
  if (bytes.size() > kPckNameBytes) {
    // Cut after the last whole character within the field. A character of code
    // page 936 is one byte when it is ASCII or the euro sign, and an escaped byte
    // one byte too; every other character is two. The cut form still reads back
    // as the characters kept: an escaped byte only pairs with a byte after it.
    size_t keep = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const char16_t c = text[i];
      const bool single = c < 0x80 || c == u'\u20AC' ||
                          (c >= host::kFirstEscapedByte && c <= host::kLastEscapedByte);
      const size_t width = single ? 1 : 2;
      if (keep + width > kPckNameBytes) break;
      keep += width;
    }
    bytes.resize(keep);
  }
  std::memset(field, 0, kPckNameBytes);
  std::memcpy(field, bytes.data(), bytes.size());
  return complete;
}
