#include <gtest/gtest.h>
#include "codec.h"
TEST(Codec, Smoke) { ByteBuffer out; EXPECT_EQ(CompressBlock(0, nullptr, 0, &out), PckStatus::kSuccess); }
