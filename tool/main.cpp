// main.cpp - the platform's main function: hands the arguments to ToolMain as UTF-16.
#include <string>
#include <vector>

#include "host/host.h"
#include "tool_main.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  return ToolMain(args);
}
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.push_back(host::Utf8ToUtf16(argv[i]));
  return ToolMain(args);
}
#endif
