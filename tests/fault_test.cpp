// fault_test.cpp
#include <gtest/gtest.h>
