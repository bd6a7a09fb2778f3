// header_status.cpp - <quillo/status.h> compiles with nothing included before it.
#include <quillo/status.h>
