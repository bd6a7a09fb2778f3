// long_options.cpp - the parser and dispatch of runs with long options, and what
// their commands share.
#include "long_options.h"

#include "commands.h"
#include "console.h"
#include "host/host.h"
#include "names.h"
#include "options.h"

namespace {

using Command = LongOptions::Command;

bool IsLong(const std::u16string& arg) {
  return arg.size() >= 2 && arg[0] == u'-' && arg[1] == u'-';
}

const char16_t* CommandName(Command command) {
  switch (command) {
    case Command::kExtract:
      return u"-x";
    case Command::kCreate:
      return u"-c";
    case Command::kTest:
      return u"--test";
    case Command::kList:
      return u"--ls";
    case Command::kCat:
      return u"--cat";
    case Command::kHelp:
      return u"--help";
    case Command::kVersion:
      return u"--version";
    case Command::kEdit:
      return u"--add/--delete";
    case Command::kNone:
      break;
  }
  return u"";
}

struct LongOption {
  const char16_t* name;
  bool takesValue;
  Command command;  // kNone: not a command
};

constexpr LongOption kLongOptions[] = {
    {u"test", false, Command::kTest},       {u"ls", false, Command::kList},
    {u"cat", false, Command::kCat},         {u"help", false, Command::kHelp},
    {u"version", false, Command::kVersion}, {u"json", false, Command::kNone},
    {u"include", true, Command::kNone},     {u"exclude", true, Command::kNone},
    {u"files-from", true, Command::kNone},  {u"to", true, Command::kNone},
    {u"sort", false, Command::kNone},       {u"add", true, Command::kEdit},
    {u"delete", true, Command::kEdit},
};

// Reads FILE of --files-from: each line (UTF-8, LF or CR LF, a byte-order mark
// allowed) that is not empty becomes one more include.
bool ReadNameList(const std::u16string& path, PckNameSelection* selection) {
  auto file = host::Host::Current().OpenFile(path, host::OpenMode::kRead);
  if (!file) {
    PrintDiagnostic(path, host::LastErrorText());
    return false;
  }
  std::string bytes;
  char chunk[64 << 10];
  size_t got;
  while ((got = file->Read(chunk, sizeof chunk)) > 0) bytes.append(chunk, got);
  file->Close();
  size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    size_t stop = end;
    if (stop > start && bytes[stop - 1] == '\r') --stop;
    if (stop > start) {
      selection->Include(host::Utf8ToUtf16(std::string_view(bytes).substr(start, stop - start)));
    }
    start = end + 1;
  }
  selection->TakeOnlyIncluded();
  return true;
}

bool BuildSelection(const LongOptions& options, PckNameSelection* selection) {
  for (const std::u16string& pattern : options.includes) selection->Include(pattern);
  for (const std::u16string& pattern : options.excludes) selection->Exclude(pattern);
  for (const std::u16string& path : options.filesFrom) {
    if (!ReadNameList(path, selection)) return false;
  }
  return true;
}

// A level as -z of a long run takes it: a whole number from -1 to 9, nothing else.
bool ParseLevel(const std::u16string& text, int32_t* level) {
  const bool negative = !text.empty() && text[0] == u'-';
  const std::u16string digits = text.substr(negative ? 1 : 0);
  if (digits.size() != 1 || digits[0] < u'0' || digits[0] > u'9') return false;
  const int32_t value = negative ? -(digits[0] - u'0') : digits[0] - u'0';
  if (value < -1) return false;
  *level = value;
  return true;
}

int ExtractSelected(const LongOptions& options, PckNameSelection* selection) {
  PckArchive archive;
  if (!OpenForLongRun(&archive, options.package)) return kExitUsage;
  std::u16string root;
  if (options.hasTo) {
    root = options.to;
    const bool endsInSeparator =
        root.back() == host::kPathSeparator || (host::kWindowsNames && root.back() == u'/');
    if (!endsInSeparator) root.push_back(host::kPathSeparator);
  } else {
    root = options.package + u".files" + host::kPathSeparator;
  }
  toolOptions.logEntries = options.logEntries ? 1 : 0;
  ExtractChoice choice;
  choice.select = [selection](const PckEntry& entry) {
    return selection->Selects(EntryNameView(entry.name));
  };
  ExtractAll(archive, root, &choice);
  EndProgress();
  const bool unmatched = ReportUnmatchedIncludes(*selection);
  return choice.failures > 0 || unmatched ? kExitFailed : kExitSuccess;
}

}  // namespace

bool HasLongOption(const std::vector<std::u16string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    if (IsLong(arg)) return true;
    // "-c" and "-z" take the next argument as their value, whatever it is.
    if (IsOption(arg) && arg.size() > 1 && (arg[1] == u'c' || arg[1] == u'z')) ++i;
  }
  return false;
}

