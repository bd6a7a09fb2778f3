// extract_command.cpp - writes every entry below "<package>.files", with an optional log.
#include <unordered_set>
#include <vector>

#include "archive.h"
#include "commands.h"
#include "console.h"
#include "entry_names.h"
#include "host/host.h"
#include "names.h"
#include "options.h"

namespace {

// The directories that are known to exist below which files are written: each is
// made once, when the first file in it cannot be opened, and never tried again.
class KnownDirectories {
 public:
  bool Contains(std::u16string_view directory) const {
    return known_.count(std::u16string(directory)) != 0;
  }
  // `path`'s directory and every directory above it exist.
  void AddParentsOf(const std::u16string& path) {
    size_t end = path.rfind(host::kPathSeparator);
    if (end == std::u16string::npos || end == 0) return;
    if (!withParents_.insert(path.substr(0, end)).second) return;
    while (end != std::u16string::npos && end != 0) {
      known_.insert(path.substr(0, end));
      end = path.rfind(host::kPathSeparator, end - 1);
    }
  }
  void Add(const std::u16string& directory) { known_.insert(directory); }

 private:
  std::unordered_set<std::u16string> known_;
  std::unordered_set<std::u16string> withParents_;  // known together with their parents
};

// WriteOutputFile, remembering in `known` which directories exist.
int WriteFileBelow(const std::u16string& path, uint32_t size, const uint8_t* data,
                   KnownDirectories* known) {
  host::Host& h = host::Host::Current();
  auto file = h.OpenFile(path, host::OpenMode::kWrite);
  if (!file) {
    // Create the missing directories from the left; the last part is the file.
    std::u16string prefix;
    for (size_t i = 0; i < path.size(); ++i) {
      if (path[i] != host::kPathSeparator) continue;
      prefix.assign(path, 0, i);
      if (known && known->Contains(prefix)) continue;
      if (h.MakeDirectory(prefix)) {
        if (Verbose()) PrintFormat(u" make dir : %s\n", {prefix});
        if (known) known->Add(prefix);
      }
    }
    file = h.OpenFile(path, host::OpenMode::kWrite);
    if (!file) return -1;
  }
  if (known) known->AddParentsOf(path);
  const bool written = file->Write(data, size) == size;
  const bool closed = file->Close();
  return written && closed ? 0 : -1;
}

}  // namespace

int WriteOutputFile(const std::u16string& path, uint32_t size, const uint8_t* data) {
  return WriteFileBelow(path, size, data, nullptr);
}

void AppendLogLine(const PckEntry& entry) {
  host::Host& h = host::Host::Current();
  if (toolOptions.firstLog) {
    h.RemoveFile(u"log.txt");
    toolOptions.firstLog = 0;
  }
  auto file = h.OpenFile(u"log.txt", host::OpenMode::kAppend);
  if (!file) return;
  const std::u16string line = Format(
      u"%s,%d,%d,%d", {EntryNameView(entry.name), static_cast<int32_t>(entry.storedSize),
                       static_cast<int32_t>(entry.dataSize), static_cast<int32_t>(entry.offset)});
  // A character without a code page 936 form is written as '?'.
  std::string bytes;
  if (!host::Utf16ToCp936(line, &bytes)) {
    bytes.clear();
    for (char16_t c : line) {
      std::string one;
      bytes += host::Utf16ToCp936(std::u16string_view(&c, 1), &one) ? one : std::string("?");
    }
  }
  bytes += "\r\n";
  file->Write(bytes.data(), bytes.size());
  file->Close();
}

int ExtractAll(PckArchive& archive, const std::u16string& root, ExtractChoice* choice) {
  PckStatus status = PckStatus::kSuccess;
  // The entries are read in place: the archive keeps them unchanged while it reads.
  const EntryList& entries = archive.entries();
  std::vector<bool> chosen(entries.size(), true);
  int32_t total = static_cast<int32_t>(entries.size());
  if (choice && choice->select) {
    total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      chosen[i] = choice->select(entries[i]);
      if (chosen[i]) ++total;
    }
  }
  KnownDirectories known;
  ByteBuffer buffer;
  std::u16string target;
  int32_t n = 1;
  size_t index = 0;
  for (const PckEntry& entry : entries) {
    if (!chosen[index++]) continue;
    if (toolOptions.logEntries) AppendLogLine(entry);
    ConsoleProgress(n++, total, u"extract data");
    const std::u16string_view name = EntryNameView(entry.name);
    status = archive.ReadEntry(entry, &buffer);
    if (IsError(status)) {
      PrintFormat(u" %s : %s\n", {StatusText(status), name});
      if (choice) {
        ++choice->failures;
        PrintDiagnostic(name, StatusText(status));
      }
      continue;
    }
    if (!StaysBelowRoot(name)) {
      PrintFormat(u" file operation error : %s\n", {name});
      if (choice) {
        ++choice->failures;
        PrintDiagnostic(name, u"leads out of the output folder");
      }
      continue;
    }
    target = root;
    for (char16_t c : name) target.push_back(c == u'\\' ? host::kPathSeparator : c);
    // A stream that ended early leaves the buffer short; the file still gets
    // dataSize bytes, the missing ones zero.
    if (buffer.size() < entry.dataSize) buffer.resize(entry.dataSize);
    if (WriteFileBelow(target, entry.dataSize, buffer.data(), &known) != 0) {
      PrintFormat(u" file operation error : %s\n", {name});
      if (choice) {
        ++choice->failures;
        PrintDiagnostic(target, StatusText(PckStatus::kFileOperationError));
      }
    }
  }
  return static_cast<int>(status);
}

int ExtractCommand() {
  PckArchive archive;
  if (!MountPackage(&archive)) return 0;
  return ExtractAll(archive, *toolOptions.packagePath + u".files" + host::kPathSeparator);
}
