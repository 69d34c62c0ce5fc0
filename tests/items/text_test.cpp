// UTF-16LE to UTF-8 conversion of stored texts.
#include <gtest/gtest.h>

#include "items/text.h"

namespace velmorix::items {
namespace {

std::string Convert(std::initializer_list<uint8_t> bytes) {
  std::vector<std::byte> b;
  for (uint8_t v : bytes) b.push_back(std::byte{v});
  return WideToUtf8(ByteSpan(b));
}

TEST(WideToUtf8, AsciiKeepsEveryCharacter) {
  EXPECT_EQ(Convert({0x41, 0x00, 0x62, 0x00}), "Ab");
  EXPECT_EQ(Convert({}), "");
}

TEST(WideToUtf8, CharactersBeyondLatin1AreEncodedWhole) {
  // U+00E9, U+0100, and the folder name U+6536 U+4EF6 U+7BB1.
  EXPECT_EQ(Convert({0xE9, 0x00}), "\xC3\xA9");
  EXPECT_EQ(Convert({0x00, 0x01}), "\xC4\x80");
  EXPECT_EQ(Convert({0x36, 0x65, 0xF6, 0x4E, 0xB1, 0x7B}), "收件箱");
}

TEST(WideToUtf8, SurrogatePairsAndStrays) {
  // U+1F600 as a pair; a lone high and a lone low surrogate become U+FFFD.
  EXPECT_EQ(Convert({0x3D, 0xD8, 0x00, 0xDE}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Convert({0x3D, 0xD8, 0x41, 0x00}), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(Convert({0x00, 0xDE, 0x41, 0x00}), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(Convert({0x41, 0x00, 0x3D, 0xD8}), "A\xEF\xBF\xBD");
}

TEST(WideToUtf8, StopsAtNulAndIgnoresAnOddByte) {
  EXPECT_EQ(Convert({0x41, 0x00, 0x00, 0x00, 0x42, 0x00}), "A");
  EXPECT_EQ(Convert({0x41, 0x00, 0x42}), "A");
  // A zero low byte alone is not a NUL code unit.
  EXPECT_EQ(Convert({0x00, 0x01, 0x41, 0x00}), "\xC4\x80" "A");
}

}  // namespace
}  // namespace velmorix::items
