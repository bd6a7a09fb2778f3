// host_shared.h - what the host files share, private to lib/host/ (host_common.cpp).
//
// The code page 936 conversions: the host files give the conversion of plain runs of
// text; the escaping of bytes that are no character, and the rule that a form counts
// only when it reads back as the text, are the same everywhere.
#ifndef QUILLO_HOST_HOST_SHARED_H_
#define QUILLO_HOST_HOST_SHARED_H_

#include <string>
#include <string_view>

#include "host/host.h"

namespace host {

// The character that stands for a byte from 0x80 up that is no character.
inline char16_t EscapedByte(unsigned char byte) {
  return byte >= 0x80 ? static_cast<char16_t>(0xDC00 + byte) : u'\uFFFD';
}

inline bool IsEscapedByte(char16_t c) { return c >= kFirstEscapedByte && c <= kLastEscapedByte; }

inline bool IsSurrogatePair(std::u16string_view text, size_t i) {
  return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
         text[i + 1] <= 0xDFFF;
}

// Per host: appends the code page 936 form of `text`, which holds no escaped byte;
// false at the first character without one, the form of those before it appended.
bool EncodeCp936Run(std::u16string_view text, std::string* out);

// Per host: true when the host's conversion of plain runs is exact both ways, so that
// a form without escaped bytes needs no reading back.
extern const bool kCp936RunsReadBack;

}  // namespace host

#endif  // QUILLO_HOST_HOST_SHARED_H_
