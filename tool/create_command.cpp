// create_command.cpp - builds a package from every file below a directory.
#include "commands.h"

int CreateCommand() { return 0; }
