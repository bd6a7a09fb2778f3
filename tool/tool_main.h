// tool_main.h - the tool's entry point behind the platform's main function.
#ifndef QUILLO_TOOL_TOOL_MAIN_H_
#define QUILLO_TOOL_TOOL_MAIN_H_

#include <string>
#include <vector>

// Runs the tool on the arguments (argument 0 is the program's name); they must
// live as long as the process. Returns the exit status: 1 in every case for the
// original's options, 0, 1 or 2 for a command line with long options.
int ToolMain(const std::vector<std::u16string>& args);

#endif  // QUILLO_TOOL_TOOL_MAIN_H_
