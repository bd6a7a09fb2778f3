// extract_command.cpp - writes every entry below "<package>.files", with an optional log.
#include <new>
#include <unordered_set>
#include <vector>

#include "archive.h"
#include "commands.h"
#include "console.h"
#include "entry_names.h"
#include "entry_reader.h"
#include "host/host.h"
#include "names.h"
#include "options.h"
#include "pending_file.h"

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

// Writes `size` bytes to the file just made and closes it. On failure the system's
// reason goes to *reason; the caller removes the file.
bool WriteAndClose(host::File& file, const uint8_t* data, uint32_t size, std::u16string* reason) {
  if (size != 0 && file.Write(data, size) != size) {
    *reason = host::LastErrorText();
    file.Close();
    return false;
  }
  if (!file.Close()) {
    *reason = host::LastErrorText();
    return false;
  }
  return true;
}

// Replaces what is at `path` whole: the bytes go to a temporary file beside it,
// which is renamed over it once complete, so a failure leaves the old file as it
// was. A link at `path` is replaced, never written through.
bool ReplaceWhole(const std::u16string& path, uint32_t size, const uint8_t* data,
                  std::u16string* reason) {
  if (!host::MayReplaceFile(path)) {
    *reason = host::LastErrorText();
    return false;
  }
  PendingFile pending;
  if (!pending.Begin(path)) {
    *reason = pending.reason();
    return false;
  }
  if (size != 0 && pending.file()->Write(data, size) != size) {
    *reason = host::LastErrorText();
    pending.Abandon();
    return false;
  }
  // Replaced in one step; not waited for on the disk, as a file written in place
  // was not either: a wait per file would make a second extraction many times slower.
  if (!pending.Commit(/*durable=*/false)) {
    *reason = pending.reason();
    return false;
  }
  return true;
}

// WriteOutputFile, remembering in `known` which directories exist. A file is never
// left cut: a target that does not exist is made new and written directly (removed
// again when a write fails, or when the process is interrupted meanwhile); one that
// exists is replaced whole through a temporary file beside it.
// A path that leads to `package` (the file being read) is refused: the package
// would be replaced while it is read.
bool WriteFileBelow(const std::u16string& path, uint32_t size, const uint8_t* data,
                    KnownDirectories* known, const PckArchive* package, std::u16string* reason) {
  host::Host& h = host::Host::Current();
  auto file = h.OpenFile(path, host::OpenMode::kCreateNew);
  if (!file && !host::LastErrorMeansExists()) {
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
    file = h.OpenFile(path, host::OpenMode::kCreateNew);
  }
  if (!file) {
    if (!host::LastErrorMeansExists()) {
      *reason = host::LastErrorText();
      return false;
    }
    if (known) known->AddParentsOf(path);
    // Only a path that exists can be the package: a file made new never is.
    if (package && package->IsPackageFile(path)) {
      *reason = u"is the package being read";
      return false;
    }
    return ReplaceWhole(path, size, data, reason);
  }
  if (known) known->AddParentsOf(path);
  host::RemoveOnInterrupt(path);
  const bool written = WriteAndClose(*file, data, size, reason);
  if (!written) h.RemoveFile(path);
  host::ForgetOnInterrupt(path);
  return written;
}

// Why a name that StaysBelowRoot refuses is not written.
std::u16string_view RefusalReason(std::u16string_view name) {
  if (name.empty()) return u"an entry without a name is not written";
  if constexpr (host::kWindowsNames) {
    // Refused for leading out, or else for a component Windows would not keep.
    const char16_t first = static_cast<char16_t>(name[0] | 0x20);  // a letter in lower case
    bool leadsOut = name[0] == u'\\' || name[0] == u'/' ||
                    (name.size() >= 2 && name[1] == u':' && first >= u'a' && first <= u'z');
    size_t start = 0;
    while (!leadsOut && start <= name.size()) {
      size_t end = name.find(u'\\', start);
      if (end == std::u16string_view::npos) end = name.size();
      leadsOut = name.substr(start, end - start) == u"..";
      start = end + 1;
    }
    if (!leadsOut) return u"no plain file name on this system";
  }
  return u"leads out of the output folder";
}

}  // namespace

int WriteOutputFile(const std::u16string& path, uint32_t size, const uint8_t* data,
                    std::u16string* reason) {
  std::u16string ignored;
  return WriteFileBelow(path, size, data, nullptr, nullptr, reason ? reason : &ignored) ? 0 : -1;
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
  std::vector<size_t> chosen;
  chosen.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!choice || !choice->select || choice->select(entries[i])) chosen.push_back(i);
  }
  const int32_t total = static_cast<int32_t>(chosen.size());
  // Entries are decoded ahead on the workers; every line and file below is made
  // here, in table order, as without them.
  PckEntryReader reader(&archive, std::move(chosen));
  KnownDirectories known;
  ByteBuffer buffer;
  std::u16string target;
  std::u16string reason;
  int32_t n = 1;
  while (reader.HasNext()) {
    const PckEntry& entry = reader.NextEntry();
    if (toolOptions.logEntries) AppendLogLine(entry);
    ConsoleProgress(n++, total, u"extract data");
    const std::u16string_view name = EntryNameView(entry.name);
    status = reader.Next(&buffer);
    if (IsError(status)) {
      PrintFormat(u" %s : %s\n", {StatusText(status), name});
      if (choice) ++choice->failures;
      PrintDiagnostic(archive.failure().subject, archive.failure().reason);
      continue;
    }
    if (!StaysBelowRoot(name)) {
      PrintFormat(u" file operation error : %s\n", {name});
      if (choice) ++choice->failures;
      PrintDiagnostic(name, RefusalReason(name));
      continue;
    }
    try {
      target = root;
      for (char16_t c : name) target.push_back(c == u'\\' ? host::kPathSeparator : c);
      // A stream that ended early leaves the buffer short; the file still gets
      // dataSize bytes, the missing ones zero.
      if (buffer.size() < entry.dataSize) buffer.resize(entry.dataSize);
      if (!WriteFileBelow(target, entry.dataSize, buffer.data(), &known, &archive, &reason)) {
        PrintFormat(u" file operation error : %s\n", {name});
        if (choice) ++choice->failures;
        PrintDiagnostic(target, reason);
      }
    } catch (const std::bad_alloc&) {
      // Like an entry too large to read: this entry fails, the next ones go on.
      ByteBuffer().swap(buffer);
      status = PckStatus::kFileOperationError;
      PrintFormat(u" %s : %s\n", {StatusText(status), name});
      if (choice) ++choice->failures;
      PrintDiagnostic(name, u"not enough memory");
    }
  }
  return static_cast<int>(status);
}

int ExtractCommand() {
  PckArchive archive;
  if (!MountPackage(&archive)) return 0;
  return ExtractAll(archive, *toolOptions.packagePath + u".files" + host::kPathSeparator);
}
