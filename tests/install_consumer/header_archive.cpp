// header_archive.cpp - <quillo/archive.h> compiles with nothing included before it.
#include <quillo/archive.h>