bool ParseLongOptions(const std::vector<std::u16string>& args, LongOptions* options,
                      std::u16string* error) {
  std::vector<const std::u16string*> operands;
  bool help = false;
  bool version = false;
  bool optionsEnded = false;
  bool levelGiven = false;
  // Two commands are an error unless --help or --version takes their place.
  std::u16string twoCommands;
  auto setCommand = [&](Command command) {
    if (options->command != Command::kNone && options->command != command) {
      if (twoCommands.empty()) {
        twoCommands = std::u16string(CommandName(options->command)) + u" and " +
                      CommandName(command) + u": give one command only";
      }
      return;
    }
    options->command = command;
  };
  for (size_t i = 1; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    if (optionsEnded || !IsOption(arg)) {
      operands.push_back(&arg);
      continue;
    }
    if (arg == u"--") {
      optionsEnded = true;
      continue;
    }
    if (!IsLong(arg)) {
      // The original's options: the letter is the second character.
      const char16_t letter = arg.size() > 1 ? arg[1] : 0;
      if (letter == u'x') {
        setCommand(Command::kExtract);
      } else if (letter == u'd') {
        options->logEntries = true;
      } else if (letter == u'c' || letter == u'z') {
        // As on the original's command lines, the next argument is the value,
        // whatever it begins with.
        if (i + 1 >= args.size()) {
          *error = arg + (letter == u'c' ? u": give the folder" : u": give the level");
          return false;
        }
        const std::u16string& value = args[++i];
        if (letter == u'c') {
          setCommand(Command::kCreate);
          options->createDir = value;
        } else if (!ParseLevel(value, &options->level)) {
          *error = arg + u" " + value + u": give a level from -1 to 9";
          return false;
        }
        levelGiven = levelGiven || letter == u'z';
      } else {
        *error = arg + u": not an option of runs with long options (only -x, -d, -c and -z are)";
        return false;
      }
      continue;
    }
    const size_t equals = arg.find(u'=');
    const std::u16string name = arg.substr(2, equals == std::u16string::npos ? equals : equals - 2);
    const LongOption* option = nullptr;
    for (const LongOption& candidate : kLongOptions) {
      if (name == candidate.name) option = &candidate;
    }
    const std::u16string shown = u"--" + name;
    if (!option) {
      *error = shown + u": unknown option";
      return false;
    }
    std::u16string value;
    if (equals != std::u16string::npos) {
      if (!option->takesValue) {
        *error = shown + u": takes no value";
        return false;
      }
      value = arg.substr(equals + 1);
    } else if (option->takesValue) {
      if (i + 1 >= args.size()) {
        *error = shown + u": needs a value";
        return false;
      }
      value = args[++i];
    }
    if (option->takesValue && value.empty()) {
      *error = shown + u": the value is empty";
      return false;
    }
    if (option->command == Command::kHelp) {
      help = true;
    } else if (option->command == Command::kVersion) {
      version = true;
    } else if (option->command != Command::kNone) {
      setCommand(option->command);
      if (name == u"add") {
        if (options->hasAdd) {
          *error = shown + u": given twice";
          return false;
        }
        options->hasAdd = true;
        options->addDir = value;
      } else if (name == u"delete") {
        options->deletes.push_back(value);
      }
    } else if (name == u"json") {
      options->json = true;
    } else if (name == u"sort") {
      options->sort = true;
    } else if (name == u"include") {
      options->includes.push_back(value);
    } else if (name == u"exclude") {
      options->excludes.push_back(value);
    } else if (name == u"files-from") {
      options->filesFrom.push_back(value);
    } else if (name == u"to") {
      if (options->hasTo) {
        *error = shown + u": given twice";
        return false;
      }
      options->hasTo = true;
      options->to = value;
    }
  }
  // --help and --version answer whatever else the line asks.
  if (help || version) {
    options->command = help ? Command::kHelp : Command::kVersion;
    return true;
  }
  if (!twoCommands.empty()) {
    *error = twoCommands;
    return false;
  }
  const Command command = options->command;
  if (command == Command::kNone) {
    *error = u"no command: give -x, -c, --test, --ls, --cat, --add or --delete";
    return false;
  }
  const std::u16string commandName = CommandName(command);
  const size_t wanted = command == Command::kCat ? 2 : 1;
  if (operands.size() < wanted) {
    *error = commandName + (command == Command::kCat ? u": give the package and the entry name"
                                                     : u": give the package");
    return false;
  }
  if (operands.size() > wanted) {
    *error = *operands[wanted] + u": one argument too many";
    return false;
  }
  options->package = *operands[0];
  if (command == Command::kCat) options->entryName = *operands[1];
  if (options->json && command != Command::kList && command != Command::kTest) {
    *error = u"--json: only with --ls or --test";
    return false;
  }
  const bool selects =
      !options->includes.empty() || !options->excludes.empty() || !options->filesFrom.empty();
  if (selects &&
      (command == Command::kCat || command == Command::kCreate || command == Command::kEdit)) {
    *error = u"--include, --exclude and --files-from: only with -x, --ls or --test";
    return false;
  }
  if (options->hasTo && command != Command::kExtract) {
    *error = u"--to: only with -x";
    return false;
  }
  if (options->logEntries && command != Command::kExtract) {
    *error = u"-d: only with -x";
    return false;
  }
  if (levelGiven && command != Command::kCreate && command != Command::kEdit) {
    *error = u"-z: only with -c, --add or --delete";
    return false;
  }
  if (options->sort && command != Command::kCreate && !options->hasAdd) {
    *error = u"--sort: only with -c or --add";
    return false;
  }
  return true;
}

