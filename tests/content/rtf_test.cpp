// Compressed RTF and the HTML and text recovered from RTF.
#include <gtest/gtest.h>

#include "content/rtf.h"
#include "content_test_util.h"
#include "storebuilder/rtf.h"

namespace velmorix::content::testing {
namespace {

Buffer Hex(std::initializer_list<int> bytes) {
  Buffer b;
  for (int v : bytes) b.push_back(std::byte(v));
  return b;
}

// The two streams of the published compression examples.
const Buffer kSimple = Hex({0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xf1,
                            0xc5, 0xc7, 0xa7, 0x03, 0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67, 0x31, 0x32,
                            0x35, 0x42, 0x32, 0x0a, 0xf3, 0x20, 0x68, 0x65, 0x6c, 0x09, 0x00, 0x20, 0x62,
                            0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f, 0xa0});
const Buffer kCrossing = Hex({0x1a, 0x00, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xe2,
                              0xd4, 0x4b, 0x51, 0x41, 0x00, 0x04, 0x20, 0x57, 0x58, 0x59, 0x5a, 0x0d, 0x6e,
                              0x7d, 0x01, 0x0e, 0xb0});

void SetU32(Buffer& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::byte((v >> (8 * i)) & 0xFF);
}

TEST(CompressedRtf, PublishedExamplesExpand) {
  auto simple = DecompressRtf(kSimple);
  ASSERT_TRUE(simple);
  EXPECT_EQ(simple->rtf, "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
  EXPECT_FALSE(simple->damaged) << simple->problem;

  // A reference that reads the bytes it is writing.
  auto crossing = DecompressRtf(kCrossing);
  ASSERT_TRUE(crossing);
  EXPECT_EQ(crossing->rtf, "{\\rtf1 WXYZWXYZWXYZWXYZWXYZ}");
  EXPECT_FALSE(crossing->damaged);
}

TEST(CompressedRtf, UncompressedFormAndWrittenStreamsRoundTrip) {
  const std::string rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}\\pard "
                          "One line, and the same line, and the same line again.\\par}";
  for (bool compressed : {true, false}) {
    const Buffer stream = storebuilder::CompressRtf(rtf, compressed);
    auto out = DecompressRtf(stream);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->rtf, rtf);
    EXPECT_FALSE(out->damaged) << out->problem;
    if (compressed) {
      EXPECT_LT(stream.size(), rtf.size() + 16);
    }
  }
  // Longer than the dictionary, so that it wraps.
  std::string big;
  for (int i = 0; i < 900; ++i) big += "word" + std::to_string(i % 37) + ' ';
  auto out = DecompressRtf(storebuilder::CompressRtf(big));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->rtf, big);
  EXPECT_FALSE(out->damaged);
}

