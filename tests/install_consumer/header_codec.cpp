// header_codec.cpp - <quillo/codec.h> compiles with nothing included before it.
#include <quillo/codec.h>
