// console.h - console output: the formatter, the print family and ConsoleProgress.
#ifndef QUILLO_TOOL_CONSOLE_H_
#define QUILLO_TOOL_CONSOLE_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "status.h"

// One argument of Format: a string (%s), an integer (%d) or a character (%c).
struct FormatArg {
  FormatArg(std::u16string_view s) : text(s), isText(true) {}
  FormatArg(const char16_t* s) : text(s), isText(true) {}
  FormatArg(const std::u16string& s) : text(s), isText(true) {}
  FormatArg(int64_t v) : number(v) {}
  FormatArg(int32_t v) : number(v) {}
  FormatArg(uint32_t v) : number(v) {}
  FormatArg(char16_t c) : number(c), isChar(true) {}

  std::u16string_view text;
  int64_t number = 0;
  bool isText = false;
  bool isChar = false;
};

// printf-style formatting of the tool's texts: %s, %d and %c, each with an
// optional field width (right-aligned), and %% for a percent sign.
std::u16string Format(std::u16string_view format, std::initializer_list<FormatArg> args = {});

// Writes text to standard output.
void Print(std::u16string_view text);
// Formats and writes to standard output. Control characters in the %s texts (entry
// names and paths: U+0000 to U+001F, U+007F to U+009F, and the escaped bytes 0x80
// to 0x9F, U+DC80 to U+DC9F) are shown as '?', so that a name cannot act on the
// terminal; the format's own "\r" and "\n" are kept. Format itself keeps them.
void PrintFormat(std::u16string_view format, std::initializer_list<FormatArg> args);

// `text` with each control character that PrintFormat would show as '?' replaced
// by it, for texts printed without a format (the lines of a listing).
std::u16string ShownOnConsole(std::u16string_view text);

// Writes one diagnostic line to standard error: "quillo: " + subject + ": " + reason
// (without the subject and its colon when it is empty). Control characters in
// either are shown as '?', as by PrintFormat. Standard output is not touched.
void PrintDiagnostic(std::u16string_view subject, std::u16string_view reason);

// The status message of a package operation, as printed.
std::u16string_view StatusText(PckStatus status);

// The tool's progress callback: wipes the row, then " <label> <done>/<total> done.\r".
int ConsoleProgress(int32_t done, int32_t total, const char16_t* label);

void PrintBanner();
void PrintUsage();

// Runs with long options keep standard output for their data (a listing, JSON,
// entry bytes). After BeginDataRun, Print and PrintFormat print nothing (the
// original's console lines are not part of the data), and ConsoleProgress draws
// its line on standard error, only when that is a terminal and at most a few
// times a second. EndProgress wipes the line drawn last, if any.
void BeginDataRun();
void EndProgress();
// Writes a data run's text (a listing, the help) to standard output, in the
// console's encoding, as Print does outside data runs.
void PrintData(std::u16string_view text);

#endif  // QUILLO_TOOL_CONSOLE_H_
