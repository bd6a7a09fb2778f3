// list_command.cpp - writes the entry names of a package to "<package>.lst.txt".
#include <bit>
#include <cstring>
#include <new>

#include "archive.h"
#include "commands.h"
#include "console.h"
#include "host/host.h"
#include "names.h"
#include "options.h"
#include "pending_file.h"

namespace {

constexpr size_t kListChunk = 256 << 10;
constexpr size_t kPrefetchAhead = 16;

}  // namespace

int ListCommand() {
  std::u16string listPath = *toolOptions.packagePath;
  PckArchive archive;
  if (!MountPackage(&archive)) return 0;

  // The last '.' anywhere in the path, directory part included, ends the base.
  const size_t dot = listPath.rfind(u'.');
  if (dot != std::u16string::npos) listPath.resize(dot);
  listPath += u".lst.txt";

  // The list file replaces an older one whole: it is written beside it and renamed
  // over it once complete, so a failure leaves no empty or cut list file behind.
  // A folder (or a file the process may not write) at the list path is refused
  // before anything is printed, as the open of the list file refused it.
  if (!host::MayReplaceFile(listPath)) {
    PrintDiagnostic(listPath, host::LastErrorText());
    return 0;
  }
  PendingFile pending;
  if (!pending.Begin(listPath)) {
    PrintDiagnostic(listPath, pending.reason());
    return 0;
  }
  host::File* file = pending.file();
  PrintFormat(u"\nwrite file list to '%s'\n", {listPath});

  // UTF-16 little-endian with a byte-order mark, each line ending in CR LF.
  // The entries are read in place, and the text goes out in pieces of a few hundred
  // kilobytes, so that a large table is never held twice.
  bool written = true;
  try {
    std::string bytes = "\xFF\xFE";
    const EntryList& entries = archive.entries();
    for (size_t i = 0; i < entries.size() && written; ++i) {
      // A large list is far bigger than the caches and each entry is read once:
      // ask for the names a few entries ahead, so that the waits overlap.
      // The two lines these touch hold the first 32 units of a name, and more.
      if (i + kPrefetchAhead < entries.size()) {
        __builtin_prefetch(entries[i + kPrefetchAhead].name);
        __builtin_prefetch(entries[i + kPrefetchAhead].name + 32);
      }
      const PckEntry& entry = entries[i];
      const std::u16string_view name = EntryNameView(entry.name);
      const size_t at = bytes.size();
      bytes.resize(at + 2 * name.size() + 4);
      char* out = bytes.data() + at;
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, name.data(), 2 * name.size());  // the units as they are in memory
        out += 2 * name.size();
      } else {
        for (char16_t unit : name) {
          *out++ = static_cast<char>(unit & 0xFF);
          *out++ = static_cast<char>(unit >> 8);
        }
      }
      std::memcpy(out, "\r\0\n\0", 4);
      if (bytes.size() >= kListChunk) {
        written = file->Write(bytes.data(), bytes.size()) == bytes.size();
        bytes.clear();
      }
    }
    if (written) written = file->Write(bytes.data(), bytes.size()) == bytes.size();
  } catch (const std::bad_alloc&) {
    pending.Abandon();
    PrintDiagnostic(listPath, u"not enough memory");
    return 0;
  }
  if (!written) {
    const std::u16string reason = host::LastErrorText();
    pending.Abandon();
    PrintDiagnostic(listPath, reason);
    return 0;
  }
  if (!pending.Commit()) {
    PrintDiagnostic(listPath, pending.reason());
    return 0;
  }
  return 1;
}
