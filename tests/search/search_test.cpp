// Case folding across scripts, malformed text, dates and the matcher's
// date range.
#include <gtest/gtest.h>

#include "search/casefold.h"
#include "search/query.h"

namespace velmorix::search {
namespace {

TEST(CaseFolding, FoldsEachScriptWithCaseToOneForm) {
  const std::pair<const char*, const char*> same[] = {
      {"M\xC3\x9CLLER", "m\xC3\xBCller"},                                  // Latin-1
      {"\xC5\x81\xC3\x93\xC4\x8E\xC5\xB9", "\xC5\x82\xC3\xB3\xC4\x8F\xC5\xBA"},  // ŁÓĎŹ, Latin Extended-A
      {"\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3",
       "\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82"},          // ΣΊΣΥΦΟΣ, σίσυφος (final sigma)
      {"\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},  // ПРИВЕТ
      {"\xD0\x81\xD0\x96", "\xD1\x91\xD0\xB6"},                            // ЁЖ
      {"STRA\xC3\x9F" "E", "strasse"},                                     // ß
      {"\xEF\xBC\xA1\xEF\xBC\xA2", "\xEF\xBD\x81\xEF\xBD\x82"},            // full-width ＡＢ
  };
  for (const auto& [upper, lower] : same) EXPECT_EQ(Folded(upper), Folded(lower)) << upper;
  // Scripts without case stay as they are.
  EXPECT_EQ(Folded("\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1"), "\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1");
}

TEST(CaseFolding, AsciiFoldsOnlyCapitalsWhereverTheyStandInLongRuns) {
  // Every ASCII byte at every offset of an eight-byte step, in runs cut by
  // letters beyond ASCII.
  std::string text, expected;
  for (int shift = 0; shift < 8; ++shift) {
    text.append(static_cast<size_t>(shift), 'Q');
    expected.append(static_cast<size_t>(shift), 'q');
    for (int c = 1; c < 0x80; ++c) {
      text += static_cast<char>(c);
      expected += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
    }
    text += "\xC3\x9C";
    expected += "\xC3\xBC";
  }
  EXPECT_EQ(Folded(text), expected);
}

TEST(CaseFolding, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Folded("A\xFF" "B"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Folded("\xC3"), "\xEF\xBF\xBD");             // cut short
  EXPECT_EQ(Folded("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(Folded("\xED\xA0\x80").substr(0, 3), "\xEF\xBF\xBD");  // a surrogate
}

TEST(Dates, ParseCheckedCalendarDatesAsFileTimes) {
  const uint64_t day = 864000000000ull;
  EXPECT_EQ(ParseDate("1601-01-01"), 0u);
  EXPECT_EQ(ParseDate("1601-01-02"), day);
  EXPECT_EQ(ParseDate("2006-07-01"), 127961856000000000ull);
  EXPECT_EQ(ParseDate("2006-07-01T12:00"), 127961856000000000ull + day / 2);
  EXPECT_EQ(ParseDate("2006-07-01 00:00:01"), 127961856000000000ull + 10000000ull);
  EXPECT_TRUE(ParseDate("2024-02-29"));
  for (const char* bad : {"2023-02-29", "1600-12-31", "2006-7-1", "2006-07-01T24:00", "2006-07-01T12", "x", ""}) {
    EXPECT_FALSE(ParseDate(bad)) << bad;
  }
  EXPECT_EQ(NextDay(127961856000000000ull + 5), 127961856000000000ull + day);
}

TEST(Matcher, TextAndDateRange) {
  Query q;
  q.text = "\xC3\x9C";  // Ü
  q.after = 100;
  q.before = 200;
  const Matcher m(q);
  EXPECT_TRUE(m.Contains("m\xC3\xBCller"));
  EXPECT_FALSE(m.Contains("muller"));
  EXPECT_FALSE(m.InRange(0));  // no date, with a range set
  EXPECT_TRUE(m.InRange(100));
  EXPECT_FALSE(m.InRange(200));
  EXPECT_TRUE(Matcher(Query{}).InRange(0));
  EXPECT_TRUE(Matcher(Query{}).Contains(""));
  EXPECT_EQ(ParseFields("subject,body"), kSubject | kBody);
  EXPECT_FALSE(ParseFields("subject,"));
}

}  // namespace
}  // namespace velmorix::search
