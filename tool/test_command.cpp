// test_command.cpp - --test: reads and decodes every chosen entry, writing nothing.
#include <string>

#include "archive.h"
#include "console.h"
#include "entry_reader.h"
#include "long_options.h"
#include "names.h"

int TestCommand(const LongOptions& options, PckNameSelection* selection) {
  PckArchive archive;
  if (!OpenForLongRun(&archive, options.package)) return kExitUsage;
  const EntryList& entries = archive.entries();
  std::vector<size_t> chosen = ChooseEntries(entries, selection);
  const int32_t total = static_cast<int32_t>(chosen.size());
  // Decoded ahead on the workers, handed back here in table order.
  PckEntryReader reader(&archive, std::move(chosen));
  ByteBuffer buffer;
  std::string json;
  uint64_t dataBytes = 0;
  uint64_t storedBytes = 0;
  int64_t damaged = 0;
  int32_t n = 0;
  while (reader.HasNext()) {
    const PckEntry& entry = reader.NextEntry();
    ConsoleProgress(++n, total, u"test data");
    const PckStatus status = reader.Next(&buffer);
    const std::u16string damage = EntryDamage(archive, entry, status, buffer.size());
    dataBytes += entry.dataSize;
    storedBytes += entry.storedSize;
    if (!damage.empty()) {
      ++damaged;
      PrintDiagnostic(EntryNameView(entry.name), damage);
    }
    if (options.json) {
      AppendEntryJson(&json, entry);
      json += ",\"status\":";
      AppendJsonString(&json, damage.empty()    ? u"ok"
                              : IsError(status) ? StatusText(status)
                                                : StatusText(PckStatus::kZlibError));
      json += "}\n";
      FlushJson(&json, false);
    }
  }
  EndProgress();
  const bool unmatched = ReportUnmatchedIncludes(*selection);
  if (options.json) {
    json += "{\"type\":\"summary\",\"entries\":" + std::to_string(total) +
            ",\"size\":" + std::to_string(dataBytes) +
            ",\"stored\":" + std::to_string(storedBytes) +
            ",\"damaged\":" + std::to_string(damaged) + "}\n";
    FlushJson(&json, true);
  } else {
    PrintData(Format(
        u"%d %s tested, %d bytes, %d damaged\n",
        {total, total == 1 ? u"entry" : u"entries", static_cast<int64_t>(dataBytes), damaged}));
  }
  return damaged > 0 || unmatched ? kExitFailed : kExitSuccess;
}
