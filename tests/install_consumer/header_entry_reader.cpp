// header_entry_reader.cpp - <quillo/entry_reader.h> compiles with nothing included before it.
#include <quillo/entry_reader.h>
