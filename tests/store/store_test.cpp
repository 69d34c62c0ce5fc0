#include <gtest/gtest.h>

#include "store/bytes.h"

namespace velmorix {
namespace {

TEST(ByteView, ShortReadIsAValue) {
  const std::byte data[3] = {std::byte{1}, std::byte{2}, std::byte{3}};
  ByteView v{ByteSpan(data)};
  EXPECT_EQ(v.U16(0), 0x0201);
  EXPECT_FALSE(v.U32(0).has_value());
  EXPECT_FALSE(v.U16(2).has_value());
  EXPECT_FALSE(v.Sub(1, 3).has_value());
}

}  // namespace
}  // namespace velmorix
