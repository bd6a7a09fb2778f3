// commands.h - the four commands of the tool, one source file each.
#ifndef QUILLO_TOOL_COMMANDS_H_
#define QUILLO_TOOL_COMMANDS_H_

#include <cstdint>
#include <functional>
#include <string>

class PckArchive;
struct PckEntry;

// Each command reads toolOptions, prints its own console lines and returns a
// result that the entry point ignores.
int ExtractCommand();
int CreateCommand();
int ListCommand();
int RepackCommand();

// What ExtractAll takes, for runs with long options: the entries `select` returns
// true for (every entry when it is empty). ExtractAll counts in `failures` the
// entries it could not read or write.
struct ExtractChoice {
  std::function<bool(const PckEntry&)> select;
  int32_t failures = 0;
};

// Writes every entry of the open `archive` (or those `choice` selects) below `root`
// (which ends in the host separator), printing the progress and per-entry error lines
// of the extract command and logging to "log.txt" when toolOptions.logEntries is set;
// each failing entry also gets one line on standard error that says why. An entry too
// large for memory is that entry's failure (status kFileOperationError), and the run
// goes on. Returns the status of the last entry, as ExtractCommand does.
int ExtractAll(PckArchive& archive, const std::u16string& root, ExtractChoice* choice = nullptr);

// Prints " mount pck...", opens the package of toolOptions and prints "done.\n"
// or the status message and a line feed, with the reason on standard error. True
// when the package is open.
bool MountPackage(PckArchive* archive);

// Writes `size` bytes to `path`, creating missing directories when the first open
// fails. Returns 0 when the file was written whole, -1 otherwise, with the system's
// reason in *reason when it is given. Never leaves a cut file: a new file that
// cannot be written whole is removed again, and a file that exists at `path` is
// replaced whole (written beside it, then renamed over it) or left as it was; a
// link there is replaced, never written through.
int WriteOutputFile(const std::u16string& path, uint32_t size, const uint8_t* data,
                    std::u16string* reason = nullptr);

// Appends the log line of one entry to "log.txt" (code page 936, CR LF).
void AppendLogLine(const PckEntry& entry);

#endif  // QUILLO_TOOL_COMMANDS_H_
