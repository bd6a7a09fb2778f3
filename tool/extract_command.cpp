// extract_command.cpp - writes every entry below "<package>.files", with an optional log.
#include "archive.h"
#include "commands.h"
#include "console.h"
#include "entry_names.h"
#include "host/host.h"
#include "names.h"
#include "options.h"

int WriteOutputFile(const std::u16string& path, uint32_t size, const uint8_t* data) {
  host::Host& h = host::Host::Current();
  auto file = h.OpenFile(path, host::OpenMode::kWrite);
  if (!file) {
    // Create the missing directories from the left; the last part is the file.
    std::u16string prefix = path;
    for (size_t i = 0; i < path.size(); ++i) {
      if (path[i] != host::kPathSeparator) continue;
      prefix.resize(i);
      if (h.MakeDirectory(prefix) && Verbose()) PrintFormat(u" make dir : %s\n", {prefix});
      prefix = path;
    }
    file = h.OpenFile(path, host::OpenMode::kWrite);
    if (!file) return -1;
  }
  const bool written = file->Write(data, size) == size;
  const bool closed = file->Close();
  return written && closed ? 0 : -1;
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

int ExtractAll(PckArchive& archive, const std::u16string& root) {
  PckStatus status = PckStatus::kSuccess;

  EntryList entries;
  (void)archive.CopyEntries(&entries);
  const int32_t total = static_cast<int32_t>(entries.size());

  ByteBuffer buffer;
  int32_t n = 1;
  for (const PckEntry& entry : entries) {
    if (toolOptions.logEntries) AppendLogLine(entry);
    ConsoleProgress(n++, total, u"extract data");
    const std::u16string_view name = EntryNameView(entry.name);
    status = archive.ReadEntry(entry, &buffer);
    if (IsError(status)) {
      PrintFormat(u" %s : %s\n", {StatusText(status), name});
      continue;
    }
    if (!StaysBelowRoot(name)) {
      PrintFormat(u" file operation error : %s\n", {name});
      continue;
    }
    std::u16string target = root;
    for (char16_t c : name) target.push_back(c == u'\\' ? host::kPathSeparator : c);
    // A stream that ended early leaves the buffer short; the file still gets
    // dataSize bytes, the missing ones zero.
    if (buffer.size() < entry.dataSize) buffer.resize(entry.dataSize);
    if (WriteOutputFile(target, entry.dataSize, buffer.data()) != 0) {
      PrintFormat(u" file operation error : %s\n", {name});
    }
  }
  return static_cast<int>(status);
}

int ExtractCommand() {
  PckArchive archive;
  if (!MountPackage(&archive)) return 0;
  return ExtractAll(archive, *toolOptions.packagePath + u".files" + host::kPathSeparator);
}
