// fuzz_options.cpp - ParseOptions over an arbitrary argument vector.
//
// The input is split at zero bytes into arguments; each byte becomes one UTF-16
// unit, and a 0xFF byte followed by two more bytes gives one arbitrary unit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "options.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

std::vector<std::u16string> SplitArguments(const uint8_t* data, size_t size) {
  std::vector<std::u16string> args(1, u"quillo");
  args.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else if (data[i] == 0xFF && i + 2 < size) {
      args.back().push_back(static_cast<char16_t>(data[i + 1] | (data[i + 2] << 8)));
      i += 2;
    } else {
      args.back().push_back(data[i]);
    }
  }
  return args;
}

bool PointsInto(const std::u16string* p, const std::vector<std::u16string>& args) {
  return p >= args.data() + 1 && p < args.data() + args.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The record refers to the arguments, so they live as long as it is looked at.
  const std::vector<std::u16string> args = SplitArguments(data, size);
  toolOptions = ToolOptions{};
  Check(ParseOptions(static_cast<int>(args.size()), args.data()) == 0);
  Check(toolOptions.level >= -1 && toolOptions.level <= 9);
  Check(ModeNumber() <= kModeRepack);
  Check((toolOptions.mode & ~(kModeMask | kVerboseFlag)) == 0);
  Check(toolOptions.logEntries == 0 || toolOptions.logEntries == 1);
  Check(toolOptions.firstLog == 1);
  Check(!toolOptions.packagePath || PointsInto(toolOptions.packagePath, args));
  Check(!toolOptions.createDir || PointsInto(toolOptions.createDir, args));
  if (ModeNumber() == kModeCreate) Check(toolOptions.createDir || toolOptions.missingValue);
  toolOptions = ToolOptions{};  // drop the references before the arguments go
  return 0;
}
