// long_options.h - runs whose command line holds long options ("--name").
//
// The original's parser (options.h) reads every argument that begins with "--" as an
// option whose letter is '-', and ignores it. Those arguments are quillo's own: a
// command line that holds one is parsed here instead, and the run prints no banner
// and no mode line, keeps standard output for its data and ends with status 0
// (success), 1 (some entry failed, an --include or a --delete matched nothing, or
// an edit failed and left the package as it was) or 2 (a bad command line, or a
// package that cannot be opened).
#ifndef QUILLO_TOOL_LONG_OPTIONS_H_
#define QUILLO_TOOL_LONG_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive.h"
#include "name_match.h"

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// What a long-option command line asks for.
struct LongOptions {
  enum class Command { kNone, kExtract, kCreate, kTest, kList, kCat, kHelp, kVersion, kEdit };
  Command command = Command::kNone;
  bool json = false;                      // --json
  bool logEntries = false;                // -d
  std::vector<std::u16string> includes;   // --include, in the order given
  std::vector<std::u16string> excludes;   // --exclude
  std::vector<std::u16string> filesFrom;  // --files-from
  bool hasTo = false;
  std::u16string to;  // --to
  std::u16string package;
  std::u16string createDir;  // -c DIR
  int32_t level = -1;        // -z N: -1 (zlib's default) or 0..9
  // --sort: the file search takes each folder's items in NTFS's order
  // (SearchOrder::kNtfs), so that the same tree gives the same package on every host.
  bool sort = false;
  std::u16string entryName;  // --cat: the second argument that is not an option
  bool hasAdd = false;
  std::u16string addDir;                // --add
  std::vector<std::u16string> deletes;  // --delete, in the order given
};

// True when `args` (argument 0 is the program's name) holds an argument that begins
// with "--" where the original's parser reads an option: the value taken by "-c" or
// "-z" is not one, whatever it begins with.
bool HasLongOption(const std::vector<std::u16string>& args);

// Parses a long-option command line. False on a bad one, with what is wrong in
// *error (for example "--frob: unknown option").
bool ParseLongOptions(const std::vector<std::u16string>& args, LongOptions* options,
                      std::u16string* error);

// Runs a command line for which HasLongOption is true and returns the exit status.
int RunLongOptions(const std::vector<std::u16string>& args);

// --- Shared by the commands of long-option runs ---------------------------------

// Opens the package; on failure prints "quillo: <package>: <status message>[: the
// system's reason]" and returns false (the run then ends with kExitUsage).
bool OpenForLongRun(PckArchive* archive, const std::u16string& path);

// The indexes of the entries `selection` takes, in table order.
std::vector<size_t> ChooseEntries(const EntryList& entries, PckNameSelection* selection);

// Names each include that matched no entry on standard error. True when there was one.
bool ReportUnmatchedIncludes(const PckNameSelection& selection);

// What is wrong with an entry whose ReadEntry returned `status` with `size` bytes
// decoded: empty when the entry is whole, else the status message (with the
// library's reason, when it gave one, or how short the data came out).
std::u16string EntryDamage(const PckArchive& archive, const PckEntry& entry, PckStatus status,
                           size_t size);

// "zlib", "plain" or "empty": how an entry is stored, as its record tells.
const char16_t* StorageName(const PckEntry& entry);

// Appends `text` to `out` as a JSON string (quotes included), in UTF-8.
void AppendJsonString(std::string* out, std::u16string_view text);
// Appends the JSON object of an entry as --ls writes it, without its closing brace:
// {"type":"entry","name":...,"size":...,"stored":...,"offset":...,"storage":...
void AppendEntryJson(std::string* out, const PckEntry& entry);
// Writes JSON text to standard output once `out` has grown large, or always with
// `all`, and empties it. False when standard output lost bytes.
bool FlushJson(std::string* out, bool all);

// The commands, one source file each. Each returns the exit status.
int TestCommand(const LongOptions& options, PckNameSelection* selection);
int LsCommand(const LongOptions& options, PckNameSelection* selection);
int CatCommand(const LongOptions& options);
// -c DIR PKG: the package of every file below DIR, at -z's level, in NTFS's order with
// --sort. Standard output gets one summary line.
int LongCreateCommand(const LongOptions& options);
int EditCommand(const LongOptions& options);
int HelpCommand();
int VersionCommand();

#endif  // QUILLO_TOOL_LONG_OPTIONS_H_
