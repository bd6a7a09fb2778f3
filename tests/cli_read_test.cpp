// cli_read_test.cpp
#include <gtest/gtest.h>
