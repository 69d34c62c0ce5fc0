// Code-page text and text derived from HTML.
#include <gtest/gtest.h>

#include "content/codepage.h"
#include "content/html_text.h"
#include "content_test_util.h"

namespace velmorix::content::testing {
namespace {

TEST(TextDecoder, CodePagesToUtf8) {
  TextDecoder d;
  EXPECT_EQ(d.ToUtf8(AsBytes("caf\xE9 \x80 \x81"), 1252), "caf\xC3\xA9 \xE2\x82\xAC \xC2\x81");
  EXPECT_EQ(d.ToUtf8(AsBytes("\xE9t\xE9"), 28591), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(d.ToUtf8(AsBytes("\xCF\xF0\xE8\xE2\xE5\xF2"), 1251),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(d.ToUtf8(AsBytes("\x82\xA0\x82\xA2"), 932), "\xE3\x81\x82\xE3\x81\x84");
  // Invalid UTF-8 is replaced, valid text kept; text ends at a NUL.
  EXPECT_EQ(d.ToUtf8(AsBytes("ok \xFF\xC3\xA9"), kCodePageUtf8), "ok \xEF\xBF\xBD\xC3\xA9");
  EXPECT_EQ(d.ToUtf8(AsBytes(std::string_view("ab\0cd", 5)), 1252), "ab");
  // An incomplete multi-byte character at the end becomes U+FFFD.
  EXPECT_EQ(d.ToUtf8(AsBytes("a\x82"), 932), "a\xEF\xBF\xBD");
  // An unknown code page is read as Windows-1252.
  EXPECT_EQ(d.ToUtf8(AsBytes("\xE9"), 99999), "\xC3\xA9");
  EXPECT_EQ(d.ToUtf8(AsBytes(std::string_view("h\0i\0", 4)), kCodePageUtf16le), "hi");

  EXPECT_EQ(CodePageOfCharset("ISO-8859-2"), 28592);
  EXPECT_EQ(CodePageOfCharset("\"Windows-1251\""), 1251);
  EXPECT_EQ(CodePageOfCharset("shift_jis"), 932);
  EXPECT_EQ(CodePageOfCharset("x-unknown"), 0);
  EXPECT_EQ(CodePageOfRtfCharset(204), 1251);
}

TEST(HtmlText, ReadableTextOfAnHtmlBody) {
  const std::string html =
      "<html><head><title>T</title><style>p{color:red}</style></head><body>"
      "<p>Hello&nbsp;<b>world</b></p><p>Line&amp;2<br>next</p><!-- hidden -->"
      "<ul><li>one</li><li>two</li></ul><table><tr><td>a</td><td>b</td></tr></table>"
      "<a href=\"http://x.test/\">link</a><script>bad()</script>&#x263A;&#9731;&bogus;</body></html>";
  EXPECT_EQ(HtmlToText(html),
            "Hello\xC2\xA0world\r\nLine&2\r\nnext\r\n- one\r\n- two\r\na\tb\r\n"
            "link <http://x.test/>\xE2\x98\xBA\xE2\x98\x83&bogus;");
  EXPECT_EQ(HtmlToText("<pre>a  b\n c</pre>x   y"), "a  b\r\n c\r\nx y");
  EXPECT_EQ(HtmlToText("<a href='mailto:me@x.test'>me@x.test</a> a < b"), "me@x.test a < b");
  // Unclosed markup ends the text without running past it.
  EXPECT_EQ(HtmlToText("text<script>never closed"), "text");
  EXPECT_EQ(HtmlToText("text<a href=\"x"), "text");
  EXPECT_EQ(HtmlToText("&#0;&#99999999999;&#x;"), "\xEF\xBF\xBD\xEF\xBF\xBD&#x;");
}

TEST(HtmlText, DeclaredCharset) {
  EXPECT_EQ(HtmlDeclaredCharset("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-2\">"),
            "iso-8859-2");
  EXPECT_EQ(HtmlDeclaredCharset("<meta charset='utf-8'>"), "utf-8");
  EXPECT_EQ(HtmlDeclaredCharset("<p>no charset</p>"), "");
}

}  // namespace
}  // namespace velmorix::content::testing
