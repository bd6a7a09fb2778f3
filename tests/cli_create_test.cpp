// cli_create_test.cpp
#include <gtest/gtest.h>