int RunLongOptions(const std::vector<std::u16string>& args) {
  BeginDataRun();
  LongOptions options;
  std::u16string error;
  if (!ParseLongOptions(args, &options, &error)) {
    PrintDiagnostic(u"", error);
    PrintDiagnostic(u"", u"see 'quillo --help' for the options");
    return kExitUsage;
  }
  int status = kExitSuccess;
  PckNameSelection selection;
  switch (options.command) {
    case Command::kHelp:
      status = HelpCommand();
      break;
    case Command::kVersion:
      status = VersionCommand();
      break;
    case Command::kCat:
      status = CatCommand(options);
      break;
    case Command::kCreate:
      status = LongCreateCommand(options);
      break;
    case Command::kEdit:
      status = EditCommand(options);
      break;
    case Command::kExtract:
    case Command::kTest:
    case Command::kList:
      if (!BuildSelection(options, &selection)) return kExitUsage;
      if (options.command == Command::kExtract) {
        status = ExtractSelected(options, &selection);
      } else if (options.command == Command::kTest) {
        status = TestCommand(options, &selection);
      } else {
        status = LsCommand(options, &selection);
      }
      break;
    case Command::kNone:
      break;
  }
  EndProgress();
  if (!host::FinishStdout()) {
    PrintDiagnostic(u"standard output", host::LastErrorText());
    if (status == kExitSuccess) status = kExitFailed;
  }
  return status;
}

bool OpenForLongRun(PckArchive* archive, const std::u16string& path) {
  const PckStatus status = archive->Open(path);
  if (!IsError(status)) return true;
  std::u16string reason(StatusText(status));
  const PckFailure& failure = archive->failure();
  if (!failure.reason.empty() && failure.reason != reason) reason += u": " + failure.reason;
  PrintDiagnostic(path, reason);
  return false;
}

std::vector<size_t> ChooseEntries(const EntryList& entries, PckNameSelection* selection) {
  std::vector<size_t> chosen;
  chosen.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    if (selection->Selects(EntryNameView(entries[i].name))) chosen.push_back(i);
  }
  return chosen;
}

bool ReportUnmatchedIncludes(const PckNameSelection& selection) {
  const std::vector<std::u16string> unmatched = selection.UnmatchedIncludes();
  for (const std::u16string& pattern : unmatched) {
    PrintDiagnostic(u"--include " + pattern, u"matches no entry");
  }
  return !unmatched.empty();
}

std::u16string EntryDamage(const PckArchive& archive, const PckEntry& entry, PckStatus status,
                           size_t size) {
  if (IsError(status)) {
    std::u16string reason(StatusText(status));
    const std::u16string& detail = archive.failure().reason;
    if (!detail.empty() && detail != reason) reason += u": " + detail;
    return reason;
  }
  if (size >= entry.dataSize) return {};
  // The stream ended before dataSize bytes: what -x writes is padded with zeros.
  return Format(u"%s: the data ends after %d of %d bytes",
                {StatusText(PckStatus::kZlibError), static_cast<int64_t>(size),
                 static_cast<int64_t>(entry.dataSize)});
}

const char16_t* StorageName(const PckEntry& entry) {
  if (entry.dataSize == 0 && entry.storedSize == 0) return u"empty";
  if (entry.storedSize == entry.dataSize) return u"plain";
  return u"zlib";
}

void AppendJsonString(std::string* out, std::u16string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  std::u16string_view rest = text;
  while (!rest.empty()) {
    // Runs without characters to escape go through the UTF-8 converter whole.
    size_t plain = 0;
    while (plain < rest.size() && rest[plain] >= 0x20 && rest[plain] != u'"' &&
           rest[plain] != u'\\' && rest[plain] != 0x7F)
      ++plain;
    if (plain > 0) {
      *out += host::Utf16ToUtf8(rest.substr(0, plain));
      rest.remove_prefix(plain);
      continue;
    }
    const char16_t c = rest.front();
    rest.remove_prefix(1);
    if (c == u'"' || c == u'\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else {
      *out += "\\u00";
      out->push_back(kHex[(c >> 4) & 0xF]);
      out->push_back(kHex[c & 0xF]);
    }
  }
  out->push_back('"');
}

void AppendEntryJson(std::string* out, const PckEntry& entry) {
  *out += "{\"type\":\"entry\",\"name\":";
  AppendJsonString(out, EntryNameView(entry.name));
  *out += ",\"size\":" + std::to_string(entry.dataSize);
  *out += ",\"stored\":" + std::to_string(entry.storedSize);
  *out += ",\"offset\":" + std::to_string(entry.offset);
  *out += ",\"storage\":\"";
  *out += host::Utf16ToUtf8(StorageName(entry));
  out->push_back('"');
}

bool FlushJson(std::string* out, bool all) {
  if (!all && out->size() < (256u << 10)) return true;
  const bool written = host::WriteStdoutBytes(out->data(), out->size());
  out->clear();
  return written;
}
