// tool_main.cpp - start-up and dispatch: locale, banner, options, mode line, command.
#include "tool_main.h"

#include "commands.h"
#include "console.h"
#include "host/host.h"
#include "long_options.h"
#include "options.h"

namespace {

const char16_t* const kModeNames[] = {u"unknown", u"extract", u"create", u"list", u"repack"};

}  // namespace

int ToolMain(const std::vector<std::u16string>& args) {
  host::SetCodePageLocale();
  host::ReturnLargeBlocksPromptly();
  // Long options are quillo's own: such a run has no banner and its own statuses.
  if (HasLongOption(args)) return RunLongOptions(args);
  PrintBanner();
  if (args.size() < 2) {
    PrintUsage();
    host::FlushConsole();
    return 1;
  }
  ParseOptions(static_cast<int>(args.size()), args.data());
  const uint32_t mode = ModeNumber();
  // A "-c" or "-z" with nothing after it has no value to take.
  if (mode == kModeNone || mode > kModeRepack || !toolOptions.packagePath ||
      toolOptions.missingValue) {
    PrintUsage();
    host::FlushConsole();
    return 1;
  }
  if (mode == kModeCreate || mode == kModeRepack) {
    PrintFormat(u"       pck : %s\n      mode : %s\ncomp level : %d\n",
                {*toolOptions.packagePath, kModeNames[mode], toolOptions.level});
  } else {
    PrintFormat(u"  pck : %s\n mode : %s\n", {*toolOptions.packagePath, kModeNames[mode]});
  }
  switch (mode) {
    case kModeExtract:
      ExtractCommand();
      break;
    case kModeCreate:
      CreateCommand();
      break;
    case kModeList:
      ListCommand();
      break;
    case kModeRepack:
      RepackCommand();
      break;
  }
  host::FlushConsole();
  return 1;
}
