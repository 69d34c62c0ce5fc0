// What a search looks for: a text, the parts of an item it is looked for in,
// and a date range; and the matcher that tests texts and dates against it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmorix::search {

// The parts of an item a text is looked for in.
enum Field : unsigned {
  kSubject = 1,      // a mail's subject; another item's listed texts (name, location, ...)
  kFrom = 2,         // a mail's sender
  kTo = 4,           // a mail's recipients
  kBody = 8,         // the body, read from the file
  kAttachments = 16, // the attachments' names, read from the file
};
inline constexpr unsigned kHeadlineFields = kSubject | kFrom | kTo;
inline constexpr unsigned kContentFields = kBody | kAttachments;

struct Query {
  std::string text;  // "" matches every item (in the date range)
  unsigned fields = kHeadlineFields;
  // FILETIME bounds: an item matches when dated at or after `after` and
  // before `before`; 0 leaves that side open. With either set, items
  // without a date do not match.
  uint64_t after = 0;
  uint64_t before = 0;
};

// "subject,from,to,body,attachments" (any of them, comma separated) as
// Field bits; nullopt for an unknown or empty name.
std::optional<unsigned> ParseFields(std::string_view names);

// "YYYY-MM-DD", optionally followed by "THH:MM" or " HH:MM" and ":SS" (UTC),
// as a FILETIME; nullopt when malformed or out of range.
std::optional<uint64_t> ParseDate(std::string_view text);
// The FILETIME of the start of the day after the one `filetime` lies in
// (for an inclusive "to" day).
uint64_t NextDay(uint64_t filetime);

class Matcher {
 public:
  explicit Matcher(Query query);

  const Query& query() const { return query_; }
  // Whether the text is found in `text`, ignoring case ("" matches always).
  bool Contains(std::string_view text) const;
  bool InRange(uint64_t date) const;
  bool HasText() const { return !needle_.empty(); }
  // Whether items must be read from the file to be matched.
  bool ReadsContent() const { return HasText() && (query_.fields & kContentFields) != 0; }

 private:
  Query query_;
  std::string needle_;  // folded
};

}  // namespace velmorix::search
