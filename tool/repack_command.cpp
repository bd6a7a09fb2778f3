// repack_command.cpp - rewrites a package at another compression level.
#include "commands.h"

int RepackCommand() { return 0; }