TEST(CompressedRtf, DamagedStreamsGivePartsFlaggedAsDamaged) {
  // A wrong CRC: the text still comes out, flagged.
  Buffer badCrc = kSimple;
  badCrc[12] ^= std::byte{0xFF};
  auto crc = DecompressRtf(badCrc);
  ASSERT_TRUE(crc);
  EXPECT_EQ(crc->rtf, "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
  EXPECT_TRUE(crc->damaged);
  EXPECT_NE(crc->problem.find("CRC"), std::string::npos);

  // Cut short: what was there, flagged.
  Buffer cut(kSimple.begin(), kSimple.begin() + 30);
  auto part = DecompressRtf(cut);
  ASSERT_TRUE(part);
  EXPECT_TRUE(part->damaged);
  EXPECT_EQ(part->rtf.rfind("{\\rtf1\\ansi", 0), 0u);
  EXPECT_LT(part->rtf.size(), 43u);

  // A raw size that claims gigabytes allocates and yields no more than the
  // contents can expand to.
  Buffer huge = kSimple;
  SetU32(huge, 4, 0xFFFFFFF0);
  auto bounded = DecompressRtf(huge);
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->rtf, "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
  EXPECT_TRUE(bounded->damaged);
  EXPECT_LT(bounded->rtf.capacity(), 1024u);

  // A smaller raw size stops the output there.
  Buffer small = kSimple;
  SetU32(small, 4, 10);
  EXPECT_EQ(DecompressRtf(small)->rtf, "{\\rtf1\\ans");

  // A reference to the part of the dictionary that was never written.
  Buffer before = Hex({0, 0, 0, 0, 0x40, 0, 0, 0, 0x4c, 0x5a, 0x46, 0x75, 0, 0, 0, 0, 0x02, 'A', 0xFA, 0x0F});
  SetU32(before, 0, static_cast<uint32_t>(before.size() - 4));
  auto early = DecompressRtf(before);
  ASSERT_TRUE(early);
  EXPECT_TRUE(early->damaged);
  EXPECT_EQ(early->rtf, "A");

  // The uncompressed form shorter than its header says.
  Buffer mela = storebuilder::CompressRtf("{\\rtf1 x}", false);
  SetU32(mela, 4, 1000);
  auto shortMela = DecompressRtf(mela);
  ASSERT_TRUE(shortMela);
  EXPECT_EQ(shortMela->rtf, "{\\rtf1 x}");
  EXPECT_TRUE(shortMela->damaged);

  // Not a stream at all.
  EXPECT_FALSE(DecompressRtf(Hex({1, 2, 3})));
  Buffer unknown = kSimple;
  unknown[8] = std::byte{'X'};
  EXPECT_FALSE(DecompressRtf(unknown));
}

TEST(RtfText, VisibleTextWithCodePagesAndUnicode) {
  TextDecoder decoder;
  const std::string rtf =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fcharset204 Times;}}"
      "{\\colortbl;\\red0\\green0\\blue0;}{\\*\\generator Writer;}{\\info{\\title T}}"
      "\\pard Hello \\b world\\b0\\par caf\\'e9 \\f1\\'c0\\f0  \\u8364?\\par"
      "{\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt link}}\\tab end\\line{\\pict 0102}}";
  EXPECT_EQ(RtfToText(rtf, decoder),
            "Hello world\r\ncaf\xC3\xA9 \xD0\x90 \xE2\x82\xAC\r\nlink\tend\r\n");
  EXPECT_FALSE(RtfEncapsulatesHtml(rtf));
  EXPECT_FALSE(RtfToHtml(rtf, decoder));
}

TEST(RtfText, EncapsulatedHtmlComesBack) {
  TextDecoder decoder;
  const std::string rtf =
      "{\\rtf1\\ANSI\\ansicpg1251\\fromhtml1 \\deff0{\\fonttbl {\\f0\\fmodern Courier New;}"
      "{\\f1\\fswiss Arial;}{\\f2\\fswiss\\fcharset0 Arial;}}"
      "{\\colortbl\\red0\\green0\\blue0;\\red0\\green0\\blue255;}{\\*\\htmltag64}"
      "\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 {\\*\\htmltag <HTML><head>\\par <style>\\par}"
      "{\\htmlrtf \\f1 \\htmlrtf0 Note the line break inside a P tag. {\\*\\htmltag <b>}"
      "{\\htmlrtf \\b \\htmlrtf0 This is a bold text{\\*\\htmltag </b>}} \\htmlrtf\\par\\htmlrtf0}"
      "{\\*\\htmltag &lt;}\\htmlrtf <\\htmlrtf0 {\\*\\htmltag \\'cf\\u8364?</HTML>}}";
  ASSERT_TRUE(RtfEncapsulatesHtml(rtf));
  auto html = RtfToHtml(rtf, decoder);
  ASSERT_TRUE(html);
  EXPECT_EQ(*html,
            "<HTML><head>\r\n<style>\r\nNote the line break inside a P tag. <b>This is a bold "
            "text</b> &lt;\xD0\x9F\xE2\x82\xAC</HTML>");
}

TEST(RtfText, HostileRtfStaysBounded) {
  TextDecoder decoder;
  std::string deep(100000, '{');
  deep += "\\fromhtml1 text";
  EXPECT_NO_THROW(RtfToText(deep, decoder));
  EXPECT_NO_THROW(RtfToHtml("{\\rtf1\\fromhtml1{\\*\\htmltag\\bin99999999 x}}", decoder));
  EXPECT_EQ(RtfToText("{\\rtf1 a\\u-10179?\\u-8704?b\\u55357 c}", decoder), "a\xF0\x9F\x98\x80" "b\xEF\xBF\xBD");
  EXPECT_EQ(RtfToText("\\", decoder), "");
  EXPECT_EQ(RtfToText("{\\rtf1 \\'zz\\'4", decoder), "zz4");
}

}  // namespace
}  // namespace velmorix::content::testing
