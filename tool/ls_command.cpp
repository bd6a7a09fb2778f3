// ls_command.cpp - --ls: one line per chosen entry (sizes, ratio, storage, name) and a
// totals line, or JSON Lines with --json.
#include <algorithm>
#include <string>

#include "archive.h"
#include "console.h"
#include "long_options.h"
#include "names.h"

namespace {

size_t Digits(uint64_t value) {
  size_t n = 1;
  while (value >= 10) value /= 10, ++n;
  return n;
}

void AppendPadded(std::u16string* out, uint64_t value, size_t width) {
  const std::string digits = std::to_string(value);
  if (digits.size() < width) out->append(width - digits.size(), u' ');
  out->append(digits.begin(), digits.end());
}

// The stored size as a share of the data size, "37.5%"; "-" for no data, ">999%"
// for a record whose stored bytes are ten times its data or more. Six wide.
void AppendRatio(std::u16string* out, uint64_t stored, uint64_t size) {
  std::u16string text;
  if (size == 0) {
    text = u"-";
  } else {
    const uint64_t permille = (stored * 1000 + size / 2) / size;
    if (permille > 9999) {
      text = u">999%";
    } else {
      const std::string whole = std::to_string(permille / 10);
      text.assign(whole.begin(), whole.end());
      text.push_back(u'.');
      text.push_back(static_cast<char16_t>(u'0' + permille % 10));
      text.push_back(u'%');
    }
  }
  if (text.size() < 6) out->append(6 - text.size(), u' ');
  *out += text;
}

int ListAsJson(const EntryList& entries, const std::vector<size_t>& chosen) {
  std::string json;
  uint64_t dataBytes = 0;
  uint64_t storedBytes = 0;
  for (size_t index : chosen) {
    const PckEntry& entry = entries[index];
    dataBytes += entry.dataSize;
    storedBytes += entry.storedSize;
    AppendEntryJson(&json, entry);
    json += "}\n";
    FlushJson(&json, false);
  }
  json += "{\"type\":\"summary\",\"entries\":" + std::to_string(chosen.size()) +
          ",\"size\":" + std::to_string(dataBytes) + ",\"stored\":" + std::to_string(storedBytes) +
          "}\n";
  FlushJson(&json, true);
  return kExitSuccess;
}

int ListAsText(const EntryList& entries, const std::vector<size_t>& chosen) {
  uint64_t dataBytes = 0;
  uint64_t storedBytes = 0;
  for (size_t index : chosen) {
    dataBytes += entries[index].dataSize;
    storedBytes += entries[index].storedSize;
  }
  // Ten places hold any 32-bit size; the totals may need more, and then every line
  // gets them, so that the columns stay in line.
  const size_t sizeWidth = std::max<size_t>(10, Digits(dataBytes));
  const size_t storedWidth = std::max<size_t>(10, Digits(storedBytes));
  std::u16string text;
  for (size_t index : chosen) {
    const PckEntry& entry = entries[index];
    AppendPadded(&text, entry.dataSize, sizeWidth);
    text += u"  ";
    AppendPadded(&text, entry.storedSize, storedWidth);
    text += u"  ";
    AppendRatio(&text, entry.storedSize, entry.dataSize);
    text += u"  ";
    const std::u16string_view storage = StorageName(entry);
    text += storage;
    text.append(5 - storage.size() + 2, u' ');
    // A name may hold control characters: they must not act on the terminal.
    text += ShownOnConsole(EntryNameView(entry.name));
    text.push_back(u'\n');
    if (text.size() >= (128u << 10)) {
      PrintData(text);
      text.clear();
    }
  }
  AppendPadded(&text, dataBytes, sizeWidth);
  text += u"  ";
  AppendPadded(&text, storedBytes, storedWidth);
  text += u"  ";
  AppendRatio(&text, storedBytes, dataBytes);
  text += u"         ";
  text += Format(u"%d %s\n",
                 {static_cast<int64_t>(chosen.size()), chosen.size() == 1 ? u"entry" : u"entries"});
  PrintData(text);
  return kExitSuccess;
}

}  // namespace

int LsCommand(const LongOptions& options, PckNameSelection* selection) {
  PckArchive archive;
  if (!OpenForLongRun(&archive, options.package)) return kExitUsage;
  const EntryList& entries = archive.entries();
  const std::vector<size_t> chosen = ChooseEntries(entries, selection);
  const int status = options.json ? ListAsJson(entries, chosen) : ListAsText(entries, chosen);
  const bool unmatched = ReportUnmatchedIncludes(*selection);
  return status == kExitSuccess && unmatched ? kExitFailed : status;
}
