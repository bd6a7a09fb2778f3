// archive_repack_test.cpp
#include <gtest/gtest.h>
