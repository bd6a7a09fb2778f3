// console.cpp - the tool's only route to standard output.
#include "console.h"

#include <chrono>
#include <vector>

#include "host/host.h"

namespace {

bool g_dataRun = false;
bool g_progressToStderr = false;  // a data run whose standard error is a terminal
bool g_progressShown = false;     // a data run's progress line is on standard error
std::chrono::steady_clock::time_point g_lastProgress;

// Appends `value` in decimal, with a leading '-' when it is negative.
void AppendNumber(std::u16string* out, int64_t value) {
  char16_t digits[20];
  size_t n = 0;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) out->push_back(u'-');
  while (n > 0) out->push_back(digits[--n]);
}

// Whether the unit at `i` would act on a terminal rather than show: a control
// character (C0, DEL, C1), or an escaped byte from 0x80 to 0x9F (a name's byte that
// was no character), which a terminal reading 8-bit bytes takes as a C1 control.
bool IsControl(std::u16string_view text, size_t i) {
  const char16_t c = text[i];
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
  const bool afterLead = i > 0 && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF;
  return c >= host::kFirstEscapedByte && c <= 0xDC9F && !afterLead;
}

// The text with every unit that IsControl finds replaced by '?'.
std::u16string Shown(std::u16string_view text) {
  std::u16string shown(text);
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsControl(text, i)) shown[i] = u'?';
  }
  return shown;
}

std::u16string FormatArgs(std::u16string_view format, const FormatArg* next, const FormatArg* end) {
  std::u16string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%' || i + 1 >= format.size()) {
      out.push_back(format[i]);
      continue;
    }
    ++i;
    if (format[i] == u'%') {
      out.push_back(u'%');
      continue;
    }
    size_t width = 0;
    while (i < format.size() && format[i] >= u'0' && format[i] <= u'9') {
      width = width * 10 + (format[i++] - u'0');
    }
    if (i >= format.size()) break;
    std::u16string field;
    const char16_t conversion = format[i];
    if (next != end) {
      const FormatArg& arg = *next++;
      if (conversion == u's') {
        field = arg.text;
      } else if (conversion == u'c') {
        field.push_back(static_cast<char16_t>(arg.number));
      } else {
        AppendNumber(&field, arg.number);
      }
    }
    if (field.size() < width) out.append(width - field.size(), u' ');
    out += field;
  }
  return out;
}

}  // namespace

std::u16string Format(std::u16string_view format, std::initializer_list<FormatArg> args) {
  return FormatArgs(format, args.begin(), args.end());
}

void Print(std::u16string_view text) {
  if (!g_dataRun) host::WriteConsole(text);
}

std::u16string ShownOnConsole(std::u16string_view text) { return Shown(text); }

void PrintDiagnostic(std::u16string_view subject, std::u16string_view reason) {
  std::u16string line = u"quillo: ";
  if (!subject.empty()) {
    line += subject;
    line += u": ";
  }
  line += reason;
  // A name may hold control characters: they must not act on the terminal.
  EndProgress();  // a data run's progress line must not show through
  // What went to standard output before comes first on a shared terminal.
  host::FlushConsole();
  host::WriteErrorText(Shown(line) + u"\n");
}

// The texts given for %s (entry names, paths) may hold control characters; the
// format's own "\r" and "\n" are kept.
void PrintFormat(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::vector<FormatArg> shownArgs(args);
  std::vector<std::u16string> texts;
  texts.reserve(args.size());
  for (FormatArg& arg : shownArgs) {
    if (!arg.isText) continue;
    bool control = false;
    for (size_t i = 0; i < arg.text.size() && !control; ++i) control = IsControl(arg.text, i);
    if (!control) continue;
    texts.push_back(Shown(arg.text));
    arg.text = texts.back();
  }
  Print(FormatArgs(format, shownArgs.data(), shownArgs.data() + shownArgs.size()));
}

std::u16string_view StatusText(PckStatus status) { return PckStatusMessage(status); }

// It runs once per entry and record, so it forms its two pieces, "%78c\r" and
// " %s %d/%d done.\r", without the general formatter and prints them in one go.
int ConsoleProgress(int32_t done, int32_t total, const char16_t* label) {
  if (g_dataRun) {
    if (!g_progressToStderr) return 0;
    const auto now = std::chrono::steady_clock::now();
    if (g_progressShown && done != total && now - g_lastProgress < std::chrono::milliseconds(100)) {
      return 0;
    }
    g_lastProgress = now;
    g_progressShown = true;
  }
  std::u16string line(78, u' ');
  line += u"\r ";
  line += label;
  line.push_back(u' ');
  AppendNumber(&line, done);
  line.push_back(u'/');
  AppendNumber(&line, total);
  line += u" done.\r";
  if (g_dataRun) {
    host::WriteErrorText(line);
  } else {
    Print(line);
  }
  return 0;
}

void BeginDataRun() {
  g_dataRun = true;
  g_progressToStderr = host::StderrIsTerminal();
}

void PrintData(std::u16string_view text) { host::WriteConsole(text); }

void EndProgress() {
  if (!g_progressShown) return;
  host::WriteErrorText(std::u16string(78, u' ') + u"\r");
  g_progressShown = false;
}

void PrintBanner() { PrintFormat(u"vantor pack util version %s\n", {u"Apr  7 2007"}); }

void PrintUsage() {
  Print(u" usage : quillo [cmd] [opt] [pck file]\n");
  Print(u"   cmd : -x       Extract\n");
  Print(u"         -c [dir] Create\n");
  Print(u"         -r       Repack\n");
  Print(u"   opt : -z [0-9] Compress level\n");
}
