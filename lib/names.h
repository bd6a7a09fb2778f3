// names.h - entry names between the code page 936 record field and UTF-16 memory.
#ifndef QUILLO_NAMES_H_
#define QUILLO_NAMES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format.h"

// Converts a record's name field (bytes up to the first NUL, never beyond the 256
// bytes) into a zero-filled 256-unit UTF-16 name with every '/' turned into '\'.
// Bytes that are no code page 936 character become escaped bytes (U+DC80 to
// U+DCFF, see host::Cp936ToUtf16), so names that differ only in such bytes stay
// different and are written back with the same bytes. A name that converts to more
// than 255 units keeps its first 255.
void RecordNameToEntry(const uint8_t field[kPckNameBytes], char16_t name[kPckNameUnits]);

// As RecordNameToEntry, but only the name's units and its terminator are written;
// returns the number of units before the terminator.
size_t RecordNameToUnits(const uint8_t field[kPckNameBytes], char16_t name[kPckNameUnits]);

// Converts a UTF-16 name (up to its terminator) into a zero-filled 256-byte field,
// escaped bytes written as the bytes they stand for. A converted name longer than
// 256 bytes is cut after its last whole character within the field. Returns false
// when the name has no code page 936 form (host::Utf16ToCp936): the field then holds
// the characters before the first that fails.
bool EntryNameToRecord(const char16_t name[kPckNameUnits], uint8_t field[kPckNameBytes]);

// True when every unit is below 0x80: such text is the same in code page 936.
bool IsAscii(std::u16string_view text);

// The length of a name up to its terminator (at most kPckNameUnits).
size_t EntryNameLength(const char16_t name[kPckNameUnits]);

inline std::u16string_view EntryNameView(const char16_t name[kPckNameUnits]) {
  return std::u16string_view(name, EntryNameLength(name));
}

#endif  // QUILLO_NAMES_H_
