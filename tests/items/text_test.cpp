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

// Long ASCII runs convert several code units per step: whatever ends the run
// (a NUL, a non-ASCII unit, the end of the text) must act at its own position.
TEST(WideToUtf8, RunsEndAtEveryPosition) {
  struct Unit {
    uint8_t lo, hi;
    std::string utf8;  // what it converts to; empty for NUL
  };
  const Unit units[] = {{0x00, 0x00, ""},         {0x7F, 0x00, "\x7F"},     {0x80, 0x00, "\xC2\x80"},
                        {0xE9, 0x00, "\xC3\xA9"}, {0x00, 0x01, "\xC4\x80"}, {0x41, 0x01, "\xC5\x81"}};
  for (size_t n = 1; n <= 20; ++n) {
    for (size_t k = 0; k < n; ++k) {
      for (const Unit& u : units) {
        std::vector<std::byte> b;
        std::string expected;
        bool ended = false;
        for (size_t i = 0; i < n; ++i) {
          const char letter = static_cast<char>('a' + i % 26);
          if (i == k) {
            b.push_back(std::byte{u.lo});
            b.push_back(std::byte{u.hi});
            if (u.utf8.empty()) ended = true;
            if (!ended) expected += u.utf8;
          } else {
            b.push_back(std::byte(letter));
            b.push_back(std::byte{0});
            if (!ended) expected += letter;
          }
        }
        EXPECT_EQ(WideToUtf8(ByteSpan(b)), expected) << "length " << n << ", unit at " << k;
        const Blob blob = WideToUtf8Blob(ByteSpan(b));
        EXPECT_EQ(blob.view(), expected) << "length " << n << ", unit at " << k;
      }
    }
  }
}

TEST(WideToUtf8, LongTextsConvertWhole) {
  // Past the size converted on the stack, with a non-ASCII character at the end.
  std::vector<std::byte> b;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    b.push_back(std::byte('0' + i % 10));
    b.push_back(std::byte{0});
    expected += static_cast<char>('0' + i % 10);
  }
  b.push_back(std::byte{0xE9});
  b.push_back(std::byte{0x00});
  expected += "\xC3\xA9";
  EXPECT_EQ(WideToUtf8(ByteSpan(b)), expected);
  EXPECT_EQ(WideToUtf8Blob(ByteSpan(b)).view(), expected);
}

}  // namespace
}  // namespace velmorix::items
