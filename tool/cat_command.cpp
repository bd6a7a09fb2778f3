// cat_command.cpp - --cat: the bytes of one entry on standard output, as -x writes them.
#include <string>

#include "archive.h"
#include "console.h"
#include "host/host.h"
#include "long_options.h"
#include "names.h"

namespace {

char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The entry that -x leaves on disk under `name`: the last one of that name. A name
// that differs only in the case of ASCII letters is taken when no name is equal.
const PckEntry* FindEntry(const EntryList& entries, std::u16string_view name) {
  const PckEntry* folded = nullptr;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const std::u16string_view candidate = EntryNameView(it->name);
    if (candidate == name) return &*it;
    if (!folded && EqualIgnoringAsciiCase(candidate, name)) folded = &*it;
  }
  return folded;
}

}  // namespace

int CatCommand(const LongOptions& options) {
  PckArchive archive;
  if (!OpenForLongRun(&archive, options.package)) return kExitUsage;
  std::u16string name = options.entryName;
  for (char16_t& c : name) {
    if (c == u'/') c = u'\\';
  }
  const PckEntry* entry = FindEntry(archive.entries(), name);
  if (!entry) {
    PrintDiagnostic(name, StatusText(PckStatus::kFileNotFound));
    return kExitUsage;
  }
  ByteBuffer buffer;
  const PckStatus status = archive.ReadEntry(*entry, &buffer);
  const std::u16string damage = EntryDamage(archive, *entry, status, buffer.size());
  if (IsError(status)) {
    PrintDiagnostic(EntryNameView(entry->name), damage);
    return kExitFailed;
  }
  // A stream that ended early: the bytes -x writes, padded with zeros to dataSize.
  if (buffer.size() < entry->dataSize) buffer.resize(entry->dataSize);
  if (!host::WriteStdoutBytes(buffer.data(), entry->dataSize)) {
    PrintDiagnostic(u"standard output", host::LastErrorText());
    return kExitFailed;
  }
  if (!damage.empty()) {
    PrintDiagnostic(EntryNameView(entry->name), damage);
    return kExitFailed;
  }
  return kExitSuccess;
}
