// names.cpp - entry name conversion through the host's code page 936 tables.
#include "names.h"

#include <cstring>
#include <string>

#include "host/host.h"

size_t EntryNameLength(const char16_t name[kPckNameUnits]) {
  size_t n = 0;
  while (n < kPckNameUnits && name[n] != 0) ++n;
  return n;
}

void RecordNameToEntry(const uint8_t field[kPckNameBytes], char16_t name[kPckNameUnits]) {
  size_t bytes = 0;
  while (bytes < kPckNameBytes && field[bytes] != 0) ++bytes;
  std::u16string text =
      host::Cp936ToUtf16(std::string_view(reinterpret_cast<const char*>(field), bytes));
  if (text.size() > kPckNameUnits - 1) text.resize(kPckNameUnits - 1);
  std::memset(name, 0, kPckNameUnits * sizeof(char16_t));
  for (size_t i = 0; i < text.size(); ++i) name[i] = text[i] == u'/' ? u'\\' : text[i];
}

bool EntryNameToRecord(const char16_t name[kPckNameUnits], uint8_t field[kPckNameBytes]) {
  std::string bytes;
  const bool complete = host::Utf16ToCp936(EntryNameView(name), &bytes);
  // Cut at the last character boundary within the field: a byte from 0x81 to 0xFE
  // leads a two-byte character, every other byte stands alone.
  size_t keep = 0;
  while (keep < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[keep]);
    const size_t width = (lead >= 0x81 && lead <= 0xFE) ? 2 : 1;
    if (keep + width > kPckNameBytes || keep + width > bytes.size()) break;
    keep += width;
  }
  std::memset(field, 0, kPckNameBytes);
  std::memcpy(field, bytes.data(), keep);
  return complete;
}
