// header_format.cpp - <quillo/format.h> compiles with nothing included before it.
#include <quillo/format.h>
