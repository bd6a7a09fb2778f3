// options.h - ToolOptions, the one process-wide option record, and ParseOptions.
#ifndef QUILLO_TOOL_OPTIONS_H_
#define QUILLO_TOOL_OPTIONS_H_

#include <cstdint>
#include <string>

// Mode numbers (bits 0 to 7 of ToolOptions::mode).
inline constexpr uint32_t kModeNone = 0;
inline constexpr uint32_t kModeExtract = 1;
inline constexpr uint32_t kModeCreate = 2;
inline constexpr uint32_t kModeList = 3;
inline constexpr uint32_t kModeRepack = 4;
inline constexpr uint32_t kModeMask = 0xFF;
inline constexpr uint32_t kVerboseFlag = 0x100;

struct ToolOptions {
  const std::u16string* packagePath = nullptr;  // refers to the argument itself
  const std::u16string* createDir = nullptr;    // the argument after "-c"
  uint32_t mode = 0;                            // mode number | kVerboseFlag
  int32_t level = -1;                           // clamped to -1..9
  int32_t logEntries = 0;                       // "-d"
  int32_t firstLog = 1;                         // cleared by the first log line
  bool missingValue = false;                    // "-c" or "-z" had no argument after it
};

// The record the entry point fills and the commands read.
extern ToolOptions toolOptions;

// The original's rule for what is an option: an argument that begins with '-'; one
// that begins with '/' too, except that on POSIX hosts, where '/' begins every
// absolute path, only "/" and "/x" (two characters at most) count.
bool IsOption(const std::u16string& arg);

// Walks arguments 1 to argc-1 and fills toolOptions. Returns 0. The arguments must
// outlive toolOptions, which refers to them.
int ParseOptions(int argc, const std::u16string* argv);

// The mode number of toolOptions.mode.
inline uint32_t ModeNumber() { return toolOptions.mode & kModeMask; }
inline bool Verbose() { return (toolOptions.mode & kVerboseFlag) != 0; }

#endif  // QUILLO_TOOL_OPTIONS_H_
