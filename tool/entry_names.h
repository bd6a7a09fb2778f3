// entry_names.h - which entry names may be written below the extraction root.
#ifndef QUILLO_TOOL_ENTRY_NAMES_H_
#define QUILLO_TOOL_ENTRY_NAMES_H_

#include <string_view>

// True when writing `name` (components separated by '\') below the output root
// stays below it and reaches an ordinary file: not empty, not absolute, no drive
// letter (an ASCII letter and ':'), no ".." component. Where the host gives names
// the Windows meanings (host::kWindowsNames), no component may be refused by
// WindowsRefusesComponent either.
bool StaysBelowRoot(std::u16string_view name);

// True for a path component that the Windows file system would not keep as the
// plain name it is: ".." once its trailing dots and spaces are trimmed (".. ",
// ".. ."), a reserved device name with or without an extension (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, in any case, and the console's CONIN$ and CONOUT$), or any
// name that holds ':' (an alternate data stream).
bool WindowsRefusesComponent(std::u16string_view component);

#endif  // QUILLO_TOOL_ENTRY_NAMES_H_
