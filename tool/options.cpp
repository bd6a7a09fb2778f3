// options.cpp - the command-line walk that fills ToolOptions.
#include "options.h"

#include <limits>

ToolOptions toolOptions;

bool IsOption(const std::u16string& arg) {
  if (arg.empty()) return false;
  if (arg[0] == u'-') return true;
  if (arg[0] != u'/') return false;
#ifdef _WIN32
  return true;
#else
  return arg.size() <= 2;
#endif
}

namespace {

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// The decimal integer at the start of `text`: leading white space, one sign, then
// digits up to the first other character; no digits give 0. Saturates at the
// limits of a 32-bit integer.
int32_t LeadingInteger(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) break;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

int ParseOptions(int argc, const std::u16string* argv) {
  toolOptions.packagePath = nullptr;
  toolOptions.mode = 0;
  for (int i = 1; i < argc; ++i) {
    const std::u16string& arg = argv[i];
    if (!IsOption(arg)) {
      if (!toolOptions.packagePath) toolOptions.packagePath = &arg;
      continue;
    }
    const char16_t letter = arg.size() > 1 ? arg[1] : 0;
    const bool modeFree = (toolOptions.mode & kModeMask) == 0;
    switch (letter) {
      case u'x':
        if (modeFree) toolOptions.mode = kModeExtract;
        break;
      case u'c':
        if (modeFree) toolOptions.mode = kModeCreate;
        if (i + 1 < argc) {
          toolOptions.createDir = &argv[++i];
        } else {
          toolOptions.missingValue = true;
        }
        break;
      case u'l':
        if (modeFree) toolOptions.mode = kModeList;
        break;
      case u'r':
        if (modeFree) toolOptions.mode = kModeRepack;
        break;
      case u'v':
        toolOptions.mode |= kVerboseFlag;
        break;
      case u'z':
        if (i + 1 < argc) {
          toolOptions.level = LeadingInteger(argv[++i]);
        } else {
          toolOptions.missingValue = true;
        }
        break;
      case u'd':
        toolOptions.logEntries = 1;
        break;
      default:
        break;
    }
  }
  if (toolOptions.level < 0) toolOptions.level = -1;
  if (toolOptions.level > 9) toolOptions.level = 9;
  return 0;
}
