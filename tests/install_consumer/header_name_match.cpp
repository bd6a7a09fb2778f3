// header_name_match.cpp - <quillo/name_match.h> compiles with nothing included before it.
#include <quillo/name_match.h>
