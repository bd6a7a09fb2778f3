// main.cpp - opens a package with the installed library and prints its entry count.
//
// Usage: quillo_consumer PACKAGE
// Prints "N entries, M bytes" (M: the data of every entry, each one read and
// decoded), or the status message of the first failure.
#include <quillo/archive.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

// UTF-8 (the argument as the system gives it) to the UTF-16 paths of the library.
// A byte that does not begin a valid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
    char32_t c = length == 1   ? lead
                 : length == 2 ? lead & 0x1F
                 : length == 3 ? lead & 0x0F
                               : lead & 0x07;
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return out;
}

// Status messages are ASCII.
void PrintMessage(PckStatus status) {
  for (const char16_t* p = PckStatusMessage(status); *p; ++p) std::putchar(static_cast<char>(*p));
  std::putchar('\n');
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: quillo_consumer PACKAGE\n", stdout);
    return 2;
  }
  PckArchive archive;
  PckStatus status = archive.Open(Utf8ToUtf16(argv[1]));
  if (IsError(status)) {
    PrintMessage(status);
    return 1;
  }
  EntryList entries;
  (void)archive.CopyEntries(&entries);
  unsigned long long bytes = 0;
  ByteBuffer data;
  for (const PckEntry& entry : entries) {
    status = archive.ReadEntry(entry, &data);
    if (IsError(status)) {
      PrintMessage(status);
      return 1;
    }
    bytes += data.size();
  }
  std::printf("%zu entries, %llu bytes\n", entries.size(), bytes);
  return 0;
}
